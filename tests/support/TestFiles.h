#pragma once
// Small file helpers shared by tests that lay out fake installations, staging folders and images.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

namespace fixtures {

// Writes bytes to path, creating its folders; fails the running test when the file cannot be made.
inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Every file below root, hidden ones too, as sorted paths relative to it.
inline QStringList filesBelow(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

// The file's bytes, or "<missing>" when it cannot be read.
inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Replaces the file's bytes where it is, as a copy over it does (the same inode; keepTime: with its
// modification time kept, as a copy keeping times does), or by a new file renamed over it, as a
// synchronising tool does. Done once the file system's clock has moved on from the file's last change,
// which a change made by another program later than its indexing always has.
inline bool replaceFileBytes(const QString& path, const QByteArray& bytes, bool keepTime = false,
                             bool renamed = false)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before {};
    if (::stat(name.constData(), &before) != 0)
        return false;
    const QString clock = path + QStringLiteral(".clock");
    const auto notLater = [&before](const struct stat& now) {
        return now.st_ctim.tv_sec < before.st_ctim.tv_sec
            || (now.st_ctim.tv_sec == before.st_ctim.tv_sec && now.st_ctim.tv_nsec <= before.st_ctim.tv_nsec);
    };
    for (struct stat now = before; notLater(now);) {
        QFile probe(clock);
        if (!probe.open(QIODevice::WriteOnly) || probe.write("t", 1) != 1)
            return false;
        probe.close();
        if (::stat(QFile::encodeName(clock).constData(), &now) != 0)
            return false;
    }
    QFile::remove(clock);
    QFile f(renamed ? path + QStringLiteral(".part") : path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return false;
    f.close();
    if (renamed && std::rename(QFile::encodeName(f.fileName()).constData(), name.constData()) != 0)
        return false;
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    return !keepTime || ::utimensat(AT_FDCWD, name.constData(), times, 0) == 0;
}

} // namespace fixtures
