#include "platform/FreeNameWrite.h"

#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

namespace platform {

QString writeUnderFreeName(const QString& target, const std::function<bool(const QString& partial)>& write,
                           QString* why)
{
    const QFileInfo place(target);
    QTemporaryFile partial(place.absoluteDir().filePath(place.fileName() + QStringLiteral(".XXXXXX.part")));
    partial.setAutoRemove(false);
    if (!partial.open()) {
        if (why)
            *why = partial.errorString();
        return {};
    }
    // As a file made under its own name would be: others may read it (a temporary file is the owner's alone).
    partial.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                           | QFileDevice::ReadOther);
    partial.close();
    const QString partialPath = partial.fileName();
    const OwnFileDoor door({place.absolutePath()});
    const bool keep = write(partialPath);
    // The writer may have put a file of its own there in place of the empty one.
    const FileId made = FileId::of(partialPath);
    QString placed;
    if (keep) {
        const QString name = place.fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString suffix = dot > 0 ? name.mid(dot) : QString();
        placed = door.renameToFreeName(partialPath, made, place.absoluteDir().filePath(name.chopped(suffix.size())),
                                       suffix, why);
    }
    if (placed.isEmpty())
        door.remove(partialPath, OwnProof::made(made));
    return placed;
}

} // namespace platform
