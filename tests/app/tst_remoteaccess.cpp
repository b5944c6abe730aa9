// Remote-access hosting from the study list: hosting started at start-up, connection values kept to
// their owner from start-up on, the dialog's installation against a real sshd that hands over a
// stand-in relay's parameters, hosting on and off, the host id, the connection code and deleting the
// configuration.

#include "support/LoopbackPort.h"
#include "support/LoopbackSshServer.h"
#include "support/ModalAnswer.h"
#include "support/SettingsFileHelpers.h"
#include "support/TestBench.h"
#include "support/StandInRelay.h"

#include "app/MainWindow.h"
#include "app/RemoteAccessDialog.h"
#include "app/RemoteBrowserDialog.h"
#include "remote/RemoteAccessProvisioner.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteTunnelSocket.h"

#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}

void configure(int port, const QString& fingerprint, const QString& hostId = {})
{
    QSettings s;
    s.setValue("remoteAccess/hostingEnabled", true);
    s.setValue("remoteAccess/host", "127.0.0.1");
    s.setValue("remoteAccess/port", port);
    s.setValue("remoteAccess/token", "tok");
    s.setValue("remoteAccess/certFingerprint", fingerprint);
    s.setValue("remoteAccess/e2eSecret", QString(64, '7'));
    s.setValue("remoteAccess/hostId", hostId);
}

} // namespace

class RemoteAccessTest : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    fixtures::TestCertificate m_cert;
    fixtures::StandInRelay m_relay;

private slots:
    void initTestCase()
    {
        m_cert = fixtures::makeTestCertificate();
        QVERIFY(m_relay.start(m_cert));
    }
    void init() { m_bench.reset(); }

    void startupHosting_data()
    {
        QTest::addColumn<QString>("drop"); // the key removed from a full configuration
        QTest::addColumn<bool>("runs");
        QTest::newRow("complete") << "" << true;
        QTest::newRow("hosting off") << "hostingEnabled" << false;
        QTest::newRow("no token") << "token" << false;
        QTest::newRow("no fingerprint") << "certFingerprint" << false;
        QTest::newRow("no secret") << "e2eSecret" << false;
    }
    void startupHosting()
    {
        QFETCH(QString, drop);
        QFETCH(bool, runs);
        configure(m_relay.port(), m_cert.fingerprint(), QStringLiteral("site-1"));
        if (!drop.isEmpty())
            QSettings().remove("remoteAccess/" + drop);
        MainWindow window;
        QVERIFY(window.remoteAccessServer());
        QCOMPARE(window.remoteAccessServer()->isRunning(), runs);
        if (runs)
            QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("site-1-w3")), 1, 10000);
    }

    // The real program hosts, clients list its archive at the same time, and the program is asked to
    // end (logout, shutdown): it ends cleanly every time, every reading of the index done before the
    // application goes. Whether an end went wrong turned on timing, so the program runs several times.
    void endsCleanlyAfterRemoteListings()
    {
        qputenv("KALVENOR_LOCAL_API_PORT", QByteArray::number(fixtures::freeLoopbackPort()));
        for (int run = 0; run < 8; ++run) {
            const QString hostId = QStringLiteral("ending-%1").arg(run);
            configure(m_relay.port(), m_cert.fingerprint(), hostId);
            QSettings().sync();
            QProcess program;
            program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            program.start(QStringLiteral(KALVENOR_EXECUTABLE), QStringList{});
            QVERIFY(program.waitForStarted(30000));
            QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(hostId + QStringLiteral("-w2")), 1, 60000);
            // Three clients, each listing twice without waiting: each list is read on a thread of its own.
            std::vector<std::unique_ptr<RemoteTunnelSocket>> clients;
            int replies = 0;
            for (const QString& id : RemoteAccessServer::listenerIds(hostId).mid(0, 3)) {
                auto& client = clients.emplace_back(std::make_unique<RemoteTunnelSocket>(TunnelRole::Client, nullptr));
                connect(client.get(), &RemoteTunnelSocket::frameReceived, this, [&replies] { ++replies; });
                client->connectToRelay(QStringLiteral("127.0.0.1"), m_relay.port(), id, QStringLiteral("tok"),
                                       m_cert.fingerprint(), QString(64, '7'));
            }
            for (auto& client : clients) {
                QTRY_VERIFY_WITH_TIMEOUT(client->isPeerReady(), 30000);
                client->sendFrame(R"({"type":"listStudies"})");
                client->sendFrame(R"({"type":"listStudies"})");
            }
            QTRY_COMPARE_WITH_TIMEOUT(replies, 6, 30000);
            program.terminate();
            QVERIFY(program.waitForFinished(60000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
        }
    }

    void connectionValuesArePrivateAfterStart_data()
    {
        // A settings file an earlier version left readable to all, with one kind of connection value.
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("fileMode");
        QTest::newRow("remote browser's last connection") << "remoteBrowserConnection/e2eSecret" << 0644;
        QTest::newRow("saved remote server") << "remoteServers/1/token" << 0644;
        QTest::newRow("hosting side") << "remoteAccess/e2eSecret" << 0644;
        // Its owner may not write it, but may change its rights.
        QTest::newRow("hosting side, read-only file") << "remoteAccess/e2eSecret" << 0444;
    }
    void connectionValuesArePrivateAfterStart()
    {
        QFETCH(QString, key);
        QFETCH(int, fileMode);
        if (!(fileMode & S_IWUSR) && ::geteuid() == 0)
            QSKIP("root may write any file: a read-only file is told apart only for another user");
        {
            QSettings settings;
            settings.setValue(key, QString(64, '7'));
            if (key.startsWith("remoteServers"))
                settings.setValue("remoteServers/size", 1);
            settings.sync();
        }
        const QString file = QSettings().fileName();
        const QString folder = QFileInfo(file).absolutePath();
        // The next case's reset must be able to empty it, whatever this one left.
        const auto writable = qScopeGuard([&] { ::chmod(QFile::encodeName(file).constData(), 0600); });
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(fileMode)) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        fixtures::ModalAnswer answer(QMessageBox::Ok); // a warning that the values stay exposed
        MainWindow window;
        QCOMPARE(answer.count(), 0);
        QCOMPARE(fixtures::fileMode(file), 0600);
        QCOMPARE(fixtures::fileMode(folder), 0700);
    }

    void remotePacsOpensTheBrowserOverTheList()
    {
        MainWindow window;
        window.show();
        window.findChild<QAction*>(QStringLiteral("remotePacsAction"))->trigger();
        auto* browser = window.findChild<RemoteBrowserDialog*>();
        QVERIFY(browser && browser->isVisible() && window.isVisible());
        QVERIFY(browser->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(browser->geometry(), window.geometry());
    }

    void installsAndHosts()
    {
        const QString reason = sshpeer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        sshpeer::LoopbackSshServer ssh;
        QString why;
        QVERIFY2(ssh.start(QStringLiteral("pw"), &why), qPrintable(why));
        QTemporaryDir files;
        const auto write = [&](const QString& name, const QByteArray& data) {
            QFile f(files.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        write("install.sh", QStringLiteral("echo TOKEN=%1\necho CERT_FINGERPRINT_SHA256=%2\necho PORT=%3\n")
                                .arg("tok", m_cert.fingerprint(), QString::number(m_relay.port()))
                                .toUtf8());
        write("kalvenor-relay-linux-amd64", "relay");
        ssh.setUnameAnswer(QStringLiteral("x86_64"));

        MainWindow window;
        auto* menu = window.findChild<QMenu*>(QStringLiteral("settingsMenu"));
        menu->findChild<QAction*>(QStringLiteral("remoteAccessAction"))->trigger();
        auto* dialog = window.findChild<RemoteAccessDialog*>();
        QVERIFY(dialog && dialog->isVisible() && !dialog->isModal());
        QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
        dialog->provisioner()->setInstallFilesFolder(files.path());
        auto* hosting = dialog->findChild<QCheckBox*>();
        QVERIFY(!hosting->isEnabled());

        auto* address = dialog->findChild<QLineEdit*>("addressEdit");
        auto* password = dialog->findChild<QLineEdit*>("passwordEdit");
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        button(*dialog, "Настроить сервер")->click();
        QCOMPARE(answer.texts(), QStringList{"Заполните адрес VPS, логин и пароль."});

        // The server's key is shown and accepted before the password goes out.
        answer.setButton(QMessageBox::Yes);
        address->setText(" 127.0.0.1 ");
        dialog->findChild<QSpinBox*>("sshPortSpin")->setValue(ssh.port());
        password->setText("pw");
        button(*dialog, "Настроить сервер")->click();
        QVERIFY(password->text().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 3, 30000);
        QVERIFY2(answer.texts().at(1).contains(QStringLiteral("127.0.0.1:%1:\nSHA256:%2\n").arg(ssh.port()).arg(ssh.hostKeyFingerprint())),
                 qPrintable(answer.texts().at(1)));
        QVERIFY2(answer.texts().last().startsWith("Сервис успешно установлен и запущен на 127.0.0.1:"),
                 qPrintable(answer.texts().last()));
        // The question and the end are asked and told with no loop of the box's own: the run's end and
        // its thread's are not handled inside them.
        QCOMPARE(answer.loopLevels().mid(1), (QList<int>{0, 0}));
        QSettings s;
        QCOMPARE(s.value("remoteAccess/port").toInt(), m_relay.port());
        QCOMPARE(s.value("remoteAccess/certFingerprint").toString(), m_cert.fingerprint());
        const QString firstSecret = s.value("remoteAccess/e2eSecret").toString();
        QCOMPARE(parseTunnelSecret(firstSecret).size(), 32);
        QVERIFY(hosting->isChecked() && button(*dialog, "Удалить настройку удалённого доступа на этом компьютере")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("primary")), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(dialog->findChild<QPlainTextEdit*>()->toPlainText().contains("Ожидание удалённого подключения…"), 30000);

        // Installing again while hosting is on moves hosting to the new token.
        write("install.sh", QStringLiteral("echo TOKEN=tok-new\necho CERT_FINGERPRINT_SHA256=%1\necho PORT=%2\n")
                                .arg(m_cert.fingerprint(), QString::number(m_relay.port()))
                                .toUtf8());
        password->setText("pw");
        button(*dialog, "Настроить сервер")->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 4, 30000); // a known key is not asked about again
        QTRY_VERIFY_WITH_TIMEOUT(m_relay.tokensSeen().contains("tok-new"), 10000);
        const QString secret = s.value("remoteAccess/e2eSecret").toString();
        QVERIFY(parseTunnelSecret(secret).size() == 32 && secret != firstSecret);

        // The host id: only Latin letters, digits, '-' and '_'; a new id restarts hosting under it.
        auto* hostId = dialog->findChild<QLineEdit*>("hostIdEdit");
        QTest::keyClicks(hostId, "site 2/.");
        QCOMPARE(hostId->text(), QStringLiteral("site2"));
        emit hostId->editingFinished();
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("site2")), 1, 10000);

        // The connection code, six lines with the secret and the id.
        button(*dialog, "Скопировать код подключения")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QStringLiteral("Адрес: 127.0.0.1\nПорт: %1\nТокен: tok-new\nОтпечаток сертификата: %2\n"
                                "Ключ шифрования: %3\nID узла: site2")
                     .arg(m_relay.port())
                     .arg(m_cert.fingerprint(), secret));

        // Off stops the listeners; deleting stops hosting and forgets the whole group.
        hosting->setChecked(false);
        QVERIFY(!window.remoteAccessServer()->isRunning());
        QVERIFY(!s.value("remoteAccess/hostingEnabled").toBool());
        hosting->setChecked(true);
        answer.setButton(QMessageBox::No);
        button(*dialog, "Удалить настройку удалённого доступа на этом компьютере")->click();
        QVERIFY(window.remoteAccessServer()->isRunning());
        answer.setButton(QMessageBox::Yes);
        button(*dialog, "Удалить настройку удалённого доступа на этом компьютере")->click();
        QVERIFY(!window.remoteAccessServer()->isRunning());
        QVERIFY(!QSettings().childGroups().contains("remoteAccess"));
        QVERIFY(QSettings().childGroups().contains("sshKnownHosts"));
        QVERIFY(!hosting->isEnabled() && !hosting->isChecked() && hostId->text().isEmpty());
        QCOMPARE(dialog->findChild<QLabel*>("statusLabel")->text(), QStringLiteral("Удалённый доступ пока не настроен."));
    }

    // The set-up ends at the server's key question, refused or left unanswered until the run's deadline
    // (passed at once here): nothing goes to the server, the end says which it was, and it is told from
    // the main loop once the run's end has been handled, with the question gone with the run.
    void setUpEndsAtTheKeyQuestion_data()
    {
        QTest::addColumn<bool>("refused"); // «Нет»; otherwise left unanswered
        QTest::addColumn<QString>("said");
        QTest::newRow("key refused") << true << "не подтверждён — подключение прервано, пароль не отправлен";
        QTest::newRow("key question unanswered at the deadline") << false << "не подтверждён за 600 с";
    }
    void setUpEndsAtTheKeyQuestion()
    {
        QFETCH(bool, refused);
        QFETCH(QString, said);
        const QString reason = sshpeer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        sshpeer::LoopbackSshServer ssh;
        QString why;
        QVERIFY2(ssh.start(QStringLiteral("pw"), &why), qPrintable(why));
        RemoteAccessDialog dialog(nullptr);
        bool endHandled = false; // connected after the dialog: its handling of the end has returned
        connect(dialog.provisioner(), &RemoteAccessProvisioner::finished, this, [&] { endHandled = true; });
        QList<bool> handledAtShow;
        QPointer<QMessageBox> question;
        fixtures::ModalAnswer answer(QMessageBox::No);
        answer.setShowHandler([&](QWidget*) { handledAtShow << endHandled; });
        answer.setBoxHandler([&](QMessageBox* box) {
            if (refused || box->icon() != QMessageBox::Question)
                return true;
            if (!question)
                dialog.provisioner()->passDeadlineForTest();
            question = box;
            return false;
        });
        dialog.findChild<QLineEdit*>("addressEdit")->setText("127.0.0.1");
        dialog.findChild<QSpinBox*>("sshPortSpin")->setValue(ssh.port());
        dialog.findChild<QLineEdit*>("passwordEdit")->setText("pw");
        button(dialog, "Настроить сервер")->click();
        QTRY_COMPARE_WITH_TIMEOUT(answer.texts().size(), refused ? 2 : 1, 30000);
        QVERIFY2(answer.texts().last().contains(said), qPrintable(answer.texts().last()));
        QCOMPARE(handledAtShow, (QList<bool>{false, true}));
        QCOMPARE(answer.loopLevels().last(), 0);
        QVERIFY(!question || !question->isVisible());
        QCOMPARE(ssh.passwordAttempts(), 0);
        QVERIFY(!QSettings().contains(QStringLiteral("sshKnownHosts/127.0.0.1:%1").arg(ssh.port())));
    }

    void codeWithoutHostIdAndUnconfiguredHosting()
    {
        configure(9443, QStringLiteral("AA:BB"));
        RemoteAccessDialog dialog(nullptr); // no study list: the box changes nothing
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        button(dialog, "Скопировать код подключения")->click();
        QCOMPARE(QGuiApplication::clipboard()->text().split('\n').size(), 5);
        dialog.findChild<QCheckBox*>()->setChecked(false);
        QVERIFY(QSettings().value("remoteAccess/hostingEnabled").toBool());

        QSettings().remove("remoteAccess/host");
        RemoteAccessDialog unconfigured(nullptr);
        QVERIFY(!unconfigured.findChild<QCheckBox*>()->isChecked());
        QVERIFY(!unconfigured.findChild<QCheckBox*>()->isEnabled());
    }
};

QTEST_MAIN(RemoteAccessTest)
#include "tst_remoteaccess.moc"
