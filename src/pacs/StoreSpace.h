#pragma once
// Free space where retrieved objects are written. A retrieve does not start, and an object is not
// written, when the store's file system is down to its reserve: the disk is then named as the cause,
// not the server.

#include <QString>
#include <QtGlobal>

#include <functional>

namespace pacs {

// The same reserve the archive import keeps.
constexpr qint64 kStoreFreeSpaceReserve = 256ll * 1024 * 1024;

// Bytes free for this process on the file system of `folder` (or of its nearest existing parent);
// -1 when that cannot be told.
qint64 storeFreeBytes(const QString& folder);
// True when the file system of `folder` is known to hold less than the reserve.
bool storeBelowReserve(const QString& folder);

// Tests stand in for the file system with a probe of their own; an empty one restores the real one.
void setStoreFreeSpaceProbe(std::function<qint64(const QString& folder)> probe);

// "Недостаточно места на локальном диске (<folder>)…", with how many of the objects sent were kept;
// `sent` below 0: before anything was asked for.
QString localDiskFullText(const QString& folder, int arrived, int sent);

} // namespace pacs
