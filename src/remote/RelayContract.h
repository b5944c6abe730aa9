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
constexpr int remoteFileMode = 0755;

// Makes a private folder (mode 700) for the installation files on the server and prints its path: a
// shared, predictable folder could be prepared by another user of the server before the installer
// runs as root from it.
QString privateFolderCommand();
// The printed path, checked before it goes into further commands: absolute, and only characters that
// a shell takes literally. Empty when it is anything else.
QString privateFolderPath(const QString& mktempOutput);

// "amd64" or "arm64" for the answer of "uname -m" (exact, case-sensitive); empty for anything else.
QString architectureFromUname(const QString& unameOutput);

// The installer run by bash from the private folder: plain for the login "root", through sudo reading
// the password from standard input for every other login.
QString installerCommand(const QString& login, const QString& folder, int relayPort);

// The value after `prefix` on the last line of `output` that starts with it once trimmed; empty when
// no line does. A key printed twice counts by its last line.
QString outputValue(const QString& output, const QString& prefix);

struct InstallerResult
{
    // A port of 1-65535, a token without white space and a SHA-256 fingerprint of 64 hexadecimal
    // digits (colons between the pairs allowed).
    bool ok = false;
    QString token;
    QString certFingerprint;
    int port = 0;
};
// Reads the "TOKEN=", "CERT_FINGERPRINT_SHA256=" and "PORT=" lines of the installer's output.
InstallerResult parseInstallerOutput(const QString& output);

// wss://host:port/tunnel?id=…&token=… with the query items percent-encoded.
QUrl tunnelUrl(const QString& host, int port, const QString& id, const QString& token);

} // namespace relay
