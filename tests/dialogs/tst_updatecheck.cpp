// The update check against a loopback HTTP server standing in for the vendor's site: every answer the
// site can give (newer, same, older, broken, error, silence), with and without the start-up flag.

#include "support/ModalAnswer.h"
#include "SiteStandIn.h"
#include "dialogs/UpdateCheck.h"
#include "dialogs/VendorSite.h"

#include <QDesktopServices>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QWidget>
#include <QApplication>
#include <QtTest>

using fixtures::ModalAnswer;

namespace {

const QString kCheck = QStringLiteral("Проверка обновлений");
const QString kUpdate = QStringLiteral("Доступно обновление");
const QString kFailed = QStringLiteral("Не удалось проверить обновления");

void outcomeRows()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<bool>("startupMode");
    QTest::addColumn<QString>("title");   // empty: nothing is shown
    QTest::addColumn<QString>("text");    // the start of the text shown
    QTest::addColumn<bool>("opensPage");  // answered Yes

    const QByteArray newer = "{\"version\":\"0.6.1\",\"url\":\"https://kalvenor.example/download\"}";
    const QString newerText = QStringLiteral(
        "Доступна новая версия 0.6.1 (у вас установлена 0.5.6).\n\nОткрыть страницу загрузки?");
    const QString latest = QStringLiteral("У вас установлена последняя версия (0.5.6).");
    const QString format = QStringLiteral("Сайт ответил, но не в ожидаемом формате.");
    for (bool startup : {false, true}) {
        const char* mode = startup ? "start-up" : "manual";
        auto row = [&](const char* name) { return &QTest::addRow("%s, %s", name, mode); };
        *row("newer") << 200 << newer << false << startup << kUpdate << newerText << true;
        *row("same") << 200 << QByteArray("{\"version\":\"0.5.6\",\"url\":\"https://x.example/\"}") << false << startup
                     << (startup ? QString() : kCheck) << (startup ? QString() : latest) << false;
        *row("older") << 200 << QByteArray("{\"version\":\"0.4.9\"}") << false << startup
                      << (startup ? QString() : kCheck) << (startup ? QString() : latest) << false;
        *row("malformed JSON") << 200 << QByteArray("{\"version\": \"0.9") << false << startup
                               << (startup ? QString() : kCheck) << (startup ? QString() : format) << false;
        *row("version as number") << 200 << QByteArray("{\"version\": 1.0, \"url\": \"https://x.example/\"}") << false
                                  << startup << (startup ? QString() : kCheck) << (startup ? QString() : format)
                                  << false;
        *row("HTTP error") << 404 << QByteArray("not here") << false << startup << (startup ? QString() : kCheck)
                           << (startup ? QString() : kFailed) << false;
        *row("timeout") << 200 << newer << true << startup << (startup ? QString() : kCheck)
                        << (startup ? QString() : kFailed) << false;
        *row("oversized") << 200 << (newer + QByteArray(3 * 1024 * 1024, ' ')) << false << startup
                          << (startup ? QString() : kCheck) << (startup ? QString() : kFailed) << false;
        // The file names a page that is not an https page of the vendor's site: nothing is offered.
        for (const char* url : {"http://kalvenor.example/download", "https://kalvenor.example.evil.test/",
                                "https://kalvenor.example@evil.test/", "https://kalvenor.example:8443/",
                                "file:///etc/passwd", "javascript:alert(1)"})
            *row(url) << 200 << ("{\"version\":\"0.6.1\",\"url\":\"" + QByteArray(url) + "\"}") << false
                      << startup << QString() << QString() << false;
    }
}

} // namespace

// Receives what QDesktopServices would have handed to the browser.
class OpenedUrls : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class TestUpdateCheck : public QObject
{
    Q_OBJECT

    OpenedUrls m_opened;

    // Runs one check against the stand-in and waits until its reply has been handled.
    void runCheck(SiteStandIn& site, bool startupMode)
    {
        qputenv("KALVENOR_UPDATE_URL", site.url());
        QWidget parent;
        checkForUpdates(&parent, startupMode);
        QVERIFY(replyHandled(parent));
    }

    // The reply is released once its answer has been handled; its box waits for the user after that.
    static bool replyHandled(QWidget& parent)
    {
        auto* manager = parent.findChild<QNetworkAccessManager*>();
        const QPointer<QNetworkReply> reply = manager ? manager->findChild<QNetworkReply*>() : nullptr;
        return reply && QTest::qWaitFor([&] { return reply.isNull() && !QApplication::activeModalWidget(); }, 30000);
    }

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_opened, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_opened, "open");
    }
    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }
    void init() { m_opened.urls.clear(); }

    void comparesVersions_data()
    {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "0.5.6" << false;
        QTest::newRow("trailing zero") << "0.5.6.0" << false;
        QTest::newRow("leading zero") << "00.5.6" << false;
        QTest::newRow("two-digit part") << "0.5.10" << true;
        QTest::newRow("shorter but newer") << "0.6" << true;
        QTest::newRow("shorter older") << "0.5" << false;
        QTest::newRow("suffix after number") << "1.0-beta" << true;
        QTest::newRow("letters") << "abc" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("major") << "1" << true;
    }
    void comparesVersions()
    {
        QFETCH(QString, remote);
        QFETCH(bool, newer);
        QCOMPARE(isNewerVersion(remote, QStringLiteral("0.5.6")), newer);
    }

    void answersEveryOutcome_data() { outcomeRows(); }
    void answersEveryOutcome()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, stall);
        QFETCH(bool, startupMode);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(bool, opensPage);

        SiteStandIn site;
        site.answer(status, body);
        if (stall)
            site.stall();
        // Only the time-out ends a check of a stalled site, so it may be short; any other check ends
        // by its answer (an oversized one by its size), which a loaded machine may deliver late, and
        // never by a time-out longer than the test waits.
        setUpdateCheckTimeout(stall ? 400 : 60000);
        ModalAnswer answer(QMessageBox::Yes);
        runCheck(site, startupMode);

        QCOMPARE(site.requestLines(), QStringList{QStringLiteral("GET /version.json HTTP/1.1")});
        if (title.isEmpty()) {
            QCOMPARE(answer.count(), 0);
        } else {
            QCOMPARE(answer.titles(), QStringList{title});
            QVERIFY2(answer.texts().first().startsWith(text), qPrintable(answer.texts().first()));
            // Not from inside the reply's end: no loop of the box's own ran while the user read it.
            QCOMPARE(answer.loopLevels(), QList<int>{0});
        }
        QCOMPARE(m_opened.urls, opensPage ? QList<QUrl>{QUrl(QStringLiteral("https://kalvenor.example/download"))}
                                          : QList<QUrl>{});
    }

    // No, or Yes without a page address, closes the question and opens nothing.
    void declinedOrAddresslessUpdateOpensNothing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("button");
        QTest::newRow("no") << QByteArray("{\"version\":\"0.6\",\"url\":\"https://kalvenor.example/d\"}") << int(QMessageBox::No);
        QTest::newRow("yes, no url") << QByteArray("{\"version\":\"0.6\"}") << int(QMessageBox::Yes);
        QTest::newRow("yes, url not a string") << QByteArray("{\"version\":\"0.6\",\"url\":7}") << int(QMessageBox::Yes);
    }
    void declinedOrAddresslessUpdateOpensNothing()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, button);
        SiteStandIn site;
        site.answer(200, body);
        ModalAnswer answer{QMessageBox::StandardButton(button)};
        runCheck(site, true);
        QCOMPARE(answer.titles(), QStringList{kUpdate});
        QVERIFY(m_opened.urls.isEmpty());
    }

    void unreachableSiteIsReported()
    {
        quint16 port = 0;
        {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            port = closed.serverPort();
        }
        for (bool startup : {true, false}) {
            qputenv("KALVENOR_UPDATE_URL", "http://127.0.0.1:" + QByteArray::number(port) + "/version.json");
            ModalAnswer answer(QMessageBox::Ok);
            QWidget parent;
            checkForUpdates(&parent, startup);
            QVERIFY(replyHandled(parent));
            QCOMPARE(answer.count(), startup ? 0 : 1);
            if (!startup)
                QVERIFY(answer.texts().first().contains(QStringLiteral("\n\nОшибка: ")));
        }
    }

    // Closing the owner before the site answers drops the check: no box for a window that is gone.
    void ownerClosedBeforeTheAnswerDropsTheCheck()
    {
        SiteStandIn site;
        site.answer(200, "{\"version\":\"9.9\"}");
        site.stall();
        qputenv("KALVENOR_UPDATE_URL", site.url());
        ModalAnswer answer(QMessageBox::Yes);
        {
            QWidget parent;
            checkForUpdates(&parent, false);
            QTRY_COMPARE_WITH_TIMEOUT(site.requestLines().size(), 1, 30000);
        }
        // The check went with its owner; nothing of it is left to answer.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        QCOMPARE(answer.count(), 0);
    }

    // The test wrapper's "none" (or any address that is not http/https) turns the check off: nothing is
    // contacted; a manual check says so, a start-up check stays silent.
    void switchedOffCheckContactsNothing()
    {
        for (const QByteArray& value : {QByteArray("none"), QByteArray("file:///tmp/version.json"), QByteArray()}) {
            qputenv("KALVENOR_UPDATE_URL", value);
            QVERIFY(updateFileUrl().isEmpty());
            ModalAnswer answer(QMessageBox::Ok);
            QWidget parent;
            checkForUpdates(&parent, true);
            QVERIFY(!parent.findChild<QNetworkAccessManager*>());
            checkForUpdates(&parent, false);
            QVERIFY(!parent.findChild<QNetworkAccessManager*>());
            QCOMPARE(answer.titles(), QStringList{kCheck});
            QVERIFY(answer.texts().first().startsWith(kFailed));
        }
        qunsetenv("KALVENOR_UPDATE_URL");
        QCOMPARE(updateFileUrl(), QUrl(vendorOrigin() + QStringLiteral("/version.json")));
        QCOMPARE(updateFileUrl().scheme(), QStringLiteral("https"));
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
