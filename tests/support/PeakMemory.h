#pragma once
// Peak resident memory of this test process, from Linux's own counters: a test that must show a
// reader staying small resets the peak, runs the reader, and compares the peak with where it began.

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>

namespace fixtures {

// The kernel's "VmHWM" (peak) or "VmRSS" (now) line of this process, in bytes; -1 when unreadable.
inline qint64 residentBytes(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+) kB").arg(QLatin1String(field)),
                                  QRegularExpression::MultilineOption);
    const auto match = line.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() * 1024 : -1;
}

// Starts a new peak at the present resident size; false where the kernel does not allow it.
inline bool resetPeakResidentMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace fixtures
