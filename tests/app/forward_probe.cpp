// A small program that starts the way the workstation does in normal mode: it parses its arguments
// as launch URLs, takes the data folder's lock, and either forwards to the running copy and ends
// with 0, or becomes the first copy with the loopback server and reports what it receives on stdout.
#include "app/InstanceForwarding.h"
#include "app/LaunchUrl.h"
#include "app/LocalApiServer.h"
#include "app/ManagedStore.h"
#include "platform/SingleInstanceLock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <utility>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));

    QTextStream out(stdout);
    const auto request = firstLaunchRequest(app.arguments().mid(1));

    platform::DataFolderLock folderLock(ManagedStore::defaultDataFolder());
    platform::SingleInstanceLock sessionLock;
    // The wait is timed here, not by the test, so that a slow process start does not count.
    QElapsedTimer clock;
    clock.start();
    // Asked to: held at its first wait for a copy that does not listen yet, until the test has that copy
    // listen and says so on stdin.
    bool held = !app.arguments().contains(QStringLiteral("--hold-while-waiting"));
    const auto whileWaiting = [&out, &held] {
        if (std::exchange(held, true))
            return;
        out << "WAITING" << Qt::endl;
        QTextStream(stdin).readLine();
    };
    if (const auto forwarded = forwardUnlessFirst(folderLock, sessionLock, request, whileWaiting)) {
        out << "FORWARDED " << clock.elapsed() << Qt::endl;
        if (!forwarded->message.isEmpty())
            out << (forwarded->delivered ? "BUSY " : "UNDELIVERED ") << forwarded->message << Qt::endl;
        return 0;
    }

    kalvenor::LocalApiServer server(kalvenor::LocalApiServer::configuredPort());
    QString error;
    if (!server.listen(&error)) {
        out << "LISTEN FAILED " << error << Qt::endl;
        return 3;
    }
    QObject::connect(&server, &kalvenor::LocalApiServer::openStudyRequested, &app,
                     [&out](const QString& uid, const QString& host, int port, const QString& aet) {
                         out << "OPEN|" << uid << '|' << host << '|' << port << '|' << aet << Qt::endl;
                     });
    QObject::connect(&server, &kalvenor::LocalApiServer::focusRequested, &app, [&out] { out << "FOCUS" << Qt::endl; });
    if (request)
        out << "OWN|" << request->studyInstanceUid << Qt::endl;
    out << "READY" << Qt::endl;
    return app.exec();
}
