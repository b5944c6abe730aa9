#pragma once
// The window in which this workstation connects to another one that accepts remote connections:
// connection fields and saved servers, the other workstation's archive (browse, download in parallel
// with resume, open in the viewer) and its PACS servers (search, have it retrieve into its archive).

#include "remote/RemoteAccessClient.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <functional>
#include <utility>

class ModalityFilterButton;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QProgressDialog;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTableWidget;
class QToolButton;
class QWidget;

namespace db {
class Database;
}

// One saved remote workstation of the settings array "remoteServers".
struct SavedRemoteServer
{
    QString name;
    QString host;
    int port = 8443;
    QString token;
    QString certFingerprint;
    QString hostId;
    QString e2eSecret;
};

class RemoteBrowserDialog : public QDialog
{
    Q_OBJECT

public:
    RemoteBrowserDialog(db::Database* db, QWidget* parent);
    ~RemoteBrowserDialog() override;

    // The trimmed host ID, or "primary" when the field is empty.
    QString effectiveHostId() const;
    // Reconnects with the current field values when the connection is not up.
    bool ensureConnected(QString* error);
    // Reloads the archive table from the other workstation.
    void refreshRemoteStudies();
    void downloadAndOpenStudy(const QString& studyUid);
    // From and to as "yyyyMMdd" for the PACS tab's period; either may be empty.
    std::pair<QString, QString> pacsDateRange() const;

public slots:
    void onConnectClicked();
    void onDownloadAndOpenClicked();
    void onPacsFindClicked();
    void onPacsDownloadClicked();
    void onPacsPeriodChanged(int index);

private:
    void buildUi();
    QWidget* buildArchiveTab();
    QWidget* buildPacsTab();
    void setParametersVisible(bool shown);
    void loadConnectionSettings();
    void saveConnectionSettings();
    static QList<SavedRemoteServer> loadSavedServers();
    void storeSavedServers(const QList<SavedRemoteServer>& servers);
    // Shows `exposure` when the connection values could not be kept from other users.
    void warnIfExposed(bool keptPrivate, const QString& exposure);
    void reloadSavedServers(const QString& nameToSelect);
    void onSavedServerSelected(int index);
    void onSaveServerClicked();
    void onDeleteServerClicked();
    void onConnectionLost(const QString& reason);
    void applyArchiveFilter();
    // notWhole: every file came but they do not hold the host's study whole (it changed under the
    // download or since an earlier one, or a file could not be read), which error tells. On success,
    // error holds what the user is still to be told (what an unfinished earlier try brought that was
    // taken out, what the study holds that the host does not list).
    bool downloadStudyParallel(const QString& studyUid, const QString& destDir, int fileCount,
                               const QStringList& objects, QProgressDialog* progress, QString* error,
                               bool* notWhole);
    // Runs the workers over the study's files until every one has finished, onFile called for each file
    // reported; compareOnly: they move no byte but compare the files with the host's. False with the
    // first worker's failure, or with an empty error when the user cancelled; changed: a file was not
    // the host's file at its index any more.
    bool runWorkers(const QString& studyUid, const QString& destDir, int fileCount,
                    const QStringList& objects, bool compareOnly, QProgressDialog* progress,
                    const std::function<void(int index, const QString& path)>& onFile, QString* error,
                    bool* changed);
    // A host that names no objects, once every file has come: whether they are still its study as it
    // lists it now.
    bool stillOneVersion(const QString& studyUid, const QString& destDir, int fileCount,
                         QProgressDialog* progress, QString* error, bool* notWhole);

    db::Database* db = nullptr;
    RemoteAccessClient* client = nullptr;
    QComboBox* savedServerCombo = nullptr;
    QPushButton* saveServerButton = nullptr;
    QPushButton* deleteServerButton = nullptr;
    QToolButton* parametersToggle = nullptr;
    QWidget* parametersPanel = nullptr;
    QLineEdit* hostEdit = nullptr;
    QSpinBox* portSpin = nullptr;
    QLineEdit* tokenEdit = nullptr;
    QLineEdit* fingerprintEdit = nullptr;
    QLineEdit* e2eSecretEdit = nullptr;
    QLineEdit* hostIdEdit = nullptr;
    QPushButton* connectButton = nullptr;
    QLabel* statusLabel = nullptr;
    QLineEdit* archiveSearchEdit = nullptr;
    ModalityFilterButton* archiveModalityButton = nullptr;
    QComboBox* archivePeriodCombo = nullptr;
    QDateEdit* archiveDateFrom = nullptr;
    QDateEdit* archiveDateTo = nullptr;
    QTableWidget* archiveTable = nullptr;
    QPushButton* downloadOpenButton = nullptr;
    QTabWidget* tabs = nullptr;
    QComboBox* pacsServerCombo = nullptr;
    QList<RemotePacsServerEntry> pacsServers;
    QLineEdit* pacsNameEdit = nullptr;
    QLineEdit* pacsIdEdit = nullptr;
    ModalityFilterButton* pacsModalityButton = nullptr;
    QComboBox* pacsPeriodCombo = nullptr;
    QDateEdit* pacsDateFrom = nullptr;
    QDateEdit* pacsDateTo = nullptr;
    QPushButton* pacsFindButton = nullptr;
    QLabel* pacsStatusLabel = nullptr;
    QTableWidget* pacsResultsTable = nullptr;
    QPushButton* pacsDownloadButton = nullptr;
};
