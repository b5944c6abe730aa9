// Archive import: ZIP through libzip and 7z through libarchive, with archives written here by the same
// libraries: nested and Cyrillic names, non-DICOM entries, duplicates, "../" names, truncated and
// corrupt archives, and an archive that expands far beyond its size.
#include "dicom/CodecRegistration.h"
#include "support/DicomFixtures.h"
#include "support/TestFiles.h"
#include "dicom/DicomNesting.h"
#include "dicom/ZipImportWorker.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>
#include <zip.h>

#include <memory>

namespace {

struct Entry
{
    QString name;
    QByteArray data;
    bool folder = false;
    bool encrypted = false;
    int method = ZIP_CM_DEFLATE; // ZIP only
};

enum class Format { ZipDeflate, ZipStore, SevenZip };

// What is wrong with an entry that must be left out while its neighbours are imported.
enum OddEntry { BadName, Encrypted, LongerThanDeclared, ShorterThanDeclared, Bomb, NestedPixelData };

void writeZip(const QString& path, const QList<Entry>& entries, bool deflate = true)
{
    int error = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    QVERIFY2(archive, qPrintable(QString::number(error)));
    for (const Entry& entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        if (entry.folder) {
            QVERIFY(zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8) >= 0);
            continue;
        }
        // libzip reads the buffer at zip_close, so it keeps its own copy; it takes no buffer for an
        // empty entry (it would never free it).
        void* copy = entry.data.isEmpty() ? nullptr : malloc(size_t(entry.data.size()));
        if (copy)
            memcpy(copy, entry.data.constData(), size_t(entry.data.size()));
        zip_source_t* source = zip_source_buffer(archive, copy, zip_uint64_t(entry.data.size()), copy ? 1 : 0);
        QVERIFY(source);
        const zip_int64_t index = zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8);
        QVERIFY2(index >= 0, zip_strerror(archive));
        zip_set_file_compression(archive, zip_uint64_t(index), deflate ? entry.method : ZIP_CM_STORE, 0);
        if (entry.encrypted)
            QCOMPARE(zip_file_set_encryption(archive, zip_uint64_t(index), ZIP_EM_AES_256, "пароль"), 0);
    }
    QVERIFY2(zip_close(archive) == 0, zip_strerror(archive));
}

void write7z(const QString& path, const QList<Entry>& entries)
{
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
    QCOMPARE(archive_write_set_format_7zip(writer.get()), ARCHIVE_OK);
    QCOMPARE(archive_write_open_filename(writer.get(), QFile::encodeName(path).constData()), ARCHIVE_OK);
    for (const Entry& e : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), e.name.toUtf8().constData());
        archive_entry_set_filetype(entry.get(), e.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), e.folder ? 0755 : 0644);
        archive_entry_set_size(entry.get(), e.folder ? 0 : e.data.size());
        QCOMPARE(archive_write_header(writer.get(), entry.get()), ARCHIVE_OK);
        if (!e.folder)
            QCOMPARE(archive_write_data(writer.get(), e.data.constData(), size_t(e.data.size())), la_ssize_t(e.data.size()));
    }
    QCOMPARE(archive_write_close(writer.get()), ARCHIVE_OK);
}

void writeArchive(const QString& path, Format format, const QList<Entry>& entries)
{
    if (format == Format::SevenZip)
        write7z(path, entries);
    else
        writeZip(path, entries, format == Format::ZipDeflate);
}

QString suffixOf(Format format)
{
    return format == Format::SevenZip ? QStringLiteral(".7z") : QStringLiteral(".zip");
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Outcome
{
    int imported = -1;
    int skipped = -1;
    QString message;
    QList<dicom::DicomFileSummary> found;
    QList<int> progress;
};

// Runs the worker on a thread of its own, wired the way the study list wires it.
Outcome runWorker(const QString& archive, const QString& target, qint64 reserve = dicom::ZipImportWorker::kDefaultFreeSpaceReserve,
                  dicom::ZipImportWorker::FreeSpaceProbe probe = {})
{
    Outcome outcome;
    auto* thread = new QThread;
    thread->setStackSize(dicom::kParsingThreadStackSize); // as the study list runs it
    auto* worker = new dicom::ZipImportWorker(archive, target);
    worker->setFreeSpaceReserve(reserve);
    if (probe)
        worker->setFreeSpaceProbe(std::move(probe));
    worker->moveToThread(thread);
    QObject context;
    QObject::connect(thread, &QThread::started, worker, &dicom::ZipImportWorker::run);
    QObject::connect(worker, &dicom::ZipImportWorker::fileFound, &context,
                     [&](const dicom::DicomFileSummary& s) { outcome.found << s; });
    QObject::connect(worker, &dicom::ZipImportWorker::progress, &context, [&](int n) { outcome.progress << n; });
    QObject::connect(worker, &dicom::ZipImportWorker::finished, &context, [&](int imported, int skipped, const QString& message) {
        outcome.imported = imported;
        outcome.skipped = skipped;
        outcome.message = message;
    });
    QObject::connect(worker, &dicom::ZipImportWorker::finished, thread, &QThread::quit);
    QObject::connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    thread->start();
    QElapsedTimer timer;
    timer.start();
    while (!thread->isFinished() && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    thread->wait();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete thread;
    return outcome;
}

} // namespace

class ZipImportWorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void folderTwoDicomAndText_data();
    void folderTwoDicomAndText();
    void mixedArchive_data();
    void mixedArchive();
    void secondImportCopiesNothing();
    void archiveKindByExtension_data();
    void archiveKindByExtension();
    void truncatedArchive_data();
    void truncatedArchive();
    void corruptEntry_data();
    void corruptEntry();
    void expandingArchive_data();
    void expandingArchive();
    void entriesLeftOut_data();
    void entriesLeftOut();
    void storeThatCannotBeWritten_data();
    void storeThatCannotBeWritten();

private:
    QByteArray dicomBytes(const QString& seriesUid = {}, int slice = 0);
    // Every stored file is whole: byte-identical to one of the sources.
    void verifyStoreHoldsOnly(const QString& target, const QList<QByteArray>& sources, int expectedFiles);

    QTemporaryDir m_dir;
    std::optional<dicom::CodecRegistrationScope> m_codecs;
    int m_counter = 0;
};

void ZipImportWorkerTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    dicom::registerMetaTypes();
    m_codecs.emplace();
}

QByteArray ZipImportWorkerTest::dicomBytes(const QString& seriesUid, int slice)
{
    fixtures::SeriesLayout layout;
    layout.rows = 16;
    layout.columns = 16;
    layout.slices = slice + 1;
    layout.seriesUid = seriesUid;
    const QString path = m_dir.filePath(QStringLiteral("src/%1.dcm").arg(++m_counter));
    return readAll(fixtures::writeSlice(path, layout, slice));
}

void ZipImportWorkerTest::verifyStoreHoldsOnly(const QString& target, const QList<QByteArray>& sources, int expectedFiles)
{
    const QStringList stored = fixtures::filesBelow(target);
    QCOMPARE(stored.size(), expectedFiles);
    static const QRegularExpression layout(QStringLiteral("^[0-9a-f]{32}/[0-9a-f]{32}\\.dcm$"));
    for (const QString& relative : stored) {
        QVERIFY2(layout.match(relative).hasMatch(), qPrintable(relative));
        QVERIFY2(sources.contains(readAll(QDir(target).filePath(relative))), qPrintable(relative));
    }
}

void ZipImportWorkerTest::folderTwoDicomAndText_data()
{
    QTest::addColumn<bool>("textFirst");
    QTest::addColumn<QList<int>>("progress");
    QTest::newRow("text last") << false << QList<int>{1, 2};
    QTest::newRow("text first") << true << QList<int>{2, 3};
}

void ZipImportWorkerTest::folderTwoDicomAndText()
{
    QFETCH(bool, textFirst);
    QFETCH(QList<int>, progress);
    const Entry text{QStringLiteral("readme.txt"), "just text"};
    const QByteArray a = dicomBytes();
    const QByteArray b = dicomBytes();
    QList<Entry> entries{{QStringLiteral("study/"), {}, true}};
    if (textFirst)
        entries << text;
    entries << Entry{QStringLiteral("study/a.dcm"), a} << Entry{QStringLiteral("study/b.dcm"), b};
    if (!textFirst)
        entries << text;
    const QString archive = m_dir.filePath(QStringLiteral("basic_%1.zip").arg(textFirst));
    writeZip(archive, entries);
    const QString target = m_dir.filePath(QStringLiteral("store_basic_%1").arg(textFirst));

    const Outcome outcome = runWorker(archive, target);
    QCOMPARE(outcome.imported, 2);
    QCOMPARE(outcome.skipped, 1);
    QCOMPARE(outcome.message, QString());
    QCOMPARE(outcome.found.size(), 2);
    QCOMPARE(outcome.progress, progress);
    for (const auto& summary : outcome.found) {
        const QString expected = QDir(target).filePath(dicom::ZipImportWorker::storeName(summary.seriesInstanceUid) + QLatin1Char('/')
                                                       + dicom::ZipImportWorker::storeName(summary.sopInstanceUid) + QLatin1String(".dcm"));
        QCOMPARE(summary.filePath, expected);
    }
    verifyStoreHoldsOnly(target, {a, b}, 2);
}

void ZipImportWorkerTest::mixedArchive_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("ZIP deflate") << int(Format::ZipDeflate);
    QTest::newRow("ZIP stored") << int(Format::ZipStore);
    QTest::newRow("7z") << int(Format::SevenZip);
}

void ZipImportWorkerTest::mixedArchive()
{
    QFETCH(int, format);
    const QString series = fixtures::newUid();
    QList<QByteArray> sources;
    for (int i = 0; i < 5; ++i)
        sources << dicomBytes(series, i);
    const QByteArray other = dicomBytes();
    sources << other;

    const QList<Entry> entries{
        {QStringLiteral("Пациенты/"), {}, true},
        {QStringLiteral("Пациенты/Иванов Пётр/КТ грудной клетки/"), {}, true},
        {QStringLiteral("Пациенты/Иванов Пётр/КТ грудной клетки/срез 1.dcm"), sources[0]},
        {QStringLiteral("Пациенты/Иванов Пётр/КТ грудной клетки/срез 2"), sources[1]},
        {QStringLiteral("a/b/c/d/e/f/IMG3"), sources[2]},
        {QStringLiteral("../escaped.dcm"), sources[3]},
        {QStringLiteral("../../../../escaped deeper.dcm"), sources[4]},
        {QStringLiteral("/absolute/escaped.dcm"), other},
        {QStringLiteral("копии/дубль среза 1.dcm"), sources[0]}, // the same instance a second time
        {QStringLiteral("описание.txt"), "Исследование"},
        {QStringLiteral("../escaped.txt"), "not an image"},
        {QStringLiteral("DICOMDIR"), QByteArray(132, '\0')},
        {QStringLiteral("пусто.dcm"), QByteArray()},
    };
    const QString archive = m_dir.filePath(QStringLiteral("mixed/архив %1").arg(format) + suffixOf(Format(format)));
    QDir().mkpath(QFileInfo(archive).absolutePath());
    writeArchive(archive, Format(format), entries);
    const QString target = m_dir.filePath(QStringLiteral("store_mixed_%1").arg(format));
    const QString tmpRoot = QDir::tempPath();
    const QStringList tmpBefore = QDir(tmpRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const Outcome outcome = runWorker(archive, target);
    QCOMPARE(outcome.message, QString());
    QCOMPARE(outcome.imported, 7); // six instances, one of them twice
    QCOMPARE(outcome.skipped, 4);
    QCOMPARE(outcome.found.size(), 7);
    QCOMPARE(outcome.progress.size(), 7);
    QCOMPARE(outcome.progress.last(), 7); // the non-DICOM entries come after the last stored file
    verifyStoreHoldsOnly(target, sources, 6);
    for (const auto& summary : outcome.found)
        QVERIFY(summary.filePath.startsWith(target + QLatin1Char('/')) && QFileInfo::exists(summary.filePath));

    // Nothing landed outside the temporary folder, which is gone again.
    QCOMPARE(QDir(tmpRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tmpBefore);
    QDirIterator it(QDir::rootPath() == tmpRoot ? m_dir.path() : tmpRoot, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        QVERIFY2(!it.next().contains(QLatin1String("escaped")), qPrintable(it.filePath()));
    QVERIFY(!QFileInfo::exists(QStringLiteral("/absolute/escaped.dcm")));
}

void ZipImportWorkerTest::secondImportCopiesNothing()
{
    const QList<QByteArray> sources{dicomBytes(), dicomBytes(), dicomBytes()};
    const QString archive = m_dir.filePath(QStringLiteral("twice.7z"));
    write7z(archive, {{QStringLiteral("1.dcm"), sources[0]}, {QStringLiteral("2.dcm"), sources[1]}, {QStringLiteral("3.dcm"), sources[2]}});
    const QString target = m_dir.filePath(QStringLiteral("store_twice"));
    const Outcome first = runWorker(archive, target);
    QCOMPARE(first.imported, 3);

    const QDateTime old = QDateTime::fromSecsSinceEpoch(946684800);
    for (const QString& relative : fixtures::filesBelow(target)) {
        QFile file(QDir(target).filePath(relative));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }
    const Outcome second = runWorker(archive, target);
    QCOMPARE(second.imported, 3);
    QCOMPARE(second.skipped, 0);
    QCOMPARE(second.message, QString());
    QStringList firstPaths, secondPaths;
    for (const auto& s : first.found)
        firstPaths << s.filePath;
    for (const auto& s : second.found)
        secondPaths << s.filePath;
    firstPaths.sort();
    secondPaths.sort();
    QCOMPARE(secondPaths, firstPaths);
    for (const QString& relative : fixtures::filesBelow(target))
        QCOMPARE(QFileInfo(QDir(target).filePath(relative)).lastModified(), old); // not copied again

    // A file nobody lists under a copy's name, of the same object in other bytes (its last pixel
    // changed): the archive's copy goes beside it, once, however often the archive comes again.
    const QString changed = secondPaths.first();
    QByteArray bytes = readAll(changed);
    bytes.back() = char(bytes.back() ^ 0x5a);
    fixtures::writeBytes(changed, bytes);
    for (int round = 0; round < 2; ++round) {
        const Outcome again = runWorker(archive, target);
        QCOMPARE(again.imported, 3);
        QCOMPARE(fixtures::filesBelow(target).size(), 4);
        QCOMPARE(readAll(changed), bytes);
        const QString beside = changed.chopped(4) + QStringLiteral("_1.dcm");
        bool besideFound = false;
        for (const auto& s : again.found)
            besideFound = besideFound || s.filePath == beside;
        QVERIFY(besideFound);
    }
}

void ZipImportWorkerTest::archiveKindByExtension_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("message");
    QTest::newRow(".7Z is read as 7z") << "upper.7Z" << int(Format::SevenZip) << QString();
    QTest::newRow(".ZIP") << "upper.ZIP" << int(Format::ZipDeflate) << QString();
    QTest::newRow("no extension is tried as ZIP") << "noext" << int(Format::ZipDeflate) << QString();
    // libzip's number comes with its own words.
    QTest::newRow(".rar is tried as ZIP") << "other.rar" << -1 << "Не удалось открыть ZIP-архив (код ошибки libzip: 19 — N";
    QTest::newRow("7z content named .zip") << "seven.zip" << int(Format::SevenZip)
                                           << "Не удалось открыть ZIP-архив (код ошибки libzip: 19 — N";
    QTest::newRow("ZIP content named .7z") << "zipped.7z" << int(Format::ZipDeflate) << "Не удалось открыть 7z-архив: ";
    QTest::newRow("missing archive") << "missing.zip" << -2 << "Не удалось открыть ZIP-архив (код ошибки libzip: 9 — N";
}

void ZipImportWorkerTest::archiveKindByExtension()
{
    QFETCH(QString, name);
    QFETCH(int, format);
    QFETCH(QString, message);
    const QString archive = m_dir.filePath(QStringLiteral("kind/") + name);
    QDir().mkpath(QFileInfo(archive).absolutePath());
    const QByteArray dicom = dicomBytes();
    if (format == -1)
        fixtures::writeBytes(archive, QByteArray("Rar!\x1a\x07\x00", 7) + QByteArray(500, 'r'));
    else if (format >= 0)
        writeArchive(archive, Format(format), {{QStringLiteral("x.dcm"), dicom}});
    const QString target = m_dir.filePath(QStringLiteral("store_kind_") + name);
    const Outcome outcome = runWorker(archive, target);
    if (message.isEmpty()) {
        QCOMPARE(outcome.message, QString());
        QCOMPARE(outcome.imported, 1);
    } else {
        QVERIFY2(outcome.message.startsWith(message), qPrintable(outcome.message));
        QCOMPARE(outcome.imported, 0);
        QCOMPARE(outcome.skipped, 0);
        QCOMPARE(fixtures::filesBelow(target), QStringList());
    }
}

void ZipImportWorkerTest::truncatedArchive_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("percent");
    QTest::newRow("ZIP at 60%") << int(Format::ZipStore) << 60;
    QTest::newRow("ZIP without its last bytes") << int(Format::ZipDeflate) << 98;
    QTest::newRow("7z at 60%") << int(Format::SevenZip) << 60;
    QTest::newRow("7z without its last bytes") << int(Format::SevenZip) << 98;
}

void ZipImportWorkerTest::truncatedArchive()
{
    QFETCH(int, format);
    QFETCH(int, percent);
    QList<QByteArray> sources;
    QList<Entry> entries;
    for (int i = 0; i < 6; ++i) {
        sources << dicomBytes();
        entries << Entry{QStringLiteral("f%1.dcm").arg(i), sources.last()};
    }
    const QString whole = m_dir.filePath(QStringLiteral("whole_%1_%2").arg(format).arg(percent) + suffixOf(Format(format)));
    writeArchive(whole, Format(format), entries);
    const QString cut = m_dir.filePath(QStringLiteral("cut_%1_%2").arg(format).arg(percent) + suffixOf(Format(format)));
    fixtures::writeTruncatedCopy(whole, cut, QFileInfo(whole).size() * percent / 100);
    const QString target = m_dir.filePath(QStringLiteral("store_cut_%1_%2").arg(format).arg(percent));

    const Outcome outcome = runWorker(cut, target);
    QVERIFY2(outcome.message.startsWith(QStringLiteral("Не удалось открыть")) || outcome.message.contains(QStringLiteral("повреждён")),
             qPrintable(outcome.message));
    QVERIFY(outcome.imported < 6);
    verifyStoreHoldsOnly(target, sources, outcome.imported);
}

void ZipImportWorkerTest::corruptEntry_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("ZIP deflate") << int(Format::ZipDeflate);
    QTest::newRow("ZIP stored") << int(Format::ZipStore);
    QTest::newRow("7z") << int(Format::SevenZip);
}

void ZipImportWorkerTest::corruptEntry()
{
    QFETCH(int, format);
    QList<QByteArray> sources;
    QList<Entry> entries;
    for (int i = 0; i < 3; ++i) {
        fixtures::SeriesLayout layout;
        layout.rows = 64;
        layout.columns = 64;
        sources << readAll(fixtures::writeSlice(m_dir.filePath(QStringLiteral("src/corrupt_%1_%2.dcm").arg(format).arg(i)), layout, 0));
        entries << Entry{QStringLiteral("f%1.dcm").arg(i), sources.last()};
    }
    const QString archive = m_dir.filePath(QStringLiteral("corrupt_%1").arg(format) + suffixOf(Format(format)));
    writeArchive(archive, Format(format), entries);
    QByteArray bytes = readAll(archive);
    if (Format(format) == Format::SevenZip) {
        // Packed streams follow the 32-byte signature header; damage the middle of them.
        const qint64 packedEnd = 32 + qFromLittleEndian<qint64>(bytes.constData() + 12);
        for (qint64 i = packedEnd / 2; i < packedEnd / 2 + 16; ++i)
            bytes[i] = char(bytes[i] ^ 0x5A);
    } else {
        // The data of the second entry: after its local header (30 bytes, name, extra field).
        const qsizetype header = bytes.indexOf(QByteArray("PK\x03\x04", 4), 4);
        QVERIFY(header > 0);
        const int nameLength = qFromLittleEndian<quint16>(bytes.constData() + header + 26);
        const int extraLength = qFromLittleEndian<quint16>(bytes.constData() + header + 28);
        const quint32 packedSize = qFromLittleEndian<quint32>(bytes.constData() + header + 18);
        const qsizetype data = header + 30 + nameLength + extraLength;
        for (qsizetype i = data + packedSize / 2; i < data + packedSize / 2 + 16; ++i)
            bytes[i] = char(bytes[i] ^ 0x5A);
    }
    fixtures::writeBytes(archive, bytes);
    const QString target = m_dir.filePath(QStringLiteral("store_corrupt_%1").arg(format));

    const Outcome outcome = runWorker(archive, target);
    // Damaged deflate data may also inflate to more than the entry declares: then it is refused by
    // name, as an entry of the wrong size, and counted as skipped.
    const bool refused = outcome.message.contains(QStringLiteral("«f1.dcm»"));
    QVERIFY2(refused || outcome.message.contains(QStringLiteral("Архив повреждён")), qPrintable(outcome.message));
    if (!refused)
        QVERIFY2(outcome.message.contains(QStringLiteral("Импортировано файлов: %1.").arg(outcome.imported)),
                 qPrintable(outcome.message));
    if (Format(format) != Format::SevenZip) {
        QCOMPARE(outcome.imported, 2);             // the entries around the damaged one are whole
        QCOMPARE(outcome.skipped, refused ? 1 : 0); // a partial file was removed, not skipped
    }
    verifyStoreHoldsOnly(target, sources, outcome.imported);
}

void ZipImportWorkerTest::expandingArchive_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("ZIP") << int(Format::ZipDeflate);
    QTest::newRow("7z") << int(Format::SevenZip);
}

void ZipImportWorkerTest::expandingArchive()
{
    QFETCH(int, format);
    // 64 MiB of zeros pack into a few kilobytes.
    const QList<Entry> entries{{QStringLiteral("a.dcm"), dicomBytes()},
                               {QStringLiteral("bomb.bin"), QByteArray(64 * 1024 * 1024, '\0')},
                               {QStringLiteral("b.dcm"), dicomBytes()}};
    const QString archive = m_dir.filePath(QStringLiteral("bomb_%1").arg(format) + suffixOf(Format(format)));
    writeArchive(archive, Format(format), entries);
    QVERIFY(QFileInfo(archive).size() < 2 * 1024 * 1024);
    const QString target = m_dir.filePath(QStringLiteral("store_bomb_%1").arg(format));
    QDir().mkpath(target);

    // A nearly full disk: 8 MiB free above the reserve, whatever other programs do meanwhile.
    constexpr qint64 reserve = 16ll * 1024 * 1024;
    const auto nearlyFull = [](const QString&) { return reserve + 8ll * 1024 * 1024; };
    const QStringList tmpBefore = QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const Outcome outcome = runWorker(archive, target, reserve, nearlyFull);
    QVERIFY2(outcome.message.startsWith(QStringLiteral("Недостаточно места на диске для распаковки архива")), qPrintable(outcome.message));
    QCOMPARE(outcome.imported, 0);
    QCOMPARE(outcome.found.size(), 0);
    QCOMPARE(fixtures::filesBelow(target), QStringList());
    QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tmpBefore);

    // A store already inside its reserve takes nothing, before anything is unpacked.
    const Outcome full = runWorker(archive, target, reserve, [](const QString&) { return reserve - 1; });
    QVERIFY2(full.message.startsWith(QStringLiteral("Недостаточно места в хранилище для импорта")), qPrintable(full.message));
    QCOMPARE(full.imported, 0);
    QCOMPARE(fixtures::filesBelow(target), QStringList());

    // With room to spare the same archive imports, the filler is skipped.
    const Outcome roomy = runWorker(archive, target, 0);
    QCOMPARE(roomy.message, QString());
    QCOMPARE(roomy.imported, 2);
    QCOMPARE(roomy.skipped, 1);
}

void ZipImportWorkerTest::entriesLeftOut_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("odd");      // what is wrong with the middle entry
    QTest::addColumn<int>("imported"); // of the two whole DICOM entries around it
    QTest::addColumn<QStringList>("said");
    const int zip = int(Format::ZipDeflate);
    const QString entry = QStringLiteral("«середина.dcm»");
    QTest::newRow("name not UTF-8") << zip << int(BadName) << 2 << QStringList{"UTF-8: 1."};
    QTest::newRow("encrypted") << zip << int(Encrypted) << 2 << QStringList{"зашифрованных записей архива: 1", entry};
    QTest::newRow("longer than declared") << zip << int(LongerThanDeclared) << 2 << QStringList{entry, "размер"};
    QTest::newRow("shorter than declared") << zip << int(ShorterThanDeclared) << 2 << QStringList{entry, "размер"};
    QTest::newRow("ZIP bomb") << zip << int(Bomb) << 2 << QStringList{entry, "1000"};
    // Reading past a 7z bomb means unpacking it: what follows it is left.
    QTest::newRow("7z bomb") << int(Format::SevenZip) << int(Bomb) << 1 << QStringList{entry, "1000", "после неё"};
    // Pixel Data as a sequence 12 000 levels deep: a ZIP of a few kilobytes.
    QTest::newRow("nested Pixel Data") << zip << int(NestedPixelData) << 2 << QStringList{};
    QTest::newRow("7z, nested Pixel Data") << int(Format::SevenZip) << int(NestedPixelData) << 2 << QStringList{};
}

void ZipImportWorkerTest::entriesLeftOut()
{
    QFETCH(int, format);
    QFETCH(int, odd);
    QFETCH(int, imported);
    QFETCH(QStringList, said);
    const QList<QByteArray> sources{dicomBytes(), dicomBytes(), dicomBytes()};
    // "X" marks a byte that is patched below; the name is not ASCII, so it is stored as UTF-8.
    Entry middle{QStringLiteral("середина.dcm"), sources[1]};
    if (odd == BadName)
        middle.name = QStringLiteral("середина_X.dcm");
    middle.encrypted = odd == Encrypted;
    if (odd == Bomb) {
        middle.data = QByteArray(80 * 1024 * 1024, '\0');
        middle.method = ZIP_CM_BZIP2; // far beyond 1000:1, where deflate stops just above it
    }
    if (odd == NestedPixelData)
        middle.data = readAll(fixtures::writeNestedPixelData(m_dir.filePath(QStringLiteral("src/nested.dcm")), 12000, "SQ"));
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString archive = m_dir.filePath(QStringLiteral("left_out_") + tag + suffixOf(Format(format)));
    writeArchive(archive, Format(format),
                 {{QStringLiteral("a.dcm"), sources[0]}, middle, {QStringLiteral("b.dcm"), sources[2]}});
    if (odd == BadName) {
        QByteArray bytes = readAll(archive);
        QCOMPARE(bytes.count("_X.dcm"), 2); // local header and central directory
        bytes.replace("_X.dcm", "_\xff.dcm");
        fixtures::writeBytes(archive, bytes);
    } else if (odd == LongerThanDeclared || odd == ShorterThanDeclared) {
        // The size the archive declares, in the local header and in the central directory.
        QByteArray bytes = readAll(archive);
        const quint32 lie = odd == LongerThanDeclared ? 100 : quint32(sources[1].size() + 100);
        for (const QByteArray& signature : {QByteArray("PK\x03\x04", 4), QByteArray("PK\x01\x02", 4)}) {
            const qsizetype header = bytes.indexOf(signature, bytes.indexOf(signature) + 4); // the second entry
            qToLittleEndian(lie, bytes.data() + header + (signature[2] == 3 ? 22 : 24));
        }
        fixtures::writeBytes(archive, bytes);
    }
    const QString target = m_dir.filePath(QStringLiteral("store_left_out_") + tag);
    const QStringList tmpBefore = QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const Outcome outcome = runWorker(archive, target);
    QCOMPARE(outcome.imported, imported);
    QCOMPARE(outcome.skipped, 1);
    for (const QString& text : said)
        QVERIFY2(outcome.message.contains(text), qPrintable(outcome.message));
    QVERIFY2(!outcome.message.contains(QStringLiteral("повреждён")), qPrintable(outcome.message));
    verifyStoreHoldsOnly(target, {sources[0], sources[2]}, imported);
    QCOMPARE(QDir(QDir::tempPath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tmpBefore);
}

void ZipImportWorkerTest::storeThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("occupied"); // a file where the store needs a folder
    QTest::newRow("store folder") << "";
    QTest::newRow("series folder") << "series";
}

void ZipImportWorkerTest::storeThatCannotBeWritten()
{
    QFETCH(QString, occupied);
    const QString archive = m_dir.filePath(QStringLiteral("store_fails.zip"));
    const QString series = QStringLiteral("1.2.826.0.1.3680043.9.7.64");
    writeZip(archive, {{QStringLiteral("1.dcm"), dicomBytes(series, 0)}, {QStringLiteral("2.dcm"), dicomBytes(series, 1)},
                       {QStringLiteral("t.txt"), "x"}});
    // Every copy fails, and the message names the folder that could not be made and why.
    const QString target = m_dir.filePath(QStringLiteral("store_is_a_file_") + QTest::currentDataTag()).replace(' ', '_');
    const QString blocked = occupied.isEmpty() ? target : target + "/" + dicom::ZipImportWorker::storeName(series);
    fixtures::writeBytes(blocked, "occupied");
    const Outcome outcome = runWorker(archive, target);
    QCOMPARE(outcome.imported, 0);
    QCOMPARE(outcome.skipped, 3);
    QCOMPARE(outcome.found.size(), 0);
    QVERIFY2(outcome.message.startsWith(QStringLiteral("Не удалось скопировать файлов в постоянное хранилище: 2 ")),
             qPrintable(outcome.message));
    QVERIFY2(outcome.message.contains(QDir::toNativeSeparators(QFileInfo(blocked).fileName())), qPrintable(outcome.message));
    QVERIFY2(!outcome.message.contains(QStringLiteral("Windows")), qPrintable(outcome.message));
}

QTEST_GUILESS_MAIN(ZipImportWorkerTest)
#include "tst_zipimportworker.moc"
