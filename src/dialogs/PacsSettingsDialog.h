#pragma once

#include "pacs/PacsConfig.h"

#include <QDialog>
#include <QList>

class PacsEchoWorker;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QThread;

// Edits the local DICOM node and the list of PACS servers, and tests any server with a C-ECHO on a
// worker thread. Nothing is written before "Сохранить"; the echo test reads what the table holds
// right now, saved or not.
class PacsSettingsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PacsSettingsDialog(QWidget* parent = nullptr);

private slots:
    void onAddServerClicked();
    void onRemoveServerClicked();
    void onSaveClicked();
    void onCheckSelectedClicked();
    void onCheckAllClicked();
    void onEchoResult(int index, bool ok, QString message, qint64 elapsedMs);
    void onEchoFinished();

private:
    void buildUi();
    void addServerRow(const pacs::PacsServer& server);
    pacs::PacsServer serverFromRow(int row) const;
    pacs::PacsConfig collectConfig() const;
    // Why the entered values cannot be saved, naming the field; empty when they can.
    QString refusal() const;
    void startEchoCheck(const QList<int>& rows);

    QLabel* storedNotice = nullptr; // titles of the stored configuration that could not be used
    QSpinBox* localPortSpin = nullptr;
    QLineEdit* localAeEdit = nullptr;
    QLineEdit* moveDestAeEdit = nullptr;
    QTableWidget* serverTable = nullptr;
    QLineEdit* newHostEdit = nullptr;
    QSpinBox* newPortSpin = nullptr;
    QLineEdit* newAeEdit = nullptr;
    QLineEdit* newDescriptionEdit = nullptr;
    QPushButton* checkSelectedButton = nullptr;
    QPushButton* checkAllButton = nullptr;
    // Not owned: the worker and its thread delete themselves when the check ends, even after the
    // dialog is gone.
    QThread* echoThread = nullptr;
    PacsEchoWorker* echoWorker = nullptr;
    QList<int> pendingRows; // index i of the worker's list is table row pendingRows[i]; -1 once removed
};
