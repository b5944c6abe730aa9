#pragma once
// Folder and file names made from patient and series data travel on flash drives, discs and archives
// to other systems: they must name one ordinary folder or file on every one of them.

#include <QString>

// The patient's name and ID ("Без_имени" without a name) as one path component: blanks and the
// characters Windows refuses in names become "_", no control characters, no leading or trailing dots
// (a hidden folder on Unix, "." and ".." would name the parent), no reserved device name (CON, NUL,
// COM1 ...), at most 100 characters.
QString makeSafeFolderName(const QString& patientName, const QString& patientId);

// The file or folder name itself, or with "_" before it when Windows would open a device instead
// (CON, PRN, AUX, NUL, COM1 ... LPT9, in any letter case, also with an extension: "con.mp4").
QString withoutReservedDeviceName(const QString& name);
