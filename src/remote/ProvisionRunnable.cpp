#include "remote/ProvisionRunnable.h"

#include "remote/RelayContract.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QScopeGuard>
#include <QSettings>
#include <QTcpSocket>

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <poll.h>

namespace {

constexpr int kConnectTimeoutMs = 15000;
constexpr unsigned int kChannelWindow = 0x200000;
constexpr unsigned int kChannelPacket = 32768;
constexpr int kReadBlock = 16384;
constexpr qint64 kUploadBlock = 65536;
constexpr int kInstallerTailChars = 2000;
constexpr int kPollSliceMs = 1000;
constexpr int kCleanupMs = 10000;
const QString kKnownHostsGroup = QStringLiteral("sshKnownHosts");

// libssh2 counts its own start-ups and shut-downs without a lock; two installations from two dialogs
// may start and end at the same moment.
QMutex& libraryLock()
{
    static QMutex lock;
    return lock;
}

// Why the connection to the SSH server failed, in the user's words rather than the toolkit's.
QString connectFailureText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("сервер отклонил подключение: на этом порту не работает SSH-сервер или его закрывает "
                              "брандмауэр");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("адрес сервера не найден — проверьте его написание");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("сервер не ответил за %1 с").arg(kConnectTimeoutMs / 1000);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("сервер закрыл соединение");
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::TemporaryError:
        return QStringLiteral("сеть недоступна или соединение оборвалось");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("системе запрещено открывать это соединение");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("не хватает системных ресурсов для соединения");
    default:
        return QStringLiteral("ошибка соединения, код %1").arg(int(error));
    }
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

namespace {

// Waits until the session's socket can go on in the direction the library is held up in; false once
// the deadline has passed.
bool waitForSocket(LIBSSH2_SESSION* session, qintptr socketDescriptor, const QDeadlineTimer& deadline)
{
    if (deadline.hasExpired())
        return false;
    const int directions = libssh2_session_block_directions(session);
    pollfd watched{int(socketDescriptor), 0, 0};
    if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
        watched.events |= POLLIN;
    if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
        watched.events |= POLLOUT;
    if (watched.events == 0)
        watched.events = POLLIN;
    const qint64 left = deadline.remainingTime();
    ::poll(&watched, 1, left < 0 ? kPollSliceMs : int(qMin<qint64>(left, kPollSliceMs)));
    return true;
}

} // namespace

RemoteCommandResult runRemoteCommand(LIBSSH2_SESSION* session, qintptr socketDescriptor, const QByteArray& command,
                                     const QByteArray& input, const QDeadlineTimer& deadline)
{
    RemoteCommandResult result;
    // Without blocking, a command that fills one output stream while the other is being waited for
    // cannot stall the run, and the deadline is seen between reads.
    libssh2_session_set_blocking(session, 0);
    const auto blockingAgain = qScopeGuard([session] { libssh2_session_set_blocking(session, 1); });
    const auto retry = [&](auto call) {
        for (;;) {
            const auto rc = call();
            if (rc != LIBSSH2_ERROR_EAGAIN)
                return rc;
            if (!waitForSocket(session, socketDescriptor, deadline))
                return decltype(rc)(LIBSSH2_ERROR_TIMEOUT);
        }
    };

    LIBSSH2_CHANNEL* channel = nullptr;
    while (!(channel = libssh2_channel_open_ex(session, "session", sizeof("session") - 1, kChannelWindow,
                                               kChannelPacket, nullptr, 0))) {
        if (libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN
            || !waitForSocket(session, socketDescriptor, deadline)) {
            result.output = "не удалось открыть канал: " + sshLastError(session).toUtf8();
            return result;
        }
    }
    const auto freeChannel = qScopeGuard([&] { retry([&] { return libssh2_channel_free(channel); }); });
    if (retry([&] {
            return libssh2_channel_process_startup(channel, "exec", sizeof("exec") - 1, command.constData(),
                                                   unsigned(command.size()));
        }) != 0) {
        result.output = "не удалось выполнить команду: " + sshLastError(session).toUtf8();
        return result;
    }
    for (qsizetype written = 0; written < input.size();) {
        const ssize_t n = retry(
            [&] { return libssh2_channel_write(channel, input.constData() + written, size_t(input.size() - written)); });
        if (n <= 0)
            break;
        written += n;
    }
    // End of file right after the input: a command that reads to its end must not wait for ever.
    retry([&] { return libssh2_channel_send_eof(channel); });

    QByteArray standardError;
    char buffer[kReadBlock];
    for (;;) {
        const ssize_t out = libssh2_channel_read(channel, buffer, sizeof buffer);
        if (out > 0) {
            result.output.append(buffer, out);
            continue;
        }
        const ssize_t err = libssh2_channel_read_stderr(channel, buffer, sizeof buffer);
        if (err > 0) {
            standardError.append(buffer, err);
            continue;
        }
        if (out != LIBSSH2_ERROR_EAGAIN && err != LIBSSH2_ERROR_EAGAIN)
            break; // end of file on both, or a read error
        if (!waitForSocket(session, socketDescriptor, deadline))
            return result; // given up at the deadline: not ok
    }
    result.output += standardError;
    retry([&] { return libssh2_channel_close(channel); });
    retry([&] { return libssh2_channel_wait_closed(channel); });
    result.ok = libssh2_channel_get_exit_status(channel) == 0;
    return result;
}

QString knownSshHostKey(const QString& host, quint16 port)
{
    return QSettings().value(QStringLiteral("%1/%2:%3").arg(kKnownHostsGroup, host.toLower()).arg(port)).toString();
}

void rememberSshHostKey(const QString& host, quint16 port, const QString& fingerprint)
{
    QSettings().setValue(QStringLiteral("%1/%2:%3").arg(kKnownHostsGroup, host.toLower()).arg(port), fingerprint);
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
                                     const QString& password, quint16 relayPort, const QString& installFolder,
                                     int deadlineMs, std::shared_ptr<HostKeyAnswer> hostKeyAnswer)
    : host(host), sshPort(sshPort), login(login), password(password), relayPort(relayPort),
      installFolder(installFolder.isEmpty() ? relay::localInstallFolder() : installFolder), deadlineMs(deadlineMs),
      hostKeyAnswer(std::move(hostKeyAnswer))
{
}

ProvisionRunnable::~ProvisionRunnable()
{
    closeSession();
}

void ProvisionRunnable::run()
{
    deadline.setRemainingTime(deadlineMs);
    provision();
}

void ProvisionRunnable::limitBlockingCalls()
{
    // 0 would mean no limit at all.
    libssh2_session_set_timeout(session, long(qMax<qint64>(deadline.remainingTime(), 1)));
}

bool ProvisionRunnable::checkHostKey()
{
    const char* digest = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA256);
    if (!digest) {
        fail(QStringLiteral("Ошибка SSH-рукопожатия: %1").arg(sshLastError(session)));
        return false;
    }
    const QString fingerprint = QStringLiteral("SHA256:")
                                + QString::fromLatin1(QByteArray(digest, 32).toBase64(QByteArray::OmitTrailingEquals));
    const QString known = knownSshHostKey(host, sshPort);
    if (known == fingerprint)
        return true;
    if (!known.isEmpty()) {
        fail(QStringLiteral("Ключ SSH-сервера %1:%2 изменился: сейчас %3, а подтверждён был %4. Возможна подмена "
                            "сервера — подключение прервано, пароль не отправлен.")
                 .arg(host, QString::number(sshPort), fingerprint, known));
        return false;
    }
    emit hostKeyUnknown(host, sshPort, fingerprint.mid(7));
    switch (hostKeyAnswer->wait(deadline)) {
    case HostKeyAnswer::Reply::Accepted:
        break;
    case HostKeyAnswer::Reply::Refused:
        fail(QStringLiteral("Ключ SSH-сервера не подтверждён — подключение прервано, пароль не отправлен."));
        return false;
    case HostKeyAnswer::Reply::Unanswered:
        // The server answered at once; it was the question that waited, and the user should know it
        // was not a hung server or installer.
        end(QStringLiteral("Установка прервана: ключ SSH-сервера %1:%2 не подтверждён за %3 с — вопрос о ключе "
                           "остался без ответа. Пароль не отправлен. Нажмите «Настроить сервер» ещё раз и "
                           "ответьте на вопрос о ключе.")
                .arg(host, QString::number(sshPort), QString::number(deadlineMs / 1000)));
        return false;
    }
    rememberSshHostKey(host, sshPort, fingerprint);
    return true;
}

bool ProvisionRunnable::provision()
{
    emit stepStarted(QStringLiteral("Подключение к %1:%2…").arg(host).arg(sshPort));
    socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(host, sshPort);
    if (!socket->waitForConnected(int(qMin<qint64>(kConnectTimeoutMs, qMax<qint64>(deadline.remainingTime(), 1))))) {
        fail(QStringLiteral("Не удалось подключиться к %1:%2 (%3)")
                 .arg(host)
                 .arg(sshPort)
                 .arg(connectFailureText(socket->error())));
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
    limitBlockingCalls();
    if (libssh2_session_handshake(session, libssh2_socket_t(socket->socketDescriptor())) != 0) {
        fail(QStringLiteral("Ошибка SSH-рукопожатия: %1").arg(sshLastError(session)));
        return false;
    }
    // The password goes only to a server whose key the user has accepted.
    if (!checkHostKey())
        return false;

    emit stepStarted(QStringLiteral("Аутентификация…"));
    const QByteArray user = login.toUtf8();
    const QByteArray secret = password.toUtf8();
    limitBlockingCalls();
    if (libssh2_userauth_password_ex(session, user.constData(), unsigned(user.size()), secret.constData(),
                                     unsigned(secret.size()), nullptr) != 0) {
        fail(QStringLiteral("Неверный логин или пароль (%1)").arg(sshLastError(session)));
        return false;
    }
    const qintptr descriptor = socket->socketDescriptor();

    emit stepStarted(QStringLiteral("Определение архитектуры сервера…"));
    const RemoteCommandResult uname = runRemoteCommand(session, descriptor, "uname -m", {}, deadline);
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
    const RemoteCommandResult mktemp =
        runRemoteCommand(session, descriptor, relay::privateFolderCommand().toUtf8(), {}, deadline);
    remoteFolder = mktemp.ok ? relay::privateFolderPath(QString::fromUtf8(mktemp.output)) : QString();
    if (remoteFolder.isEmpty()) {
        fail(QStringLiteral("Не удалось создать временную папку на сервере: %1").arg(QString::fromUtf8(mktemp.output)));
        return false;
    }
    limitBlockingCalls();
    LIBSSH2_SFTP* sftp = libssh2_sftp_init(session);
    if (!sftp) {
        fail(QStringLiteral("Не удалось открыть SFTP-канал: %1").arg(sshLastError(session)));
        return false;
    }
    QString uploadError;
    const bool uploaded =
        uploadFileOverSftp(sftp, installerPath, remoteFolder + QStringLiteral("/install.sh"), relay::remoteFileMode,
                           &uploadError) &&
        uploadFileOverSftp(sftp, programPath, remoteFolder + QLatin1Char('/') + programName, relay::remoteFileMode,
                           &uploadError);
    libssh2_sftp_shutdown(sftp);
    if (!uploaded) {
        fail(QStringLiteral("Не удалось скопировать файлы установки на сервер: %1").arg(uploadError));
        return false;
    }

    emit stepStarted(QStringLiteral("Установка и запуск сервиса на сервере (это может занять минуту)…"));
    // sudo reads the password from standard input ("-S") and prints no prompt ("-p ''").
    const QByteArray input = login == QLatin1String("root") ? QByteArray() : secret + '\n';
    const RemoteCommandResult install = runRemoteCommand(
        session, descriptor, relay::installerCommand(login, remoteFolder, relayPort).toUtf8(), input, deadline);
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
    if (session && !remoteFolder.isEmpty()) {
        // Even after the deadline the removal gets a short time of its own.
        runRemoteCommand(session, socket->socketDescriptor(), ("rm -rf -- " + remoteFolder).toUtf8(), {},
                         QDeadlineTimer(kCleanupMs));
        remoteFolder.clear();
    }
    if (session) {
        libssh2_session_set_timeout(session, kCleanupMs);
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
    end(deadline.hasExpired() ? QStringLiteral("Установка прервана: она не завершилась за %1 с — сервер не отвечает "
                                               "или установщик завис.")
                                    .arg(deadlineMs / 1000)
                              : message);
}

void ProvisionRunnable::end(const QString& message)
{
    closeSession();
    emit finished(false, message, QString(), 0, QString(), QString());
}
