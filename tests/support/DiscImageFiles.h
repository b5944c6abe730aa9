#pragma once
// Reads back a written ISO 9660 disc image with libarchive, so tests check what a reader of the
// disc would see (Rock Ridge / Joliet names). Header-only: only the tests that burn images pull in
// libarchive.

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace fixtures {

// Every regular file of the image with its content; an unreadable image gives one "<unreadable>"
// entry holding libarchive's error.
inline QMap<QString, QByteArray> imageFiles(const QString& image)
{
    QMap<QString, QByteArray> out;
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(), &archive_read_free);
    archive_read_support_format_iso9660(reader.get());
    if (archive_read_open_filename(reader.get(), QFile::encodeName(image).constData(), 65536) != ARCHIVE_OK)
        return {{QStringLiteral("<unreadable>"), QByteArray(archive_error_string(reader.get()))}};
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        if (archive_entry_filetype(entry) != AE_IFREG)
            continue;
        QString name = QString::fromUtf8(archive_entry_pathname_utf8(entry));
        if (name.startsWith(QLatin1String("./")))
            name = name.mid(2);
        QByteArray content(archive_entry_size(entry), '\0');
        archive_read_data(reader.get(), content.data(), size_t(content.size()));
        out.insert(name, content);
    }
    return out;
}

} // namespace fixtures
