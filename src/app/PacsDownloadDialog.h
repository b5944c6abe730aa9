#pragma once
// Searching several PACS servers at once and downloading one of the studies found: into the
// archive, into the archive with the viewer opened, or only for viewing from a temporary folder.

#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;
class ModalityFilterButton;

namespace db {
class Database;
}
namespace pacs {
class PacsOpenCoordinator;
}

class PacsDownloadDialog : public QDialog
{
    Q_OBJECT

public:
    enum DownloadMode { ToArchive = 0, DownloadAndOpen = 1, ViewOnly = 2 };

    // One answered study together with the server it came from.
    struct ResultRow : pacs::StudyQueryRow
    {
        qint32 serverIndex = -1;
        // The server that answered, so that the row keeps acting on it when the list changes.
        pacs::PacsServer server;
    };

    PacsDownloadDialog(db::Database* index, QWidget* parent = nullptr);
    ~PacsDownloadDialog() override;

    // For the tests: the widgets a user works with.
    QListWidget* serverList() const { return m_serverList; }
    QCheckBox* selectAllServers() const { return m_selectAll; }
    QLineEdit* patientNameEdit() const { return m_patientName; }
    QLineEdit* patientIdEdit() const { return m_patientId; }
    QComboBox* periodCombo() const { return m_period; }
    QDateEdit* dateFromEdit() const { return m_dateFrom; }
    QDateEdit* dateToEdit() const { return m_dateTo; }
    ModalityFilterButton* modalityButton() const { return m_modality; }
    QPushButton* findButton() const { return m_findButton; }
    QTableWidget* resultsTable() const { return m_table; }
    QPushButton* downloadButton() const { return m_downloadButton; }
    QPushButton* downloadOpenButton() const { return m_downloadOpenButton; }
    QPushButton* viewButton() const { return m_viewButton; }
    QLabel* statusLabel() const { return m_status; }
    // One line for each server of the last search whose answer is missing or cut short.
    QLabel* searchProblemsLabel() const { return m_searchProblemsLabel; }
    QProgressBar* busyBar() const { return m_busyBar; }
    pacs::PacsOpenCoordinator* coordinator() const { return m_coordinator; }
    bool isSearching() const { return m_pendingSearches > 0; }
    // The query of the last search.
    pacs::StudyQuery lastQuery() const { return m_lastQuery; }
    // The period's date range as sent ("yyyyMMdd" each; both empty for no restriction).
    std::pair<QString, QString> selectedDateRange() const;
    static QList<ResultRow>& lastSearchResults() { return s_lastSearchResults; }

    // Runs the action for the row's study, downloading the study into the archive first when it
    // is not indexed yet.
    void runStudyAction(int row, std::function<void(const QString&)> action);

signals:
    void studiesImported();

public slots:
    void onFindClicked();
    void onPeriodChanged(int index);
    void onCoordinatorFileReceived(int totalReceivedSoFar);
    void onCoordinatorFinished(bool ok, const QString& errorMessage, int receivedFileCount);
    void showResultsContextMenu(const QPoint& pos);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void setupUi();
    void loadServers();
    void loadSettings();
    void saveSettings();
    void loadColumnWidths();
    void saveColumnWidths();
    void populateResults(const QList<ResultRow>& rows);
    void setBusy(bool busy, const QString& statusText);
    void showStatus(const QString& text);
    void startDownload(DownloadMode mode);
    void onServerSearched(int serverIndex, const QList<pacs::StudyQueryRow>& rows, const QString& error);
    void finishSearch();
    QString serverLabel(const ResultRow& row) const;
    // The configured server a row came from; -1 when it is no longer configured.
    int currentServerIndexOf(const ResultRow& row) const;

    db::Database* m_index;
    QListWidget* m_serverList = nullptr;
    QCheckBox* m_selectAll = nullptr;
    QLineEdit* m_patientName = nullptr;
    QLineEdit* m_patientId = nullptr;
    QComboBox* m_period = nullptr;
    QDateEdit* m_dateFrom = nullptr;
    QDateEdit* m_dateTo = nullptr;
    ModalityFilterButton* m_modality = nullptr;
    QPushButton* m_findButton = nullptr;
    QPushButton* m_backButton = nullptr;
    QTableWidget* m_table = nullptr;
    QPushButton* m_downloadButton = nullptr;
    QPushButton* m_downloadOpenButton = nullptr;
    QPushButton* m_viewButton = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_searchProblemsLabel = nullptr;
    QProgressBar* m_busyBar = nullptr;
    QList<pacs::PacsServer> m_servers;
    pacs::PacsOpenCoordinator* m_coordinator = nullptr;
    int m_downloadMode = ToArchive;
    bool m_firstShowDone = false;
    QString m_downloadStudyUid;
    std::function<void(const QString&)> m_pendingStudyAction;

    // The search under way: the servers still to answer, what came back so far. Its servers' threads
    // stop once the dialog is gone: nobody would read their answers, and the program's end waits for them.
    std::shared_ptr<std::atomic_bool> m_searchAbandoned;
    int m_pendingSearches = 0;
    int m_searchedServers = 0;
    QList<ResultRow> m_searchRows;
    // Servers that answered with an error: those without a single match, and those whose list is cut.
    QStringList m_searchFailures;
    QStringList m_searchCuts;
    QList<ResultRow> m_rows; // what the table shows, by the row id in column 0
    pacs::StudyQuery m_lastQuery;

    static QList<ResultRow> s_lastSearchResults;
};
