#pragma once
// What this workstation fixes of the relay program it installs on a Linux server and then talks to:
// the installation files next to the program, the installer's command line and output lines, and the
// tunnel address both workstations open. The relay itself is a separate program.

#include <QString>
#include <QUrl>

namespace relay {

// Folder "relay" next to the program, the installer in it and one program file per architecture.
QString localInstallFolder();
QString installerFileName();                              // "install.sh"
QString programFileName(const QString& architecture);     // "kalvenor-relay-linux-%1"
QString remoteWorkFolder();                               // "/tmp/kalvenor-relay-install"
constexpr int remoteFileMode = 0755;

// "amd64" or "arm64" for the answer of "uname -m" (exact, case-sensitive); empty for anything else.
QString architectureFromUname(const QString& unameOutput);

// The installer run by bash from the remote work folder: plain for the login "root", through sudo
// reading the password from standard input for every other login.
QString installerCommand(const QString& login, int relayPort);

// The value after `prefix` on the last line of `output` that starts with it once trimmed; empty when
// no line does. A key printed twice counts by its last line.
QString outputValue(const QString& output, const QString& prefix);

struct InstallerResult
{
    bool ok = false; // token and fingerprint present and the port a decimal number
    QString token;
    QString certFingerprint;
    int port = 0;
};
// Reads the "TOKEN=", "CERT_FINGERPRINT_SHA256=" and "PORT=" lines of the installer's output.
InstallerResult parseInstallerOutput(const QString& output);

// wss://host:port/tunnel?id=…&token=… with the query items percent-encoded.
QUrl tunnelUrl(const QString& host, int port, const QString& id, const QString& token);

} // namespace relay
