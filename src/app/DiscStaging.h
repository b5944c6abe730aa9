#pragma once
// The texts and sizes of a disc's staging folder.

#include <QString>

// Sum of the sizes of all regular files below the folder (links to folders are not followed); the sum
// gathered so far when the walk fails, 0 when the folder cannot be opened.
qint64 folderSize(const QString& folder);

// What the program-folder copy of a portable folder takes: the top-level entries that a viewer copy
// carries, folders by their folderSize.
qint64 viewerCopySize();

// "ПРОЧТИ.txt" (UTF-8 without byte-order mark) and "autorun.inf" (UTF-16 LE with byte-order mark) of
// the disc, lines ended by CR LF.
QByteArray discReadmeText(bool includesMac);
QByteArray autorunText(const QString& volumeLabel);
