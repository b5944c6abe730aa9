#include "remote/RemoteAccessProvisioner.h"

#include "remote/ProvisionRunnable.h"

#include <QThread>

namespace {
constexpr unsigned long kQuitWaitMs = 5000;
}

RemoteAccessProvisioner::RemoteAccessProvisioner(QObject* parent) : QObject(parent) {}

RemoteAccessProvisioner::~RemoteAccessProvisioner()
{
    if (!thread)
        return;
    // A run waiting for the host key question ends instead.
    hostKeyAnswer->give(false);
    thread->quit();
    if (!thread->wait(kQuitWaitMs)) {
        // Still blocked inside the SSH session: destroying a running thread would end the program, so
        // it is let go and deletes itself once its run is over.
        thread->setParent(nullptr);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
}

void RemoteAccessProvisioner::answerHostKey(bool accepted)
{
    if (hostKeyAnswer)
        hostKeyAnswer->give(accepted);
}

void RemoteAccessProvisioner::passDeadlineForTest()
{
    if (hostKeyAnswer)
        hostKeyAnswer->passDeadline();
}

void RemoteAccessProvisioner::start(const QString& host, quint16 sshPort, const QString& login,
                                    const QString& password, quint16 relayPort)
{
    if (busy)
        return;
    busy = true;

    if (thread) {
        // The previous run has ended (busy was cleared by its result): its thread is done with.
        thread->quit();
        thread->wait();
        delete thread;
    }
    thread = new QThread(this);
    hostKeyAnswer = std::make_shared<HostKeyAnswer>();
    auto* runnable =
        new ProvisionRunnable(host, sshPort, login, password, relayPort, installFolder, deadlineMs, hostKeyAnswer);
    runnable->moveToThread(thread);
    connect(thread, &QThread::started, runnable, &ProvisionRunnable::run);
    connect(runnable, &ProvisionRunnable::stepStarted, this, &RemoteAccessProvisioner::stepStarted);
    connect(runnable, &ProvisionRunnable::hostKeyUnknown, this, &RemoteAccessProvisioner::hostKeyUnknown);
    connect(runnable, &ProvisionRunnable::finished, this,
            [this, own = thread](bool ok, const QString& errorMessage, const QString& resultHost, int port, const QString& token,
                   const QString& certFingerprint) {
                // Quit first: a slot of `finished` may already start the next run on a new thread.
                busy = false;
                own->quit();
                emit finished(ok, errorMessage, resultHost, port, token, certFingerprint);
            });
    connect(thread, &QThread::finished, runnable, &QObject::deleteLater);
    thread->start();
}
