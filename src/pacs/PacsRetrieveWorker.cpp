#include "pacs/PacsRetrieveWorker.h"

#include "pacs/PacsNetworkClient.h"

#include <QCoreApplication>
#include <QThread>

namespace pacs {

PacsRetrieveWorker::PacsRetrieveWorker(PacsServer server, PacsConfig config, QString studyUid,
                                       QString outputFolder, std::shared_ptr<ReceivedObjectAdmission> admission,
                                       QObject* parent)
    : QObject(parent)
    , m_server(std::move(server))
    , m_config(std::move(config))
    , m_studyUid(std::move(studyUid))
    , m_outputFolder(std::move(outputFolder))
    , m_admission(std::move(admission))
{
}

PacsRetrieveWorker::~PacsRetrieveWorker() = default;

void PacsRetrieveWorker::cancel()
{
    *m_cancel = true;
}

void PacsRetrieveWorker::run()
{
    QString error;
    bool ok = false;
    if (m_cancel->load()) {
        error = retrieveCancelledText();
    } else if (m_server.retrieveMode == 1) {
        ok = getStudy(m_server, m_config, m_studyUid, m_outputFolder, nullptr, &error,
                      [this](const QString& path) { emit fileReceived(path); }, m_cancel.get(), m_admission);
    } else {
        ok = moveStudy(m_server, m_config, m_studyUid, &error, m_cancel.get(), m_receiverRefused);
    }
    if (ok)
        error.clear();
    else if (error.isEmpty())
        error = QStringLiteral("Неизвестная ошибка");
    emit finished(ok, error);
    QThread* thread = QThread::currentThread();
    if (QCoreApplication::instance() && thread != QCoreApplication::instance()->thread())
        thread->quit();
}

} // namespace pacs
