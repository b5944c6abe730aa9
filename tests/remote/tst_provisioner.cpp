// Relay installation against a real OpenSSH server on 127.0.0.1: the host key check before the password,
// login, architecture, the private folder and the SFTP upload, the installer through sudo or not and
// however it uses its streams, the deadline, the parameters read from its output, and the failures.

#include "support/LoopbackSshServer.h"
#include "remote/RelayContract.h"
#include "remote/RemoteAccessProvisioner.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QThread>

namespace {
const QString kPassword = QStringLiteral("vps пароль 1");
const QString kFingerprint = QStringLiteral("AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:"
                                            "aa:bb:cc:dd:ee:ff:00:11:22:33:44:55:66:77:88:99");
const QString kGoodOutput =
    QStringLiteral("echo TOKEN=tok-2\necho CERT_FINGERPRINT_SHA256=%1\necho PORT=9443\n").arg(kFingerprint);
} // namespace

class ProvisionerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_files;
    sshpeer::LoopbackSshServer m_ssh;
    QString m_sshMissing;

    struct Run
    {
        QStringList steps;
        QVariantList result; // the six arguments of `finished`
        QStringList questions; // "host:port fingerprint" of each host key question
    };

    Run provision(const QString& login, const QString& password, quint16 port, bool acceptKey = true,
                  int deadlineMs = 60000)
    {
        RemoteAccessProvisioner provisioner;
        provisioner.setInstallFilesFolder(m_files.path());
        provisioner.setDeadline(deadlineMs);
        Run run;
        connect(&provisioner, &RemoteAccessProvisioner::hostKeyUnknown, this,
                [&](const QString& host, int p, const QString& fingerprint) {
                    run.questions << QStringLiteral("%1:%2 %3").arg(host).arg(p).arg(fingerprint);
                    provisioner.answerHostKey(acceptKey);
                });
        QSignalSpy steps(&provisioner, &RemoteAccessProvisioner::stepStarted);
        QSignalSpy finished(&provisioner, &RemoteAccessProvisioner::finished);
        provisioner.start(QStringLiteral("127.0.0.1"), port, login, password, 9443);
        if (!finished.wait(60000))
            return run;
        for (const auto& s : steps)
            run.steps << s.at(0).toString();
        run.result = finished.takeFirst();
        return run;
    }

    void writeInstallFiles(const QString& installerBody, bool withArm = true)
    {
        const auto write = [this](const QString& name, const QByteArray& data) {
            QFile f(QDir(m_files.path()).filePath(name));
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(data);
        };
        // The installer notes where it ran and what it found, outside its folder, which goes at the end.
        write("install.sh", "here=$(dirname \"$0\")\n"
                            "{ echo \"$1 $(id -u)\"; echo \"$here\"; stat -c '%a' \"$here\"; "
                            "stat -c '%n %s %a' \"$here\"/*; } > /tmp/record\n"
                                + installerBody.toUtf8());
        write("kalvenor-relay-linux-amd64", QByteArray(200000, 'x'));
        QFile::remove(QDir(m_files.path()).filePath("kalvenor-relay-linux-arm64"));
        if (withArm)
            write("kalvenor-relay-linux-arm64", "arm program");
    }

    QStringList record() const
    {
        QFile f(m_ssh.remoteTmp() + "/record");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                           : QStringList();
    }

    bool needSsh()
    {
        if (m_sshMissing.isEmpty())
            return true;
        QTest::qSkip(qPrintable(m_sshMissing), __FILE__, __LINE__);
        return false;
    }

private slots:
    void initTestCase()
    {
        m_sshMissing = sshpeer::unavailableReason();
        if (!m_sshMissing.isEmpty())
            return;
        QString why;
        QVERIFY2(m_ssh.start(kPassword, &why), qPrintable(why));
    }

    // Every test meets the server's key as new; the helper accepts it.
    void init() { QSettings().remove("sshKnownHosts"); }

    void parsesInstallerOutput_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("port"); // 0: the output is refused
        const QString fp = "CERT_FINGERPRINT_SHA256=" + kFingerprint + "\n";
        QTest::newRow("last line wins, blanks trimmed")
            << "TOKEN=first\n  TOKEN=tok-2  \n" + fp + "PORT=1\nPORT=9443\n" << 9443;
        QTest::newRow("port zero") << "TOKEN=tok-2\n" + fp + "PORT=0" << 0;
        QTest::newRow("port 70000") << "TOKEN=tok-2\n" + fp + "PORT=70000" << 0;
        QTest::newRow("port without a number") << "TOKEN=tok-2\n" + fp + "PORT=abc" << 0;
        QTest::newRow("token with a space") << "TOKEN=tok 2\n" + fp + "PORT=9443" << 0;
        QTest::newRow("fingerprint not hexadecimal")
            << "TOKEN=tok-2\nCERT_FINGERPRINT_SHA256=" + QString(64, 'g') + "\nPORT=9443" << 0;
    }
    void parsesInstallerOutput()
    {
        QFETCH(QString, output);
        QFETCH(int, port);
        const relay::InstallerResult result = relay::parseInstallerOutput(output);
        QCOMPARE(result.ok, port != 0);
        if (result.ok) {
            QCOMPARE(result.port, port);
            QCOMPARE(result.token, QStringLiteral("tok-2"));
        }
    }

    void hostKeyComesBeforeThePassword_data()
    {
        QTest::addColumn<QString>("stored"); // "own": the server's own key
        QTest::addColumn<bool>("accept");
        QTest::addColumn<int>("questions");
        QTest::addColumn<QString>("error"); // empty: installed
        QTest::newRow("unknown, declined") << "" << false << 1 << "Ключ SSH-сервера не подтверждён";
        QTest::newRow("unknown, accepted") << "" << true << 1 << "";
        QTest::newRow("known") << "own" << false << 0 << "";
        QTest::newRow("changed") << "SHA256:47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU" << true << 0
                                 << "Ключ SSH-сервера 127.0.0.1:%1 изменился";
    }
    void hostKeyComesBeforeThePassword()
    {
        if (!needSsh())
            return;
        QFETCH(QString, stored);
        QFETCH(bool, accept);
        QFETCH(int, questions);
        QFETCH(QString, error);
        writeInstallFiles(kGoodOutput);
        m_ssh.setUnameAnswer("x86_64");
        const QString own = "SHA256:" + m_ssh.hostKeyFingerprint();
        const QString key = QStringLiteral("sshKnownHosts/127.0.0.1:%1").arg(m_ssh.port());
        if (!stored.isEmpty())
            QSettings().setValue(key, stored == "own" ? own : stored);
        const int attempts = m_ssh.passwordAttempts();

        const Run run = provision("root", kPassword, m_ssh.port(), accept);
        QCOMPARE(run.questions.size(), questions);
        if (questions)
            QCOMPARE(run.questions.first(), QStringLiteral("127.0.0.1:%1 %2").arg(m_ssh.port()).arg(own.mid(7)));
        const QString message = run.result.value(1).toString();
        error.replace("%1", QString::number(m_ssh.port()));
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.startsWith(error), qPrintable(message));
        // Refused or unanswered, the key stops the run before any password goes out.
        QCOMPARE(m_ssh.passwordAttempts() > attempts, error.isEmpty());
        QCOMPARE(QSettings().value(key).toString(), stored == "own" || (stored.isEmpty() && accept) ? own : stored);
    }

    void installs_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("uname");
        QTest::addColumn<QString>("installer");
        QTest::addColumn<bool>("armPresent");
        QTest::addColumn<QString>("error"); // empty: success with port 9443 and "tok-2"

        QTest::newRow("root on x86_64") << "root" << "x86_64" << kGoodOutput << true << "";
        QTest::newRow("uname says amd64") << "root" << "amd64" << kGoodOutput << true << "";
        QTest::newRow("other login through sudo, arm64") << "kalvtest" << "aarch64" << kGoodOutput << true << "";
        // Either stream may fill up before the other, and the installer's input ends after the password.
        QTest::newRow("much on standard error")
            << "root" << "x86_64" << "head -c 3000000 /dev/zero | tr '\\0' e >&2\n" + kGoodOutput << true << "";
        QTest::newRow("reads its input to the end") << "kalvtest" << "x86_64" << "cat > /dev/null\n" + kGoodOutput
                                                    << true << "";
        QTest::newRow("armv7l refused") << "root" << "armv7l" << kGoodOutput << true
                                        << "Неподдерживаемая архитектура процессора сервера: armv7l";
        QTest::newRow("port zero") << "root" << "x86_64" << QString(kGoodOutput).replace("9443", "0") << true
                                   << "Установка вроде прошла успешно, но не удалось прочитать параметры подключения "
                                      "из вывода скрипта.";
        QTest::newRow("installer fails") << "root" << "x86_64" << "echo step one\necho 'no systemd' >&2\nexit 3\n"
                                         << true << "Установка на сервере завершилась с ошибкой:\nstep one\nno systemd\n";
        QTest::newRow("arm64 program missing") << "root" << "aarch64" << kGoodOutput << false << "MISSING";
    }
    void installs()
    {
        if (!needSsh())
            return;
        QFETCH(QString, login);
        QFETCH(QString, uname);
        QFETCH(QString, installer);
        QFETCH(bool, armPresent);
        QFETCH(QString, error);
        writeInstallFiles(installer, armPresent);
        m_ssh.setUnameAnswer(uname);
        m_ssh.clearSudoRecord();
        QFile::remove(m_ssh.remoteTmp() + "/record");
        if (error == "MISSING")
            error = QStringLiteral("В дистрибутиве Kalvenor не найдены файлы для установки relay (%1) — переустановите "
                                   "Kalvenor.").arg(m_files.filePath("install.sh"));

        const Run run = provision(login, kPassword, m_ssh.port());
        const QVariantList& result = run.result;
        QCOMPARE(result.size(), 6);
        QCOMPARE(result.at(1).toString(), error);
        QCOMPARE(result.at(0).toBool(), error.isEmpty());
        // No installation folder is left behind, whatever the outcome.
        QCOMPARE(QDir(m_ssh.remoteTmp()).entryList({"kalvenor-relay*"}, QDir::Dirs), QStringList());
        if (!error.isEmpty()) {
            QVERIFY(result.at(2).toString().isEmpty() && result.at(4).toString().isEmpty() && result.at(3).toInt() == 0);
            return;
        }
        QCOMPARE(run.steps.size(), 6);
        QCOMPARE(result.at(2).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(result.at(3).toInt(), 9443);
        QCOMPARE(result.at(4).toString(), QStringLiteral("tok-2"));

        // The installer ran with the relay port from a private folder (mode 700) that held both files
        // whole, with mode 755.
        const QStringList seen = record();
        QCOMPARE(seen.size(), 5);
        QCOMPARE(seen.at(0), QStringLiteral("9443 0"));
        const QString folder = seen.at(1);
        QVERIFY2(folder.startsWith("/tmp/kalvenor-relay."), qPrintable(folder));
        QCOMPARE(seen.at(2), QStringLiteral("700"));
        const QString program = uname == "aarch64" ? "kalvenor-relay-linux-arm64 11" : "kalvenor-relay-linux-amd64 200000";
        QCOMPARE(seen.mid(3), (QStringList{QStringLiteral("%1/install.sh %2 755").arg(folder).arg(
                                               QFileInfo(m_files.filePath("install.sh")).size()),
                                           QStringLiteral("%1/%2 755").arg(folder, program)}));
        QCOMPARE(m_ssh.sudoArguments(), login == "root" ? QString() : "-S -p  bash " + folder + "/install.sh 9443");
        QCOMPARE(m_ssh.sudoPasswordLine(), login == "root" ? QString() : kPassword);
    }

    void hangingInstallerEndsAtTheDeadline()
    {
        if (!needSsh())
            return;
        writeInstallFiles("sleep 120\n" + kGoodOutput);
        m_ssh.setUnameAnswer("x86_64");
        QElapsedTimer timer;
        timer.start();
        const Run run = provision("root", kPassword, m_ssh.port(), true, 4000);
        QVERIFY2(run.result.value(1).toString().startsWith("Установка прервана: она не завершилась за 4 с"),
                 qPrintable(run.result.value(1).toString()));
        QVERIFY(timer.elapsed() < 30000); // the deadline plus a short clean-up, not the installer's two minutes
    }

    void refusedLoginAndPeersThatAreNotSshServers()
    {
        if (!needSsh())
            return;
        auto run = provision("root", "not the password", m_ssh.port());
        QVERIFY2(run.result.value(1).toString().startsWith("Неверный логин или пароль ("),
                 qPrintable(run.result.value(1).toString()));
        QCOMPARE(run.steps.size(), 2);

        const quint16 closed = fixtures::freeLoopbackPort();
        run = provision("root", kPassword, closed);
        const QString refused = run.result.value(1).toString();
        QVERIFY(refused.startsWith(QStringLiteral("Не удалось подключиться к 127.0.0.1:%1 (").arg(closed)));
        // The cause in the user's words, not the toolkit's English.
        QVERIFY2(refused.contains(QStringLiteral("отклонил")) && !refused.contains(QRegularExpression("[a-z]{2}")),
                 qPrintable(refused));

        QTcpServer http; // answers something else and hangs up
        QVERIFY(http.listen(QHostAddress::LocalHost, 0));
        connect(&http, &QTcpServer::newConnection, &http, [&http] {
            QTcpSocket* s = http.nextPendingConnection();
            s->write("HTTP/1.1 400 Bad Request\r\n\r\n");
            s->disconnectFromHost();
        });
        run = provision("root", kPassword, http.serverPort());
        QVERIFY2(run.result.value(1).toString().startsWith("Ошибка SSH-рукопожатия: "),
                 qPrintable(run.result.value(1).toString()));
    }

    void secondStartWhileRunningIsIgnored()
    {
        if (!needSsh())
            return;
        writeInstallFiles("sleep 1\n" + kGoodOutput);
        m_ssh.setUnameAnswer("x86_64");
        RemoteAccessProvisioner provisioner;
        provisioner.setInstallFilesFolder(m_files.path());
        connect(&provisioner, &RemoteAccessProvisioner::hostKeyUnknown, &provisioner,
                [&] { provisioner.answerHostKey(true); });
        QSignalSpy finished(&provisioner, &RemoteAccessProvisioner::finished);
        for (quint16 port : {m_ssh.port(), quint16(1)})
            provisioner.start("127.0.0.1", port, "root", kPassword, 1);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCoreApplication::processEvents(); // a second run's result would be queued behind the first
        QCOMPARE(finished.size(), 1);
        QVERIFY(finished.at(0).at(0).toBool());
        provisioner.start("127.0.0.1", m_ssh.port(), "root", kPassword, 1); // idle again: a fresh thread
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        QVERIFY(finished.at(1).at(0).toBool());
    }

    void destroyedWhileBlockedInHandshake()
    {
        // A peer that accepts and never speaks keeps the handshake waiting; the provisioner lets its
        // thread go after 5 s instead of destroying it while it runs, which would end the program.
        auto silent = std::make_unique<QTcpServer>();
        QVERIFY(silent->listen(QHostAddress::LocalHost, 0));
        QPointer<QThread> thread;
        {
            RemoteAccessProvisioner provisioner;
            provisioner.start("127.0.0.1", silent->serverPort(), "root", kPassword, 1);
            thread = provisioner.findChild<QThread*>();
            QVERIFY(thread);
            QTRY_VERIFY_WITH_TIMEOUT(silent->hasPendingConnections(), 30000);
        }
        silent.reset(); // ends the blocked handshake; the thread then finishes and deletes itself
        QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 30000);
    }
};

QTEST_GUILESS_MAIN(ProvisionerTest)
#include "tst_provisioner.moc"
