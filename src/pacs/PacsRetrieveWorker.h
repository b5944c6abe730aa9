#pragma once
// Runs one retrieve request (C-GET or C-MOVE, as the server is configured) on the thread it was
// moved to.

#include "pacs/PacsConfig.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace pacs {

class ReceivedObjectAdmission;

class PacsRetrieveWorker : public QObject
{
    Q_OBJECT

public:
    // admission: which objects a C-GET keeps (all when null).
    PacsRetrieveWorker(PacsServer server, PacsConfig config, QString studyUid, QString outputFolder,
                       std::shared_ptr<ReceivedObjectAdmission> admission = {}, QObject* parent = nullptr);
    ~PacsRetrieveWorker() override;

    // Callable from any thread: the retrieve stops at the next object or response and the
    // association is aborted.
    void cancel();
    // The flag cancel sets, shared so that its owner can still set it after the worker is gone.
    std::shared_ptr<std::atomic_bool> cancelFlag() const { return m_cancel; }
    // Before run: how many objects of the study the program's own listener refused so far (C-MOVE).
    void setReceiverRefused(std::function<int()> count) { m_receiverRefused = std::move(count); }

public slots:
    // Performs the retrieve, emits finished, then asks its thread to quit.
    void run();

signals:
    void fileReceived(const QString& filePath); // C-GET only: with C-MOVE the listener reports
    void finished(bool ok, const QString& errorMessage);

private:
    PacsServer m_server;
    PacsConfig m_config;
    QString m_studyUid;
    QString m_outputFolder;
    std::shared_ptr<ReceivedObjectAdmission> m_admission;
    std::function<int()> m_receiverRefused;
    std::shared_ptr<std::atomic_bool> m_cancel = std::make_shared<std::atomic_bool>(false);
};

} // namespace pacs
