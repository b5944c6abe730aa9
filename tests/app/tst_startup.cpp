// The real program, started as a process: normal mode answers on the loopback server, a second copy
// forwards and ends with 0, and launch URLs given to it travel to the first copy.

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include "LoopbackPort.h"

namespace {

// The program's loopback server moves to a free port, so a copy the user is running is never met.
quint16 apiPort = 0;

QProcess* startProgram(const QStringList& arguments = {})
{
    auto* p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KALVENOR_LOCAL_API_PORT"), QString::number(apiPort));
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QStringLiteral(KALVENOR_EXECUTABLE), arguments);
    return p;
}

QByteArray get(const QByteArray& path)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), apiPort);
    if (!s.waitForConnected(1000))
        return {};
    s.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (s.waitForReadyRead(2000))
        answer += s.readAll();
    return answer;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        apiPort = fixtures::freeLoopbackPort();
        QVERIFY(apiPort != 0);
    }

    // Time limits here only bound a hang; a loaded machine may start the program slowly.
    void normalModeAndSecondCopy()
    {
        std::unique_ptr<QProcess> first(startProgram());
        QVERIFY(first->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(get("/health").startsWith("HTTP/1.1 200"), 60000);

        // A second copy without arguments asks for focus and ends with 0.
        std::unique_ptr<QProcess> second(startProgram());
        QVERIFY(second->waitForFinished(60000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);

        // With a launch URL as well (the first copy answers 202 and keeps running).
        std::unique_ptr<QProcess> third(
            startProgram({QStringLiteral("not-a-url"),
                          QStringLiteral("kalvenor://open?study=1.2.3&host=127.0.0.1&port=11112&aet=TEST")}));
        QVERIFY(third->waitForFinished(60000));
        QCOMPARE(third->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        first->terminate();
        QVERIFY(first->waitForFinished(60000));

        // The lock of a copy that is gone does not stop the next start from being the first copy.
        std::unique_ptr<QProcess> next(startProgram());
        QTRY_VERIFY_WITH_TIMEOUT(get("/health").startsWith("HTTP/1.1 200"), 60000);
        next->kill();
        next->waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
