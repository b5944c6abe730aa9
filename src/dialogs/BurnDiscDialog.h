#pragma once
// Asks how a study goes onto a CD or DVD: volume label, recorder and the copy options, with the space
// the disc will need and the state of the medium in the chosen drive. It burns nothing itself.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;

class BurnDiscDialog : public QDialog
{
    Q_OBJECT

public:
    BurnDiscDialog(qint64 studyBytes, qint64 viewerBytes, qint64 macViewerBytes, qint64 windowsViewerBytes,
                   const QString& defaultLabel, QWidget* parent = nullptr);

    bool anonymize() const;
    bool compressLossless() const;
    bool deleteTempFiles() const;
    bool ejectWhenDone() const;
    bool addAutorun() const;
    bool includeMacViewer() const;
    bool includeWindowsViewer() const;
    QString volumeLabel() const;
    QString selectedRecorderId() const;

    static QString formatSize(qint64 bytes);
    // The label an anonymised disc carries instead of one made from the patient's name and ID.
    static QString anonymousVolumeLabel();

private:
    void refreshDrives();
    void updateSizeAndStatus();
    void onBurnClicked();
    qint64 requiredBytes() const;
    void fitHeightToText();

    qint64 studyBytes;
    qint64 viewerBytes;
    qint64 macViewerBytes;
    qint64 windowsViewerBytes;
    QString proposedLabel; // the caller's label, cut to what a disc takes
    QLineEdit* labelEdit = nullptr;
    QComboBox* driveCombo = nullptr;
    QPushButton* refreshButton = nullptr;
    QCheckBox* anonymizeBox = nullptr;
    QCheckBox* compressBox = nullptr;
    QCheckBox* ejectBox = nullptr;
    QCheckBox* deleteTempBox = nullptr;
    QCheckBox* autorunBox = nullptr;
    QCheckBox* macViewerBox = nullptr;
    QCheckBox* windowsViewerBox = nullptr;
    QLabel* sizeLabel = nullptr;
    QLabel* statusLabel = nullptr;
    QDialogButtonBox* buttonBox = nullptr;
};
