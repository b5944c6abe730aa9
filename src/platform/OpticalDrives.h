#pragma once
// CD/DVD drives as the kernel lists them: a SCSI device of type 5 under /sys/block, or a name in
// /proc/sys/dev/cdrom/info. The system root is replaceable so that tests can use a fake tree.

#include <QString>
#include <QStringList>

namespace platform {

// Device names ("sr0", …) of the optical drives found below `systemRoot` ("/" normally).
QStringList opticalDriveNames(const QString& systemRoot = QStringLiteral("/"));

// The root that the program's own drive checks use; "/" unless a test has set another.
QString systemRoot();
void setSystemRoot(const QString& root);

} // namespace platform
