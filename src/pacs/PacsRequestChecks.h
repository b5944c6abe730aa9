#pragma once
// Checks for values that come from outside (a web page, a launch URL, PACS answers, remote peers)
// before they become folder names, network peers or text in a question to the user, and the
// managed folders that retrieves write into.

#include <QString>

namespace pacs {

// A DICOM UID: numeric components separated by single dots, at most 64 characters.
bool isValidDicomUid(const QString& uid);
// A host name or an IPv4/IPv6 address: letters, digits and . - _ : [ ] only, at most 253 characters.
bool isValidHost(const QString& host);
bool isValidPort(int port);
// 1 to 16 characters, not only spaces, no backslash and no control characters.
bool isValidAeTitle(const QString& aeTitle);

// "pacs_downloads" in the per-user application data folder, and "vavovivirur_temp" in the
// temporary folder (view-only retrieves).
QString pacsDownloadsRoot();
QString viewOnlyRoot();

// True when path, with links resolved, lies strictly below root.
bool isInsideRoot(const QString& path, const QString& root);
// Removes the folder with everything in it that is no link, but only when it lies strictly below root
// with links resolved; false otherwise, or when anything stayed.
bool removeTreeInside(const QString& path, const QString& root);

} // namespace pacs
