#pragma once
// The settings file holds the remote-access connection values (the end-to-end secret, the relay token
// and the certificate pin): together they are the whole connection code, and anyone who reads them can
// browse the archive and use the host's PACS servers. So the file is kept to its owner (mode 0600, its
// folder 0700), whatever the umask made of it and also when it already exists with other rights.

#include <QString>

class QSettings;

// Creates the settings file empty when it is missing and narrows its rights and its folder's; call it
// before the values are written, so that they never stand in a file others can read. False when the
// rights cannot be set, with the cause in `error` (a sentence for the user).
bool keepSettingsFilePrivate(const QSettings& settings, QString* error = nullptr);

// Narrows the settings file (as keepSettingsFilePrivate) when it holds any remote-access connection
// value: the hosting side's, the remote browser's last connection or its saved servers. True when there
// is none or the rights are set.
bool keepConnectionSettingsPrivate(QString* error = nullptr);
