// A real browser page talks to the loopback server: a page on an allowed origin opens a study, a
// page on any other origin cannot, whether it asks with a preflight or without one.
#include "support/LoopbackPort.h"

#include "app/LocalApiServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <csignal>
#include <unistd.h>

using kalvenor::LocalApiServer;

namespace {

// Serves one page and records the result that the page reports back to "/done?r=...".
class PageServer : public QObject
{
public:
    PageServer(fixtures::HeldPort& port, QByteArray page)
        : html(std::move(page))
    {
        listening = port.listenWith(server);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                auto* buffer = new QByteArray;
                connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    if (!buffer->contains("\r\n\r\n"))
                        return;
                    serve(socket, buffer->left(buffer->indexOf("\r\n")).split(' ').value(1));
                    buffer->clear();
                });
            }
        });
    }

    void serve(QTcpSocket* socket, const QByteArray& target)
    {
        ++requests;
        QByteArray body;
        QByteArray type = "text/plain";
        if (target == "/") {
            body = html;
            type = "text/html; charset=utf-8";
        } else if (target.startsWith("/done?")) {
            result = QUrlQuery(QString::fromUtf8(target.mid(6))).queryItemValue(QStringLiteral("r"), QUrl::FullyDecoded);
            done = true;
        }
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer server;
    QByteArray html;
    bool listening = false;
    int requests = 0;
    bool done = false;
    QString result;
};

QByteArray allowedPage(quint16 apiPort)
{
    return QByteArray(R"(<!doctype html><html><body><script>
(async () => {
  let r;
  try {
    const res = await fetch('http://127.0.0.1:API/pacs/open', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ studyInstanceUID: '1.2.840.99', serverHost: 'pacs.local', serverPort: 4242, serverAeTitle: 'ARCH' })
    });
    r = res.status + ':' + (await res.text());
  } catch (e) { r = 'error:' + e.name; }
  await fetch('/done?r=' + encodeURIComponent(r));
})();
</script></body></html>)").replace("API", QByteArray::number(apiPort));
}

QByteArray refusedPage(quint16 apiPort)
{
    return QByteArray(R"(<!doctype html><html><body><script>
(async () => {
  const out = [];
  try {
    const res = await fetch('http://127.0.0.1:API/pacs/open', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ studyInstanceUID: '6.6.6' })
    });
    out.push('cors:' + res.status);
  } catch (e) { out.push('cors:error:' + e.name); }
  try {
    // A "simple" request goes out without a preflight; only the server's own check stops it.
    const res = await fetch('http://127.0.0.1:API/pacs/open', {
      method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' },
      body: JSON.stringify({ studyInstanceUID: '6.6.7' })
    });
    out.push('simple:' + res.type);
  } catch (e) { out.push('simple:error:' + e.name); }
  try {
    const res = await fetch('http://127.0.0.1:API/focus', { method: 'POST', mode: 'no-cors', body: '' });
    out.push('focus:' + res.type);
  } catch (e) { out.push('focus:error:' + e.name); }
  await fetch('/done?r=' + encodeURIComponent(out.join(',')));
})();
</script></body></html>)").replace("API", QByteArray::number(apiPort));
}

} // namespace

class TestLocalApiBrowser : public QObject
{
    Q_OBJECT

    QString chromium;
    std::unique_ptr<LocalApiServer> api;
    quint16 apiPort = 0;
    // The allowed page origin's port, held from the start: the server reads it once, at the first request.
    fixtures::HeldPort pagePortHeld;
    quint16 pagePort = 0;

    // Runs the browser on `url` until the page reports back; false when the browser never started.
    bool runBrowser(const QString& url, PageServer& pages, QByteArray* log)
    {
        QTemporaryDir profile;
        QProcess browser;
        browser.setProgram(chromium);
        browser.setArguments({"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                              "--no-first-run", "--no-default-browser-check", "--disable-dev-shm-usage",
                              "--no-proxy-server", "--user-data-dir=" + profile.path(), url});
        browser.setProcessChannelMode(QProcess::MergedChannels);
        // Own process group, so the renderer and helper processes go together with the browser.
        browser.setChildProcessModifier([] { ::setpgid(0, 0); });
        browser.start();
        if (!browser.waitForStarted(10000)) {
            *log = browser.errorString().toUtf8();
            return false;
        }
        (void)QTest::qWaitFor([&] { return pages.done || browser.state() == QProcess::NotRunning; }, 40000);
        const bool started = pages.requests > 0;
        if (browser.state() != QProcess::NotRunning) {
            ::kill(-pid_t(browser.processId()), SIGKILL);
            browser.waitForFinished(5000);
        }
        *log += browser.readAll();
        return started;
    }

private slots:
    void initTestCase()
    {
        chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
        if (chromium.isEmpty())
            QSKIP("chromium is not installed (scripts/install-deps.sh installs it)");
        // The allowed local page origin moves to a free port, so that nothing else on the machine
        // (a developer's own page server among them) stands in the way.
        pagePort = pagePortHeld.port();
        QVERIFY(pagePort != 0);
        qputenv("KALVENOR_LOCAL_PAGE_PORT", QByteArray::number(pagePort));
        QVERIFY(LocalApiServer::allowedOrigins().contains("http://127.0.0.1:" + QByteArray::number(pagePort)));
    }

    void init()
    {
        apiPort = fixtures::freeLoopbackPort();
        api = std::make_unique<LocalApiServer>(apiPort);
        QVERIFY(api->listen());
    }
    void cleanup() { api.reset(); }

    void allowedOriginOpensStudy_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("127.0.0.1") << QStringLiteral("127.0.0.1");
        QTest::newRow("localhost") << QStringLiteral("localhost");
    }
    void allowedOriginOpensStudy()
    {
        QFETCH(QString, host);
        const quint16 port = pagePort;
        QSignalSpy opens(api.get(), &LocalApiServer::openStudyRequested);
        PageServer pages(pagePortHeld, allowedPage(apiPort));
        QVERIFY2(pages.listening, "the page port is taken");
        QByteArray log;
        const bool started = runBrowser(QStringLiteral("http://%1:%2/").arg(host).arg(port), pages, &log);
        if (!started)
            QSKIP(qPrintable(QStringLiteral("chromium could not start: ") + QString::fromUtf8(log.right(2000))));
        QVERIFY2(pages.done, log.right(3000).constData());
        QCOMPARE(pages.result, QStringLiteral("202:accepted"));
        QCOMPARE(opens.size(), 1);
        QCOMPARE(opens.first().at(0).toString(), QStringLiteral("1.2.840.99"));
        QCOMPARE(opens.first().at(1).toString(), QStringLiteral("pacs.local"));
        QCOMPARE(opens.first().at(2).toInt(), 4242);
        QCOMPARE(opens.first().at(3).toString(), QStringLiteral("ARCH"));
    }

    void otherOriginIsRefused()
    {
        QSignalSpy opens(api.get(), &LocalApiServer::openStudyRequested);
        QSignalSpy focuses(api.get(), &LocalApiServer::focusRequested);
        fixtures::HeldPort other; // any port but the allowed ones
        const quint16 port = other.port();
        QVERIFY(port != 0 && port != pagePort && port != 4173);
        PageServer pages(other, refusedPage(apiPort));
        QVERIFY(pages.listening);
        QByteArray log;
        const bool started = runBrowser(QStringLiteral("http://127.0.0.1:%1/").arg(port), pages, &log);
        if (!started)
            QSKIP(qPrintable(QStringLiteral("chromium could not start: ") + QString::fromUtf8(log.right(2000))));
        QVERIFY2(pages.done, log.right(3000).constData());
        QCOMPARE(pages.result, QStringLiteral("cors:error:TypeError,simple:opaque,focus:opaque"));
        QCOMPARE(opens.size(), 0);
        QCOMPARE(focuses.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLocalApiBrowser)
#include "tst_localapibrowser.moc"
