#pragma once

#include <QString>
#include <QUrl>

// Fixed facts of this build that the About, update and bug report dialogs share.

// The version text shown to the user and compared with the vendor's update file.
QString applicationVersionText();

// The vendor's web origin, scheme and host without a trailing slash (a configure-time value).
QString vendorOrigin();

// The address the bug report is mailed to (a configure-time value).
QString supportEmailAddress();

// Where the update check fetches "version.json": the root of the vendor's site, unless the
// environment variable KALVENOR_UPDATE_URL is set (the test wrapper sets it to "none" so that no test
// reaches the vendor; the update tests point it at their own loopback server). A value that is not an
// http or https address gives an empty URL, which turns the check off.
QUrl updateFileUrl();

// True for an https address on the vendor's own origin (same host and port, no user name): the only
// download pages the update check opens.
bool isVendorPageUrl(const QUrl& url);
