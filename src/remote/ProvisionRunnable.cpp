#include "ProvisionRunnable.h"

#include "RelayContract.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTcpSocket>

#include <libssh2.h>
#include <libssh2_sftp.h>

namespace {

constexpr int kConnectTimeoutMs = 15000;
constexpr unsigned int kChannelWindow = 0x200000;
constexpr unsigned int kChannelPacket = 32768;
constexpr int kReadBlock = 16384;
constexpr qint64 kUploadBlock = 65536;
constexpr int kInstallerTailChars = 2000;

// libssh2 counts its own start-ups and shut-downs without a lock; two installations from two dialogs
// may start and end at the same moment.
QMutex& libraryLock()
{
    static QMutex lock;
    return lock;
}

} // namespace

QString sshLastError(LIBSSH2_SESSION* session)
{
    char* message = nullptr;
    int length = 0;
    if (session)
        libssh2_session_last_error(session, &message, &length, 0);
    if (!message || length <= 0)
        return QStringLiteral("неизвестная ошибка");
    return QString::fromUtf8(message, length);
}

RemoteCommandResult runRemoteCommand(LIBSSH2_SESSION* session, const QByteArray& command, const QByteArray& input)
{
    RemoteCommandResult result;
    LIBSSH2_CHANNEL* channel =
        libssh2_channel_open_ex(session, "session", sizeof("session") - 1, kChannelWindow, kChannelPacket, nullptr, 0);
    if (!channel) {
        result.output = "не удалось открыть канал: " + sshLastError(session).toUtf8();
        return result;
    }
    if (libssh2_channel_process_startup(channel, "exec", sizeof("exec") - 1, command.constData(),
                                        unsigned(command.size())) != 0) {
        result.output = "не удалось выполнить команду: " + sshLastError(session).toUtf8();
        libssh2_channel_free(channel);
        return result;
    }
    // A blocking write may still take the bytes in parts; the rest follows until all are out or it fails.
    for (qsizetype written = 0; written < input.size();) {
        const ssize_t n = libssh2_channel_write(channel, input.constData() + written, size_t(input.size() - written));
        if (n == LIBSSH2_ERROR_EAGAIN)
            continue;
        if (n <= 0)
            break;
        written += n;
    }

    char buffer[kReadBlock];
    for (;;) {
        const ssize_t n = libssh2_channel_read(channel, buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, n);
            continue;
        }
        if (n == LIBSSH2_ERROR_EAGAIN && !libssh2_channel_eof(channel))
            continue;
        break; // end of file, or a read error
    }
    for (;;) {
        const ssize_t n = libssh2_channel_read_stderr(channel, buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, n);
    }

    libssh2_channel_send_eof(channel);
    libssh2_channel_wait_closed(channel);
    const int exitStatus = libssh2_channel_get_exit_status(channel);
    libssh2_channel_free(channel);
    result.ok = exitStatus == 0;
    return result;
}

bool uploadFileOverSftp(LIBSSH2_SFTP* sftp, const QString& localPath, const QString& remotePath, long mode,
                        QString* error)
{
    QFile local(localPath);
    if (!local.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("не удалось открыть локальный файл %1").arg(localPath);
        return false;
    }
    const QByteArray remote = remotePath.toUtf8();
    LIBSSH2_SFTP_HANDLE* handle =
        libssh2_sftp_open_ex(sftp, remote.constData(), unsigned(remote.size()),
                             LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, mode, LIBSSH2_SFTP_OPENFILE);
    if (!handle) {
        *error = QStringLiteral("не удалось создать файл на сервере %1").arg(remotePath);
        return false;
    }
    for (;;) {
        const QByteArray block = local.read(kUploadBlock);
        if (block.isEmpty())
            break;
        for (qsizetype sent = 0; sent < block.size();) {
            const ssize_t n = libssh2_sftp_write(handle, block.constData() + sent, size_t(block.size() - sent));
            if (n == LIBSSH2_ERROR_EAGAIN)
                continue;
            if (n <= 0) {
                libssh2_sftp_close(handle);
                *error = QStringLiteral("ошибка записи файла на сервере %1").arg(remotePath);
                return false;
            }
            sent += n;
        }
    }
    libssh2_sftp_close(handle);
    return true;
}

ProvisionRunnable::ProvisionRunnable(const QString& host, quint16 sshPort, const QString& login,
                                     const QString& password, quint16 relayPort, const QString& installFolder)
    : host(host), sshPort(sshPort), login(login), password(password), relayPort(relayPort),
      installFolder(installFolder.isEmpty() ? relay::localInstallFolder() : installFolder)
{
}

ProvisionRunnable::~ProvisionRunnable()
{
    closeSession();
}

void ProvisionRunnable::run()
{
    provision();
}

bool ProvisionRunnable::provision()
{
    emit stepStarted(QStringLiteral("Подключение к %1:%2…").arg(host).arg(sshPort));
    socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(host, sshPort);
    if (!socket->waitForConnected(kConnectTimeoutMs)) {
        fail(QStringLiteral("Не удалось подключиться к %1:%2 (%3)").arg(host).arg(sshPort).arg(socket->errorString()));
        return false;
    }

    libraryLock().lock();
    const int initResult = libssh2_init(0);
    libraryLock().unlock();
    if (initResult != 0) {
        fail(QStringLiteral("Не удалось инициализировать SSH-библиотеку"));
        return false;
    }
    libraryUp = true;
    session = libssh2_session_init();
    if (!session) {
        fail(QStringLiteral("Не удалось создать SSH-сессию"));
        return false;
    }
    libssh2_session_set_blocking(session, 1);
    if (libssh2_session_handshake(session, libssh2_socket_t(socket->socketDescriptor())) != 0) {
        fail(QStringLiteral("Ошибка SSH-рукопожатия: %1").arg(sshLastError(session)));
        return false;
    }

    emit stepStarted(QStringLiteral("Аутентификация…"));
    const QByteArray user = login.toUtf8();
    const QByteArray secret = password.toUtf8();
    if (libssh2_userauth_password_ex(session, user.constData(), unsigned(user.size()), secret.constData(),
                                     unsigned(secret.size()), nullptr) != 0) {
        fail(QStringLiteral("Неверный логин или пароль (%1)").arg(sshLastError(session)));
        return false;
    }

    emit stepStarted(QStringLiteral("Определение архитектуры сервера…"));
    const RemoteCommandResult uname = runRemoteCommand(session, "uname -m", {});
    if (!uname.ok) {
        fail(QStringLiteral("Не удалось выполнить команду на сервере: %1").arg(QString::fromUtf8(uname.output)));
        return false;
    }
    const QString unameText = QString::fromUtf8(uname.output).trimmed();
    const QString architecture = relay::architectureFromUname(unameText);
    if (architecture.isEmpty()) {
        fail(QStringLiteral("Неподдерживаемая архитектура процессора сервера: %1").arg(unameText));
        return false;
    }

    const QDir folder(installFolder);
    const QString installerPath = folder.filePath(relay::installerFileName());
    const QString programName = relay::programFileName(architecture);
    const QString programPath = folder.filePath(programName);
    if (!QFileInfo::exists(installerPath) || !QFileInfo::exists(programPath)) {
        fail(QStringLiteral("В дистрибутиве Kalvenor не найдены файлы для установки relay (%1) — переустановите Kalvenor.")
                 .arg(installerPath));
        return false;
    }

    emit stepStarted(QStringLiteral("Копирование файлов установки на сервер…"));
    const QString workFolder = relay::remoteWorkFolder();
    const RemoteCommandResult mkdir = runRemoteCommand(session, "mkdir -p " + workFolder.toUtf8(), {});
    if (!mkdir.ok) {
        fail(QStringLiteral("Не удалось создать временную папку на сервере: %1").arg(QString::fromUtf8(mkdir.output)));
        return false;
    }
    LIBSSH2_SFTP* sftp = libssh2_sftp_init(session);
    if (!sftp) {
        fail(QStringLiteral("Не удалось открыть SFTP-канал: %1").arg(sshLastError(session)));
        return false;
    }
    QString uploadError;
    const bool uploaded =
        uploadFileOverSftp(sftp, installerPath, workFolder + QStringLiteral("/install.sh"), relay::remoteFileMode,
                           &uploadError) &&
        uploadFileOverSftp(sftp, programPath, workFolder + QLatin1Char('/') + programName, relay::remoteFileMode,
                           &uploadError);
    libssh2_sftp_shutdown(sftp);
    if (!uploaded) {
        fail(QStringLiteral("Не удалось скопировать файлы установки на сервер: %1").arg(uploadError));
        return false;
    }

    emit stepStarted(QStringLiteral("Установка и запуск сервиса на сервере (это может занять минуту)…"));
    // sudo reads the password from standard input ("-S") and prints no prompt ("-p ''").
    const QByteArray input = login == QLatin1String("root") ? QByteArray() : secret + '\n';
    const RemoteCommandResult install =
        runRemoteCommand(session, relay::installerCommand(login, relayPort).toUtf8(), input);
    if (!install.ok) {
        fail(QStringLiteral("Установка на сервере завершилась с ошибкой:\n%1")
                 .arg(QString::fromUtf8(install.output).right(kInstallerTailChars)));
        return false;
    }

    emit stepStarted(QStringLiteral("Обработка результата…"));
    const relay::InstallerResult parsed = relay::parseInstallerOutput(QString::fromUtf8(install.output));
    if (!parsed.ok) {
        fail(QStringLiteral(
            "Установка вроде прошла успешно, но не удалось прочитать параметры подключения из вывода скрипта."));
        return false;
    }
    closeSession();
    emit finished(true, QString(), host, parsed.port, parsed.token, parsed.certFingerprint);
    return true;
}

void ProvisionRunnable::closeSession()
{
    if (session) {
        libssh2_session_disconnect_ex(session, SSH_DISCONNECT_BY_APPLICATION, "готово", "");
        libssh2_session_free(session);
        session = nullptr;
    }
    if (libraryUp) {
        const QMutexLocker locker(&libraryLock());
        libssh2_exit();
        libraryUp = false;
    }
    if (socket) {
        socket->abort();
        socket.reset();
    }
}

void ProvisionRunnable::fail(const QString& message)
{
    closeSession();
    emit finished(false, message, QString(), 0, QString(), QString());
}
