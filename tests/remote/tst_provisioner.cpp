// Relay installation against a real OpenSSH server on 127.0.0.1: login, architecture, SFTP upload,
// the installer through sudo or not, the parameters read from its output, and the failures.

#include "LoopbackSshServer.h"
#include "RemoteAccessProvisioner.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {
const QString kPassword = QStringLiteral("vps пароль 1");
}

class ProvisionerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_files;
    sshpeer::LoopbackSshServer m_ssh;

    // The steps and the six arguments of `finished`.
    std::pair<QStringList, QVariantList> provision(const QString& login, const QString& password, quint16 port)
    {
        RemoteAccessProvisioner provisioner;
        provisioner.setInstallFilesFolder(m_files.path());
        QSignalSpy steps(&provisioner, &RemoteAccessProvisioner::stepStarted);
        QSignalSpy finished(&provisioner, &RemoteAccessProvisioner::finished);
        provisioner.start(QStringLiteral("127.0.0.1"), port, login, password, 9443);
        if (!finished.wait(30000))
            return {};
        QStringList texts;
        for (const auto& s : steps)
            texts << s.at(0).toString();
        return {texts, finished.takeFirst()};
    }

    void writeInstallFiles(const QString& installerBody, bool withArm = true)
    {
        const auto write = [this](const QString& name, const QByteArray& data) {
            QFile f(QDir(m_files.path()).filePath(name));
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(data);
        };
        write("install.sh", "here=$(dirname \"$0\")\necho \"$1 $(id -u)\" > \"$here/ran\"\n" + installerBody.toUtf8());
        write("kalvenor-relay-linux-amd64", QByteArray(200000, 'x'));
        QFile::remove(QDir(m_files.path()).filePath("kalvenor-relay-linux-arm64"));
        if (withArm)
            write("kalvenor-relay-linux-arm64", "arm program");
    }

private slots:
    void initTestCase()
    {
        const QString reason = sshpeer::unavailableReason();
        if (!reason.isEmpty())
            QSKIP(qPrintable(reason));
        QString why;
        QVERIFY2(m_ssh.start(kPassword, &why), qPrintable(why));
    }

    void installs_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("uname");
        QTest::addColumn<QString>("installer");
        QTest::addColumn<bool>("armPresent");
        QTest::addColumn<QString>("error"); // empty: success with port 9443 (0 for "port zero") and "tok-2"

        const QString good = "echo installing\necho TOKEN=first\necho '  TOKEN=tok-2  '\n"
                             "echo CERT_FINGERPRINT_SHA256=AA:BB\necho PORT=9443\n";
        QTest::newRow("root on x86_64") << "root" << "x86_64" << good << true << "";
        QTest::newRow("uname says amd64") << "root" << "amd64" << good << true << "";
        QTest::newRow("other login through sudo, arm64") << "kalvtest" << "aarch64" << good << true << "";
        QTest::newRow("port zero") << "root" << "x86_64" << "echo TOKEN=tok-2\necho CERT_FINGERPRINT_SHA256=f\necho PORT=0\n"
                                   << true << "";
        QTest::newRow("armv7l refused") << "root" << "armv7l" << good << true
                                        << "Неподдерживаемая архитектура процессора сервера: armv7l";
        QTest::newRow("port without a number")
            << "root" << "x86_64" << "echo TOKEN=t\necho CERT_FINGERPRINT_SHA256=ff\necho PORT=abc\n" << true
            << "Установка вроде прошла успешно, но не удалось прочитать параметры подключения из вывода скрипта.";
        QTest::newRow("installer fails") << "root" << "x86_64" << "echo step one\necho 'no systemd' >&2\nexit 3\n"
                                         << true << "Установка на сервере завершилась с ошибкой:\nstep one\nno systemd\n";
        QTest::newRow("arm64 program missing") << "root" << "aarch64" << good << false << "MISSING";
    }
    void installs()
    {
        QFETCH(QString, login);
        QFETCH(QString, uname);
        QFETCH(QString, installer);
        QFETCH(bool, armPresent);
        QFETCH(QString, error);
        writeInstallFiles(installer, armPresent);
        m_ssh.setUnameAnswer(uname);
        m_ssh.clearSudoRecord();
        // The folder itself is mounted as the server's /tmp: only its contents go.
        const QString work = m_ssh.remoteTmp() + "/kalvenor-relay-install";
        QDir(work).removeRecursively();
        if (error == "MISSING")
            error = QStringLiteral("В дистрибутиве Kalvenor не найдены файлы для установки relay (%1) — переустановите "
                                   "Kalvenor.").arg(m_files.filePath("install.sh"));

        const auto [steps, result] = provision(login, kPassword, m_ssh.port());
        QCOMPARE(result.size(), 6);
        QCOMPARE(result.at(1).toString(), error);
        QCOMPARE(result.at(0).toBool(), error.isEmpty());
        if (!error.isEmpty()) {
            QVERIFY(result.at(2).toString().isEmpty() && result.at(4).toString().isEmpty() && result.at(3).toInt() == 0);
            return;
        }
        QCOMPARE(steps, QStringList({QStringLiteral("Подключение к 127.0.0.1:%1…").arg(m_ssh.port()), "Аутентификация…",
                                     "Определение архитектуры сервера…", "Копирование файлов установки на сервер…",
                                     "Установка и запуск сервиса на сервере (это может занять минуту)…",
                                     "Обработка результата…"}));
        QCOMPARE(result.at(2).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(result.at(3).toInt(), QTest::currentDataTag() == QLatin1String("port zero") ? 0 : 9443);
        QCOMPARE(result.at(4).toString(), QStringLiteral("tok-2"));

        // Both files arrived whole with mode 755 and the installer ran with the relay port.
        const bool arm = uname == "aarch64";
        const QFileInfo program(work + (arm ? "/kalvenor-relay-linux-arm64" : "/kalvenor-relay-linux-amd64"));
        QCOMPARE(program.size(), arm ? 11 : 200000);
        for (const QFileInfo& file : {program, QFileInfo(work + "/install.sh")})
            QCOMPARE(int(file.permissions()) & 0x7077, 0x7055);
        QFile ran(work + "/ran");
        QVERIFY(ran.open(QIODevice::ReadOnly));
        QCOMPARE(ran.readAll().trimmed(), QByteArray("9443 0"));
        QCOMPARE(m_ssh.sudoArguments(), login == "root" ? QString() : "-S -p  bash /tmp/kalvenor-relay-install/install.sh 9443");
        QCOMPARE(m_ssh.sudoPasswordLine(), login == "root" ? QString() : kPassword);
    }

    void refusedLoginAndPeersThatAreNotSshServers()
    {
        auto [steps, result] = provision("root", "not the password", m_ssh.port());
        QVERIFY2(result.value(1).toString().startsWith("Неверный логин или пароль ("), qPrintable(result.value(1).toString()));
        QCOMPARE(steps.size(), 2);

        const quint16 closed = fixtures::freeLoopbackPort();
        result = provision("root", kPassword, closed).second;
        QVERIFY(result.value(1).toString().startsWith(QStringLiteral("Не удалось подключиться к 127.0.0.1:%1 (").arg(closed)));

        QTcpServer http; // answers something else and hangs up
        QVERIFY(http.listen(QHostAddress::LocalHost, 0));
        connect(&http, &QTcpServer::newConnection, &http, [&http] {
            QTcpSocket* s = http.nextPendingConnection();
            s->write("HTTP/1.1 400 Bad Request\r\n\r\n");
            s->disconnectFromHost();
        });
        result = provision("root", kPassword, http.serverPort()).second;
        QVERIFY2(result.value(1).toString().startsWith("Ошибка SSH-рукопожатия: "), qPrintable(result.value(1).toString()));
    }

    void secondStartWhileRunningIsIgnored()
    {
        writeInstallFiles("sleep 1\necho TOKEN=t\necho CERT_FINGERPRINT_SHA256=ff\necho PORT=1\n");
        m_ssh.setUnameAnswer("x86_64");
        RemoteAccessProvisioner provisioner;
        provisioner.setInstallFilesFolder(m_files.path());
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
        {
            RemoteAccessProvisioner provisioner;
            provisioner.start("127.0.0.1", silent->serverPort(), "root", kPassword, 1);
            QTRY_VERIFY(silent->hasPendingConnections());
        }
        silent.reset(); // ends the blocked handshake; the thread then finishes and deletes itself
        QTest::qWait(500);
    }
};

QTEST_GUILESS_MAIN(ProvisionerTest)
#include "tst_provisioner.moc"
