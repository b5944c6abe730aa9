// Hostile input on the import path: sequences nested deeply in every encoding, and seeded random
// mutations of real files (flipped bytes, cut files, lying lengths and sizes, spliced chunks) read by
// the summary, the frame decoder, the folder importer and the archive import. Nothing may crash or
// hang, and every refusal must be a clean empty result with a message where one is promised.
#include "dicom/CodecRegistration.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"
#include "support/DicomFixtures.h"
#include "support/HostileShapes.h"
#include "dicom/DicomImporter.h"
#include "dicom/DicomNesting.h"
#include "dicom/DicomTagList.h"
#include "dicom/GuardedDicomStream.h"
#include "dicom/DoseReaders.h"
#include "dicom/FrameDecoder.h"
#include "support/ChangeBeforeValues.h"
#include "support/PeakMemory.h"
#include "dicom/ZipImportWorker.h"
#include "db/Database.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/oflog/oflog.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>
#include <zip.h>

#include <sys/stat.h>

#include <functional>
#include <memory>

using fixtures::HostileShape;
using fixtures::SeriesLayout;

namespace {

enum class Layout { ExplicitLittle, ImplicitLittle, ExplicitBig, UnknownVr, UnknownVrDefinedLength };

void put16(QByteArray& out, quint16 v, bool big)
{
    const char b[2] = {char(v & 0xFF), char(v >> 8)};
    big ? out.append(b[1]).append(b[0]) : out.append(b[0]).append(b[1]);
}

void put32(QByteArray& out, quint32 v, bool big)
{
    if (big) {
        put16(out, quint16(v >> 16), true);
        put16(out, quint16(v & 0xFFFF), true);
    } else {
        put16(out, quint16(v & 0xFFFF), false);
        put16(out, quint16(v >> 16), false);
    }
}

// `depth` sequences of undefined length, each holding one item that holds the next. UnknownVr starts
// with a private UN element of undefined length, whose content is implicit little endian.
QByteArray nestedSequences(int depth, Layout layout)
{
    const bool big = layout == Layout::ExplicitBig;
    const bool implicitInside = layout == Layout::ImplicitLittle || layout == Layout::UnknownVr;
    QByteArray out;
    out.reserve(qsizetype(depth) * 36);
    auto tag = [&](quint16 group, quint16 element) {
        put16(out, group, big);
        put16(out, element, big);
    };
    for (int level = 0; level < depth; ++level) {
        if (level == 0 && layout == Layout::UnknownVr) {
            tag(0x7FE1, 0x1010);
            out += "UN";
            put16(out, 0, false);
            put32(out, 0xFFFFFFFF, false);
        } else {
            tag(0xFFFA, 0xFFFA); // Digital Signatures Sequence: an SQ the dictionary knows
            if (!implicitInside) {
                out += "SQ";
                put16(out, 0, big);
            }
            put32(out, 0xFFFFFFFF, big);
        }
        tag(0xFFFE, 0xE000);
        put32(out, 0xFFFFFFFF, big);
    }
    for (int level = 0; level < depth; ++level) {
        tag(0xFFFE, 0xE00D);
        put32(out, 0, big);
        tag(0xFFFE, 0xE0DD);
        put32(out, 0, big);
    }
    return out;
}

// `depth` sequences of defined length inside one UN value of defined length, as an archive that does
// not know Digital Signatures Sequence stores it: the UN value holds the rest in implicit VR little
// endian, which a reader that knows the tag parses as nested sequences.
QByteArray nestedInUnknownValue(int depth)
{
    QByteArray out;
    out.reserve(qsizetype(depth) * 16 + 4);
    auto header = [&](quint16 group, quint16 element, quint32 length) {
        put16(out, group, false);
        put16(out, element, false);
        put32(out, length, false);
    };
    // Every level takes 16 bytes: the element's tag and length, then its one item's tag and length.
    put16(out, 0xFFFA, false);
    put16(out, 0xFFFA, false);
    out += QByteArray("UN\0\0", 4);
    put32(out, quint32(16 * (depth - 1) + 8), false);
    header(0xFFFE, 0xE000, quint32(16 * (depth - 1)));
    for (int level = 1; level < depth; ++level) {
        header(0xFFFA, 0xFFFA, quint32(16 * (depth - level) - 8));
        header(0xFFFE, 0xE000, quint32(16 * (depth - level) - 16));
    }
    return out;
}

SeriesLayout smallLayout()
{
    SeriesLayout layout;
    layout.rows = 16;
    layout.columns = 12;
    layout.slices = 4;
    return layout;
}

E_TransferSyntax syntaxOf(Layout layout)
{
    switch (layout) {
    case Layout::ImplicitLittle:
        return EXS_LittleEndianImplicit;
    case Layout::ExplicitBig:
        return EXS_BigEndianExplicit;
    default:
        return EXS_LittleEndianExplicit;
    }
}

// An image file in the layout's transfer syntax with `depth` nested sequences after its pixel data.
QString writeNestedFile(const QString& path, int depth, Layout layout)
{
    fixtures::writeSlice(path, smallLayout(), 1);
    if (layout == Layout::ImplicitLittle || layout == Layout::ExplicitBig) {
        DcmFileFormat file;
        if (file.loadFile(QFile::encodeName(path).constData()).bad() || file.loadAllDataIntoMemory().bad())
            return {};
        if (file.saveFile(QFile::encodeName(path).constData(), syntaxOf(layout)).bad())
            return {};
    }
    QFile out(path);
    if (!out.open(QIODevice::Append))
        return {};
    out.write(layout == Layout::UnknownVrDefinedLength ? nestedInUnknownValue(depth)
                                                       : nestedSequences(depth, layout));
    return path;
}

// Nesting built by DCMTK itself: every sequence and item carries its explicit length (or, deflated,
// the whole data set is compressed).
QString writeDcmtkNestedFile(const QString& path, int depth, E_TransferSyntax syntax)
{
    fixtures::writeSlice(path, smallLayout(), 2);
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad() || file.loadAllDataIntoMemory().bad())
        return {};
    DcmItem* item = file.getDataset();
    for (int level = 0; level < depth && item; ++level) {
        DcmItem* next = nullptr;
        item->findOrCreateSequenceItem(DCM_ContentSequence, next, -2);
        if (next)
            next->putAndInsertString(DCM_ValueType, "CONTAINER");
        item = next;
    }
    if (file.saveFile(QFile::encodeName(path).constData(), syntax, EET_ExplicitLength, EGL_recalcGL).bad())
        return {};
    return path;
}

// Runs `work` on a thread made the way the program makes its parsing threads.
void runOnParsingThread(const std::function<void()>& work)
{
    QThread* thread = QThread::create(work);
    thread->setStackSize(dicom::kParsingThreadStackSize);
    thread->start();
    QVERIFY(thread->wait(120000));
    delete thread;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// A ZIP (by libzip) or, named .7z, a 7z archive (by libarchive) of these entries.
void writeArchive(const QString& path, const QList<QPair<QString, QByteArray>>& entries)
{
    if (path.endsWith(QLatin1String(".zip"))) {
        int code = 0;
        zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
        QVERIFY(archive);
        for (const auto& [name, data] : entries) {
            // libzip frees the copy after zip_close; an empty entry gets no buffer, which it would not free.
            void* copy = data.isEmpty() ? nullptr : malloc(size_t(data.size()));
            if (copy)
                memcpy(copy, data.constData(), size_t(data.size()));
            zip_source_t* source = zip_source_buffer(archive, copy, zip_uint64_t(data.size()), copy ? 1 : 0);
            QVERIFY(source);
            QVERIFY(zip_file_add(archive, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8) >= 0);
        }
        QVERIFY2(zip_close(archive) == 0, zip_strerror(archive));
        return;
    }
    std::unique_ptr<struct archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
    QCOMPARE(archive_write_set_format_7zip(writer.get()), ARCHIVE_OK);
    QCOMPARE(archive_write_open_filename(writer.get(), QFile::encodeName(path).constData()), ARCHIVE_OK);
    for (const auto& [name, data] : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname_utf8(entry.get(), name.toUtf8().constData());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), data.size());
        QCOMPARE(archive_write_header(writer.get(), entry.get()), ARCHIVE_OK);
        QCOMPARE(archive_write_data(writer.get(), data.constData(), size_t(data.size())), la_ssize_t(data.size()));
    }
    QCOMPARE(archive_write_close(writer.get()), ARCHIVE_OK);
}

struct ArchiveImport
{
    int imported = -1;
    int skipped = -1;
    int summaries = 0;
    int missing = 0; // summaries whose file is not in the store
    QString message;
};

// Imports an archive into `store` as the study list does, on a parsing thread.
ArchiveImport importArchive(const QString& path, const QString& store)
{
    ArchiveImport result;
    dicom::ZipImportWorker worker(path, store);
    worker.setFreeSpaceReserve(0);
    // Emitted on the parsing thread: the handlers run there, directly.
    QObject::connect(&worker, &dicom::ZipImportWorker::fileFound, [&](const dicom::DicomFileSummary& s) {
        ++result.summaries;
        result.missing += QFileInfo::exists(s.filePath) ? 0 : 1;
    });
    QObject::connect(&worker, &dicom::ZipImportWorker::finished, [&](int i, int s, const QString& m) {
        result.imported = i;
        result.skipped = s;
        result.message = m;
    });
    runOnParsingThread([&] { worker.run(); });
    return result;
}

// Positions of an explicit little endian element header of the given tag.
QList<qsizetype> headersOf(const QByteArray& bytes, quint16 group, quint16 element)
{
    QByteArray needle;
    put16(needle, group, false);
    put16(needle, element, false);
    QList<qsizetype> found;
    for (qsizetype at = bytes.indexOf(needle, 132); at >= 0; at = bytes.indexOf(needle, at + 1))
        found << at;
    return found;
}

// One random change of the kinds a damaged disc, a broken transfer or a crafted file produce.
QByteArray mutate(QByteArray bytes, QRandomGenerator& random)
{
    if (bytes.isEmpty())
        return bytes;
    auto anywhere = [&] { return qsizetype(random.bounded(quint64(bytes.size()))); };
    // Most damage that matters is in the header, far smaller than the pixel data.
    auto inHeader = [&] {
        const qsizetype end = qMin<qsizetype>(bytes.size(), 2048);
        return end > 132 ? 132 + qsizetype(random.bounded(quint64(end - 132))) : anywhere();
    };
    static const quint32 kLies[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0u, 1u, 0xFFFFFFFEu, 0x00010000u};
    switch (random.bounded(6)) {
    case 0: { // flipped bytes
        const int count = 1 + int(random.bounded(16));
        for (int i = 0; i < count; ++i) {
            const qsizetype at = random.bounded(4) == 0 ? anywhere() : inHeader();
            bytes[at] = char(bytes[at] ^ char(1 + random.bounded(255)));
        }
        return bytes;
    }
    case 1: // cut short
        bytes.truncate(anywhere());
        return bytes;
    case 2: { // a 32-bit length (or anything else) that lies
        const qsizetype at = inHeader();
        if (at + 4 > bytes.size())
            return bytes;
        const quint32 lie = random.bounded(3) == 0 ? random.generate() : kLies[random.bounded(int(std::size(kLies)))];
        QByteArray word;
        put32(word, lie, false);
        bytes.replace(at, 4, word);
        return bytes;
    }
    case 3: { // image size fields and the pixel data length changed together or alone
        static const quint16 kElements[][2] = {{0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0100},
                                               {0x0028, 0x0002}, {0x0028, 0x0008}, {0x0028, 0x0101},
                                               {0x7FE0, 0x0010}, {0x0028, 0x0004}};
        const int changes = 1 + int(random.bounded(3));
        for (int c = 0; c < changes; ++c) {
            const auto& tag = kElements[random.bounded(int(std::size(kElements)))];
            const QList<qsizetype> at = headersOf(bytes, tag[0], tag[1]);
            if (at.isEmpty())
                continue;
            const qsizetype header = at.at(random.bounded(int(at.size())));
            // Value (short form) at +8, long form length at +8, short form length at +6.
            const qsizetype offset = header + (random.bounded(2) == 0 ? 8 : 6);
            if (offset + 4 > bytes.size())
                continue;
            QByteArray word;
            put32(word, random.bounded(2) == 0 ? random.generate() : kLies[random.bounded(int(std::size(kLies)))], false);
            bytes.replace(offset, random.bounded(2) == 0 ? 2 : 4, word.left(random.bounded(2) == 0 ? 2 : 4));
        }
        return bytes;
    }
    case 4: { // a chunk of the file copied elsewhere into it
        const qsizetype from = anywhere();
        const qsizetype length = qMin<qsizetype>(bytes.size() - from, 1 + random.bounded(512));
        bytes.insert(inHeader(), bytes.mid(from, length));
        return bytes;
    }
    default: { // a nested structure dropped into the middle of the data set
        const Layout layout = random.bounded(2) == 0 ? Layout::ExplicitLittle : Layout::UnknownVr;
        const int depth = random.bounded(2) == 0 ? 1 + int(random.bounded(8)) : 300 + int(random.bounded(3000));
        QByteArray nest = nestedSequences(depth, layout);
        if (random.bounded(2) == 0)
            nest.truncate(qsizetype(random.bounded(quint64(nest.size()))));
        bytes.insert(inHeader(), nest);
        return bytes;
    }
    }
}

using FragmentEdit = std::function<QByteArray(const QByteArray&)>;
// Writes a hostile file at the path given; returns its path.
using HostileWriter = std::function<QString(const QString&)>;

struct Base
{
    QString name;
    QString path;
};

} // namespace

Q_DECLARE_METATYPE(FragmentEdit)
Q_DECLARE_METATYPE(HostileWriter)

class MutationsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nestingIsCountedInEveryEncoding_data();
    void nestingIsCountedInEveryEncoding();
    void limitHoldsOnParsingThread();
    void parseStopsShortOfTheStacksEnd_data();
    void parseStopsShortOfTheStacksEnd();
    void treeDepthCountsNestedItems_data();
    void treeDepthCountsNestedItems();
    void hostileFilesAreRefusedEverywhere_data();
    void hostileFilesAreRefusedEverywhere();
    void hostileShapesAreReadAsDcmtkReadsThemOrRefused_data();
    void hostileShapesAreReadAsDcmtkReadsThemOrRefused();
    void hiddenCostsAreRefusedCheaply_data();
    void hiddenCostsAreRefusedCheaply();
    void fuzzFindingsFailCleanly_data();
    void fuzzFindingsFailCleanly();
    void fileTouchedWhileWalkedIsReadOnceMore();
    void fileStillWrittenIsReadOnceMore_data();
    void fileStillWrittenIsReadOnceMore();
    void rowObjectIsProvenFromTheOpening_data();
    void rowObjectIsProvenFromTheOpening();
    void archiveImportKeepsGoodFilesBesideHostileShapes();
    void hostilePixelHeaders_data();
    void hostilePixelHeaders();
    void nonFiniteNumbersAreIgnored();
    void declaredFramesBeyondPixelData_data();
    void declaredFramesBeyondPixelData();
    void jpegMarkersThatStallTheDecoder_data();
    void jpegMarkersThatStallTheDecoder();
    void mutatedFilesGiveCleanResults();
    void importerSurvivesMutatedFolder();
    void importerLeavesSpecialFilesAlone();
    void archiveImportSurvivesMutations();

private:
    QTemporaryDir m_dir;
    QList<Base> m_bases;
    dicom::CodecRegistrationScope* m_codecs = nullptr;
};

void MutationsTest::initTestCase()
{
    dicom::registerMetaTypes();
    // Thousands of damaged files would each leave a page of DCMTK warnings.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    m_codecs = new dicom::CodecRegistrationScope;
    QVERIFY(m_dir.isValid());
    auto add = [&](const QString& name, const std::function<QString(const QString&)>& write) {
        const QString path = m_dir.filePath(QStringLiteral("base_%1.dcm").arg(name));
        QVERIFY2(!write(path).isEmpty(), qPrintable(name));
        m_bases << Base{name, path};
    };
    add(QStringLiteral("ct"), [](const QString& p) { return fixtures::writeSlice(p, smallLayout(), 0); });
    for (auto [name, compression] : {std::pair{"jpeg", fixtures::Compression::JpegBaseline},
                                     std::pair{"jpegls", fixtures::Compression::JpegLsLossless},
                                     std::pair{"rle", fixtures::Compression::Rle}}) {
        add(QString::fromLatin1(name), [compression](const QString& p) {
            SeriesLayout layout = smallLayout();
            layout.pixels = fixtures::PixelKind::UInt8;
            layout.compression = compression;
            return fixtures::writeSlice(p, layout, 0);
        });
    }
    add(QStringLiteral("enhanced"), [](const QString& p) { return fixtures::writeEnhancedMultiFrame(p, smallLayout()); });
    add(QStringLiteral("rgbframes"), [](const QString& p) {
        SeriesLayout layout = smallLayout();
        layout.pixels = fixtures::PixelKind::Rgb8;
        return fixtures::writeMultiFrame(p, layout);
    });
    add(QStringLiteral("implicit"), [](const QString& p) { return writeNestedFile(p, 3, Layout::ImplicitLittle); });
    add(QStringLiteral("bigendian"), [](const QString& p) { return writeNestedFile(p, 3, Layout::ExplicitBig); });
}

void MutationsTest::cleanupTestCase()
{
    dicom::releaseFrameDecoderCache();
    delete m_codecs;
}

void MutationsTest::nestingIsCountedInEveryEncoding_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<int>("depth");
    for (auto [name, layout] :
         {std::pair{"explicit", Layout::ExplicitLittle}, std::pair{"implicit", Layout::ImplicitLittle},
          std::pair{"big endian", Layout::ExplicitBig}, std::pair{"UN", Layout::UnknownVr},
          std::pair{"UN of defined length", Layout::UnknownVrDefinedLength}}) {
        for (int depth : {1, 9, dicom::kMaxSequenceNesting, 700})
            QTest::addRow("%s %d", name, depth) << int(layout) << depth;
    }
    // Negative layouts: written by DCMTK with explicit lengths (-1) or deflated (-2).
    for (int depth : {4, 60})
        QTest::addRow("explicit lengths %d", depth) << -1 << depth;
    for (int depth : {4, 60, dicom::kMaxSequenceNesting + 1})
        QTest::addRow("deflated %d", depth) << -2 << depth;
    // Implicit VR big endian under a meta header naming explicit VR: read again as what it is (-3).
    for (int depth : {4, dicom::kMaxSequenceNesting + 1})
        QTest::addRow("mislabelled big endian %d", depth) << -3 << depth;
}

void MutationsTest::nestingIsCountedInEveryEncoding()
{
    QFETCH(int, layout);
    QFETCH(int, depth);
    const QString path = m_dir.filePath(QStringLiteral("nested_%1_%2.dcm").arg(layout).arg(depth));
    const QString written = layout >= 0 ? writeNestedFile(path, depth, Layout(layout))
        : writeDcmtkNestedFile(path, depth, layout == -2 ? EXS_DeflatedLittleEndianExplicit : EXS_LittleEndianExplicit);
    QVERIFY(!written.isEmpty());
    if (layout == -3)
        fixtures::mislabelAsExplicitBigEndian(path);

    QCOMPARE(dicom::sequenceNestingDepth(path, 100000), depth);
    // The count stops early once it is past the limit asked for.
    QCOMPARE(dicom::sequenceNestingDepth(path, 2), qMin(depth, 3));

    const auto summary = dicom::readFileSummary(path);
    QCOMPARE(summary.has_value(), depth <= dicom::kMaxSequenceNesting);
    QString error;
    const auto frame = dicom::decodeFrame(path, 0, std::nullopt, &error);
    QCOMPARE(frame.has_value(), depth <= dicom::kMaxSequenceNesting);
    QCOMPARE(error.isEmpty(), depth <= dicom::kMaxSequenceNesting);
    if (frame)
        QCOMPARE(frame->image.size(), QSize(12, 16));
}

void MutationsTest::limitHoldsOnParsingThread()
{
    // The deepest file let through must parse on a parsing thread with room to spare.
    const QString path = writeNestedFile(m_dir.filePath(QStringLiteral("at_limit.dcm")), dicom::kMaxSequenceNesting,
                                         Layout::ExplicitLittle);
    QVERIFY(!path.isEmpty());
    bool read = false;
    bool decoded = false;
    runOnParsingThread([&] {
        read = dicom::readFileSummary(path).has_value();
        decoded = dicom::decodeFrame(path, 0, std::nullopt).has_value();
    });
    QVERIFY(read);
    QVERIFY(decoded);
}

void MutationsTest::parseStopsShortOfTheStacksEnd_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<bool>("read");
    // A thread with less stack than DCMTK takes for the nesting a check lets through: whatever the
    // check makes of the bytes, the parse ends before the stack does.
    QTest::newRow("one level") << 1 << true;
    QTest::newRow("at the limit") << dicom::kMaxSequenceNesting << false;
}

void MutationsTest::parseStopsShortOfTheStacksEnd()
{
    QFETCH(int, depth);
    QFETCH(bool, read);
    const QString path = writeNestedFile(m_dir.filePath(QStringLiteral("small_stack_%1.dcm").arg(depth)), depth,
                                         Layout::ExplicitLittle);
    QCOMPARE(dicom::parseHazard(path), dicom::ParseHazard::None);
    bool summarised = !read;
    bool listed = !read;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        summarised = dicom::readFileSummary(path).has_value();
        listed = !dicom::readTagList(path).isEmpty();
    }));
    thread->setStackSize(320 * 1024); // DCMTK takes some 380 KB for 256 levels
    thread->start();
    QVERIFY(thread->wait(60000));
    QCOMPARE(summarised, read);
    QCOMPARE(listed, read);
}

void MutationsTest::treeDepthCountsNestedItems_data()
{
    QTest::addColumn<int>("levels");     // of items, each in a sequence of the item above
    QTest::addColumn<bool>("emptyBelow"); // and an empty sequence in the deepest item
    QTest::addColumn<int>("depth");
    QTest::newRow("no sequence") << 0 << false << 0;
    QTest::newRow("an empty sequence") << 0 << true << 0;
    QTest::newRow("one item") << 1 << false << 1;
    QTest::newRow("three levels and an empty sequence") << 3 << true << 3;
    QTest::newRow("past the limit") << dicom::kMaxSequenceNesting + 1 << false << dicom::kMaxSequenceNesting + 1;
}

void MutationsTest::treeDepthCountsNestedItems()
{
    QFETCH(int, levels);
    QFETCH(bool, emptyBelow);
    QFETCH(int, depth);
    DcmDataset dataset;
    DcmItem* item = &dataset;
    for (int level = 0; level < levels; ++level)
        QVERIFY(item->findOrCreateSequenceItem(DCM_ContentSequence, item, -2).good());
    if (emptyBelow)
        QVERIFY(item->insertEmptyElement(DCM_ReferencedImageSequence).good());
    dataset.putAndInsertString(DCM_PatientName, "A^B");
    QCOMPARE(dicom::treeSequenceDepth(dataset), depth);
}

namespace {

// Every way the program reads a file, on a thread made as the program makes its parsing threads.
struct Readings
{
    bool summarised = false;
    bool listed = false;
    bool doseRead = false;
    bool anonymised = false; // and the copy reads back
    bool compressed = false;
    bool edited = false;        // the tag editor's save went through, and the file reads back
    bool editHarmless = false;  // it read back, or it was refused and left the file as it was
    std::optional<dicom::DecodedFrame> frame;
    QString error;
    int found = -1;
    int skipped = -1;
};

bool readsBack(const QString& path)
{
    return !dicom::readTagList(path).isEmpty();
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

Readings readEverywhere(const QString& path, const QString& folder)
{
    Readings r;
    runOnParsingThread([&] {
        r.summarised = dicom::readFileSummary(path).has_value();
        r.listed = !dicom::readTagList(path).isEmpty();
        r.doseRead = dicom::readCtdiVol(path).has_value() || dicom::readDoseReportDlp(path).has_value();
        r.frame = dicom::decodeFrame(path, 0, std::nullopt, &r.error);
        const QString copies = folder + QStringLiteral("/copies");
        QDir().mkpath(copies);
        const QString anonymised = copies + QStringLiteral("/anon.dcm");
        r.anonymised =
            dicom::writeAnonymizedCopy(path, anonymised, QStringLiteral("ANON"), QStringLiteral("ANON")) &&
            readsBack(anonymised);
        r.compressed = dicom::writeCompressedCopy(path, copies + QStringLiteral("/small.dcm"));
        const QString edited = copies + QStringLiteral("/edited.dcm");
        QFile::copy(path, edited);
        const QByteArray before = bytesOf(edited);
        dicom::TagEntry name;
        name.group = 0x0010;
        name.element = 0x0010;
        name.value = QStringLiteral("EDITED");
        r.edited = dicom::writeTagValues(edited, {name}) && readsBack(edited);
        r.editHarmless = r.edited || bytesOf(edited) == before;
        QDir(copies).removeRecursively();
        dicom::DicomImporter importer;
        QObject::connect(&importer, &dicom::DicomImporter::finished, [&](int f, int s) {
            r.found = f;
            r.skipped = s;
        });
        importer.importDirectory(folder);
    });
    return r;
}

const HostileShape kShapes[] = {
    HostileShape::PrivateSequence,   HostileShape::UnknownVrSequence,     HostileShape::UnknownVrPixelData,
    HostileShape::NoTransferSyntax,  HostileShape::UnknownTransferSyntax, HostileShape::DeflateInMetaSequence,
    HostileShape::ItemGroupSequence, HostileShape::NonLetterVr,           HostileShape::DeflatedWithoutPreamble,
    HostileShape::UnknownVrsOnDictionarySequences,
};

const char* shapeName(HostileShape shape)
{
    static const char* const names[] = {"private sequence",        "unknown VR",          "Pixel Data of unknown VR",
                                        "no transfer syntax",      "unknown syntax",      "deflate in meta sequence",
                                        "item group sequence",     "non-letter VR",       "deflated without preamble",
                                        "unknown VRs on dictionary sequences"};
    return names[int(shape)];
}

// Shapes whose reading by DCMTK no walk can tell without following rules of DCMTK's own: refused at
// any depth.
bool refusedAtAnyDepth(HostileShape shape)
{
    return shape == HostileShape::UnknownVrSequence || shape == HostileShape::UnknownVrPixelData ||
           shape == HostileShape::ItemGroupSequence;
}

} // namespace

void MutationsTest::hostileFilesAreRefusedEverywhere_data()
{
    QTest::addColumn<HostileWriter>("write");
    QTest::addColumn<int>("hazard");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("peakMegabytes"); // 0: the bound of the costly ones
    const QString deep = QStringLiteral("Файл повреждён: слишком глубокая вложенность последовательностей.");
    const int deepNesting = int(dicom::ParseHazard::DeepNesting);
    const auto nested = [](Layout layout) {
        return HostileWriter([layout](const QString& path) { return writeNestedFile(path, 100000, layout); });
    };
    // 100 000 levels need about a hundred megabytes of stack in DCMTK's recursive reader.
    QTest::newRow("explicit 100000") << nested(Layout::ExplicitLittle) << deepNesting << deep << 0;
    QTest::newRow("implicit 100000") << nested(Layout::ImplicitLittle) << deepNesting << deep << 0;
    QTest::newRow("big endian 100000") << nested(Layout::ExplicitBig) << deepNesting << deep << 0;
    QTest::newRow("UN 100000") << nested(Layout::UnknownVr) << deepNesting << deep << 0;
    QTest::newRow("UN of defined length 100000")
        << nested(Layout::UnknownVrDefinedLength) << deepNesting << deep << 0;
    // A gigabyte of zeros deflated into about a megabyte: DCMTK would inflate all of it in each reader.
    const QString inflates =
        QStringLiteral("Файл отклонён: сжатый набор данных распаковывается в недопустимо большой объём.");
    QTest::newRow("deflated 1 GiB")
        << HostileWriter([](const QString& path) { return fixtures::writeDeflatedZeros(path, 32768, 32768); })
        << int(dicom::ParseHazard::InflatesTooFar) << inflates << 0;
    // 12 000 levels overflow the 16 MiB of a parsing thread; Pixel Data is a sequence by its VR.
    for (const char* vr : {"SQ", "UN"}) {
        QTest::addRow("Pixel Data as %s, 12000 levels", vr)
            << HostileWriter([vr](const QString& path) { return fixtures::writeNestedPixelData(path, 12000, vr); })
            << deepNesting << QStringLiteral("вложенность") << 0;
    }
    QTest::newRow("deflated, nesting after 64 MiB")
        << HostileWriter([](const QString& path) { return fixtures::writeDeflatedNestingAfter64MiB(path, 20000); })
        << deepNesting << QStringLiteral("вложенность") << 0;
    QTest::newRow("deflated behind a meta look-alike, nesting")
        << HostileWriter([](const QString& path) { return fixtures::writeDeflatedBehindMetaLookalike(path, 20000); })
        << deepNesting << QStringLiteral("вложенность") << 0;
    QTest::newRow("deflated behind a meta look-alike, 1 GiB")
        << HostileWriter([](const QString& path) { return fixtures::writeDeflatedBehindMetaLookalike(path, 0); })
        << int(dicom::ParseHazard::InflatesTooFar) << QStringLiteral("недопустимо большой объём") << 0;
    // DCMTK's sorted insert walks past every element written before a smaller one: minutes for these.
    QTest::newRow("130000 elements in descending order")
        << HostileWriter([](const QString& path) { return fixtures::writeManyEmptyElements(path, 130000, true); })
        << int(dicom::ParseHazard::ElementsOutOfOrder) << QStringLiteral("не по порядку") << 0;
    QTest::newRow("1000001 elements")
        << HostileWriter([](const QString& path) { return fixtures::writeManyEmptyElements(path, 1000001, false); })
        << int(dicom::ParseHazard::TooManyElements) << QStringLiteral("1000000") << 0;
    // A meta header holds a few UIDs and names; DCMTK would go through any length it declares.
    QTest::newRow("meta header element of 64 KiB and a byte")
        << HostileWriter([](const QString& path) { return fixtures::writeLongMetaElement(path, 65537); })
        << int(dicom::ParseHazard::Unfollowable) << QStringLiteral("нестандартно") << 0;
    // The same elements inside a sequence only DCMTK's private dictionary calls one, and gigabytes
    // deflated behind meta headers that name the deflated syntax where only DCMTK looks.
    QTest::newRow("65000 elements in descending order in a private sequence")
        << HostileWriter([](const QString& path) { return fixtures::writeElementsInPrivateSequence(path, 65000); })
        << int(dicom::ParseHazard::ElementsOutOfOrder) << QStringLiteral("не по порядку") << 0;
    for (auto [name, shape] : {std::pair{"deflated syntax in a meta header sequence", HostileShape::DeflateInMetaSequence},
                               std::pair{"deflated without preamble", HostileShape::DeflatedWithoutPreamble}}) {
        QTest::addRow("%s, 1 GiB", name)
            << HostileWriter([shape](const QString& path) { return fixtures::writeHostileShapeOverGigabyte(path, shape); })
            << int(dicom::ParseHazard::InflatesTooFar) << QStringLiteral("недопустимо большой объём") << 0;
    }
    // A length of 3 GB in a file of a few hundred bytes: no reader may take more than the file holds.
    using fixtures::LengthPastEnd;
    const int unfollowable = int(dicom::ParseHazard::Unfollowable);
    for (auto [name, where, refusal, words] :
         {std::tuple{"meta header of 66 bytes, a length of 3 GB", LengthPastEnd::BareMetaHeader, unfollowable,
                     "нестандартно"},
          std::tuple{"meta header of an image, a length of 3 GB", LengthPastEnd::MetaHeaderOfImage,
                     unfollowable, "нестандартно"},
          std::tuple{"data set of an image, a length of 3 GB", LengthPastEnd::DatasetOfImage,
                     int(dicom::ParseHazard::Truncated), "за конец файла"}}) {
        const HostileWriter write([where](const QString& path) {
            return fixtures::writeLengthPastEnd(path, where);
        });
        QTest::newRow(name) << write << refusal << QString::fromUtf8(words) << 8;
    }
}

void MutationsTest::hostileFilesAreRefusedEverywhere()
{
    QFETCH(HostileWriter, write);
    QFETCH(int, hazard);
    QFETCH(QString, message);
    QFETCH(int, peakMegabytes);
    QTemporaryDir folder;
    const QString path = write(folder.filePath(QStringLiteral("hostile.dcm")));
    QVERIFY(!path.isEmpty());
    QVERIFY(QFileInfo(path).size() < 8 * 1024 * 1024);
    QCOMPARE(int(dicom::parseHazard(path)), hazard);
    fixtures::writeSlice(folder.filePath(QStringLiteral("fine.dcm")), smallLayout(), 0);

    QVERIFY(fixtures::resetPeakResidentMemory());
    const qint64 before = fixtures::residentBytes("VmRSS");
    const Readings r = readEverywhere(path, folder.path());
    const qint64 grown = fixtures::residentBytes("VmHWM") - before;
    const qint64 bound = (peakMegabytes > 0 ? peakMegabytes : 200) * 1024ll * 1024;
    QVERIFY2(grown < bound, qPrintable(QStringLiteral("peak grew by %1 KB").arg(grown >> 10)));
    QVERIFY(!r.summarised);
    QVERIFY(!r.listed);
    QVERIFY(!r.doseRead);
    QVERIFY(!r.frame);
    QVERIFY(!r.anonymised);
    QVERIFY(!r.compressed);
    QVERIFY(!r.edited && r.editHarmless);
    QVERIFY2(r.error.contains(message), qPrintable(r.error));
    QCOMPARE(r.found, 1);
    QCOMPARE(r.skipped, 1);
}

void MutationsTest::hostileShapesAreReadAsDcmtkReadsThemOrRefused_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("hazard");
    for (HostileShape shape : kShapes) {
        // 20 000 levels take some 30 MB of stack in DCMTK's reader: twice a parsing thread's.
        for (int depth : {20000, 8}) {
            const dicom::ParseHazard hazard = refusedAtAnyDepth(shape) ? dicom::ParseHazard::Unfollowable
                                              : depth > dicom::kMaxSequenceNesting ? dicom::ParseHazard::DeepNesting
                                                                                  : dicom::ParseHazard::None;
            QTest::addRow("%s, %d levels", shapeName(shape), depth) << int(shape) << depth << int(hazard);
        }
    }
}

void MutationsTest::hostileShapesAreReadAsDcmtkReadsThemOrRefused()
{
    QFETCH(int, shape);
    QFETCH(int, depth);
    QFETCH(int, hazard);
    QTemporaryDir folder;
    const QString path = fixtures::writeHostileShape(folder.filePath(QStringLiteral("shape.dcm")), HostileShape(shape), depth);
    fixtures::writeSlice(folder.filePath(QStringLiteral("fine.dcm")), smallLayout(), 0);
    QCOMPARE(int(dicom::parseHazard(path)), hazard);

    const Readings r = readEverywhere(path, folder.path());
    const bool read = hazard == int(dicom::ParseHazard::None);
    QCOMPARE(r.summarised, read);
    QCOMPARE(r.listed, read);
    QCOMPARE(r.frame.has_value(), read && fixtures::hostileShapeHasPixels(HostileShape(shape)));
    // Whatever the program writes of a file it reads, it reads again.
    QVERIFY(r.editHarmless);
    if (read) {
        QCOMPARE(r.frame->image.size(), QSize(8, 8));
        QVERIFY(r.anonymised);
        QVERIFY(r.edited);
    } else {
        QCOMPARE(r.error, dicom::parseHazardText(dicom::ParseHazard(hazard)));
        QVERIFY(!r.doseRead);
        QVERIFY(!r.anonymised);
        QVERIFY(!r.compressed);
        QVERIFY(!r.edited);
    }
    // The importers look only at files with a preamble.
    const int imported = read && fixtures::hostileShapeHasPreamble(HostileShape(shape)) ? 1 : 0;
    QCOMPARE(r.found, 1 + imported);
    QCOMPARE(r.skipped, 1 - imported);
}

void MutationsTest::fuzzFindingsFailCleanly_data()
{
    QTest::addColumn<HostileWriter>("write");
    QTest::addColumn<int>("hazard");
    const auto fileFromBase64 = [](const char* bytes) {
        return HostileWriter([bytes](const QString& path) {
            fixtures::writeBytes(path, QByteArray::fromBase64(bytes));
            return path;
        });
    };
    // The differential fuzz target's findings. A private sequence whose first item tag is written in
    // the other byte order: DCMTK's dictionary makes a sequence of it that holds no item, and gives up.
    QTest::newRow("private sequence, first item tag byte-swapped") << HostileWriter([](const QString& path) {
        fixtures::writeHostileShape(path, HostileShape::PrivateSequence, 3);
        // (0009,1000) of 112 bytes, then its item.
        fixtures::replaceInFile(path, QByteArray("\x09\x00\x00\x10\x70\x00\x00\x00\xFE\xFF\x00\xE0", 12),
                                QByteArray("\x09\x00\x00\x10\x70\x00\x00\x00\xFF\xFE\x00\xE0", 12));
        return path;
    }) << int(dicom::ParseHazard::None);
    // The deflate syntax in a meta header sequence, its stream cut 7 bytes into an element's header:
    // DCMTK reads a whole header from them, its length partly from a byte it never had.
    QTest::newRow("deflate stream cut inside an element's header") << fileFromBase64(
        "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
        "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAC1ESUNNAgAAAFVMBAB0AAAA"
        "AgABAE9CAAACAAAAAAECAAIAVUkaADEuMi44NDAuMTAwMDguNS4xLjQuMS4xLjIAAgADAFVJCgAxLjIuMy40LjUAAgAFAFNR"
        "AAAmAAAA/v8A4B4AAAACABAAVUkWADEuMi44NDAuMTAwMDguMS4yLjEuOTmlUstu00AUPUlDsEoaXAGhFAkMBSk8MsyM7cSW"
        "SsE4pTEksRsnAqQIgUQW3bAgYcEKfhQp39FFzLFbskRItWXPuY+599yHAQNh2kA8io6iYdCfJqNoEIw+TIP3UdA30MAk2sUS"
        "WniOFEpK6QlXKOHwo5a3d+ixf+ah24I+wm57Ujo2vYVypRKerW1be0K3fe0L1fHbBJ5LhWNrJRnDQjcwoKV2pFKuAYnxoAol"
        "eV1ST6mOPLeUovhLy0CCtLf8Bw==") << int(dicom::ParseHazard::Truncated);
    // The same, its stream cut between two elements: past the end, DCMTK read a few elements more out
    // of what its buffer held before.
    QTest::newRow("deflate stream cut between two elements") << fileFromBase64(
        "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAD/////"
        "//9M8wAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAABESUNNAgAAAFVMBAB0AAAA"
        "AgABAE9CAAACAAAAAAECAAIAVUkaADEuMi44NDAuMTAwMDguNS4xLjQuMS4xLjIAAgADAFVJCgAxLjIuMy40LjUAAgAFAFNR"
        "AAAmAAAA/v8A4B4AAAACABAAVUkWADEuMi44NDAuMTAwMDguMS4yLjEuOTmlUstu00AUPUlDsEoaXAGhFAkMBSk8MsyMH3Gk"
        "UjBOaQxJ7NqJAClCIJFFNyxIWLCCH0XKd3SRcOyWLBFSx/LMuY+Ze+7DgIEwayBOo6NoGPQnSRoNgvTDJHgfBX0DDYyjXSih"
        "he9IoaSUvnCFEg5/anl7hx77Zx7aE/QRtudL6dj0FsqVSvi2tm3tC9XWvube8dp22+3kBuV5+RsWuoEBLbUjlXINSIwGVSjJ"
        "65J6SnXksaUUxS4tAwmyXgVBGCoDn5hDGeGIN81+vInRdDa3ZvPvX34YOKCmdq6ZfjuZziwTppLhme5j8nl+Mv06N8mhH1eR"
        "8HFFD1kwUp02RalMvCwiDKwd3CCqIuwdZiNKCbpZhdm7loWti1XC7ZBD/YLVlHxjGxG5KjK6tkaaPGtosYiTltJy4koL7UKn"
        "JrL4eNIvvWB8xfiB2WVUVzZRxpiohCYqrFoNg3gYh700Hhxqq8ku5FaD1u01Yt0zdlH4Eyna9EEpt5i0lNaoXKCrRBulv+8n"
        "RUyHMY/NvCMOZ6SJlLiaZ60dSlnho4hGnIkyeuPFTxPxO+AX8lUi3w0yvYQqLmMTV1BjT+uMZJLhdXa+gZuc91vYxW3cwV3m"
        "eg/3sYcHeEgOj/AYT/AULQg8Y8VtOHDhsc4+OtjHcxzgBScpwCuEeI0j9BDhDd6ijwFOV6er7BhYcS1XWOTn/+qWq61FnsFy"
        "9fv8/Lf8Dw==") << int(dicom::ParseHazard::Truncated);
    // Implicit VR: (0008,0105) of one byte, whose value and the bytes after it start like an item, so a
    // walk may take it for a sequence; DCMTK reads it as a string and then an element of almost 4 GB.
    QTest::newRow("one-byte string followed by a length of 4 GB")
        << fileFromBase64("CAAFAQEAAAD+/93gAAAAAP7/3eAAAAAA") << int(dicom::ParseHazard::Truncated);
    // A 1.5 MB enhanced CT that another program cuts to 1000 bytes once the walk has opened it: what
    // lay past the new end must never be read through a mapping (that ends the program). The walk that
    // met the cut finds the file changed, and the file read once more is found cut short, as every
    // later reader finds it.
    QTest::newRow("1.5 MB file cut short while it is walked") << HostileWriter([](const QString& path) {
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 512;
        layout.slices = 3;
        static QString cut;
        cut = fixtures::writeEnhancedMultiFrame(path, layout);
        dicom::testing::setBeforeWalkHook(
            [](void*) {
                dicom::testing::setBeforeWalkHook(nullptr, nullptr);
                QFile::resize(cut, 1000);
            },
            nullptr);
        return cut;
    }) << int(dicom::ParseHazard::Truncated);
}

void MutationsTest::fuzzFindingsFailCleanly()
{
    QFETCH(HostileWriter, write);
    QFETCH(int, hazard);
    QTemporaryDir folder;
    const QString path = write(folder.filePath(QStringLiteral("finding.dcm")));
    fixtures::writeSlice(folder.filePath(QStringLiteral("fine.dcm")), smallLayout(), 0);
    const int found = int(dicom::parseHazard(path));
    dicom::testing::setBeforeWalkHook(nullptr, nullptr);
    QCOMPARE(found, hazard);
    const Readings r = readEverywhere(path, folder.path());
    QVERIFY(!r.summarised);
    QVERIFY(!r.listed);
    QVERIFY(!r.frame);
    QVERIFY(!r.error.isEmpty());
    // In the program's words: DCMTK's own reason for giving up is English.
    static const QRegularExpression english(QStringLiteral("\\b(?!DICOM\\b|JPEG\\b)[A-Za-z]{3,}"));
    QVERIFY2(!r.error.contains(english), qPrintable(r.error));
    QCOMPARE(r.found, 1);
    QCOMPARE(r.skipped, 1);
}

// A file touched while it is walked, its bytes as they were (a backup stamping it, a copy of the same
// bytes finished): read once more, not refused as changed.
void MutationsTest::fileTouchedWhileWalkedIsReadOnceMore()
{
    SeriesLayout layout = smallLayout();
    layout.rows = layout.columns = 512;
    layout.slices = 3;
    static QString touched;
    static bool happened;
    touched = fixtures::writeEnhancedMultiFrame(m_dir.filePath(QStringLiteral("touched.dcm")), layout);
    happened = false;
    dicom::testing::setBeforeWalkHook(
        [](void*) {
            dicom::testing::setBeforeWalkHook(nullptr, nullptr);
            happened = fixtures::touchLater(touched);
        },
        nullptr);
    const auto summary = dicom::readFileSummary(touched);
    dicom::testing::setBeforeWalkHook(nullptr, nullptr);
    QVERIFY(happened);
    QVERIFY(summary);
    QCOMPARE(summary->numberOfFrames, 3);
}

// A file still being copied when it is opened: what was read of it looks cut short, and the rest
// arrives while it is walked. That it changed is what the reader finds, and it reads it once more.
void MutationsTest::fileStillWrittenIsReadOnceMore_data()
{
    QTest::addColumn<int>("side");
    QTest::newRow("an image read whole") << 16;
    QTest::newRow("a 1.5 MB file read as walked") << 512;
}

void MutationsTest::fileStillWrittenIsReadOnceMore()
{
    QFETCH(int, side);
    SeriesLayout layout = smallLayout();
    layout.rows = layout.columns = side;
    layout.slices = 3;
    static QString written;
    static QByteArray whole;
    written = fixtures::writeEnhancedMultiFrame(m_dir.filePath(QStringLiteral("written_%1.dcm").arg(side)), layout);
    QFile file(written);
    QVERIFY(file.open(QIODevice::ReadOnly));
    whole = file.readAll();
    file.close();
    QVERIFY(QFile::resize(written, whole.size() * 2 / 3));
    dicom::testing::setBeforeWalkHook(
        [](void*) {
            dicom::testing::setBeforeWalkHook(nullptr, nullptr);
            QFile rest(written);
            if (rest.open(QIODevice::Append))
                rest.write(whole.mid(rest.size()));
        },
        nullptr);
    DcmFileFormat loaded;
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    const OFCondition status = dicom::loadDicomFile(loaded, written, dicom::ValueLoading::Lazy, &hazard);
    dicom::testing::setBeforeWalkHook(nullptr, nullptr);
    QCOMPARE(QFileInfo(written).size(), whole.size());
    QCOMPARE(int(hazard), int(dicom::ParseHazard::None));
    QVERIFY(status.good());
}

// A row's object is proven by the file's version as listed, or else by the UID read from the same
// opening: another object under the path is refused whatever its version.
void MutationsTest::rowObjectIsProvenFromTheOpening_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("versionListed");
    QTest::addColumn<int>("hazard");
    QTest::newRow("in the version listed") << "none" << true << int(dicom::ParseHazard::None);
    QTest::newRow("no version listed") << "none" << false << int(dicom::ParseHazard::None);
    QTest::newRow("touched since listed") << "touch" << true << int(dicom::ParseHazard::None);
    QTest::newRow("another object renamed over") << "other" << true << int(dicom::ParseHazard::OtherObject);
    QTest::newRow("another object, no version listed") << "other" << false << int(dicom::ParseHazard::OtherObject);
}

void MutationsTest::rowObjectIsProvenFromTheOpening()
{
    QFETCH(QString, change);
    QFETCH(bool, versionListed);
    QFETCH(int, hazard);
    QTemporaryDir folder;
    SeriesLayout layout = smallLayout();
    layout.slices = 2;
    fixtures::completeUids(layout);
    const QString path = fixtures::writeSlice(folder.filePath(QStringLiteral("row.dcm")), layout, 0);
    const QString other = fixtures::writeSlice(folder.filePath(QStringLiteral("other.dcm")), layout, 1);
    const auto listed = dicom::readFileSummary(path);
    QVERIFY(listed);
    const dicom::RowObject row{listed->sopInstanceUid,
                               versionListed ? dicom::fileIdentity(path).text() : QString()};
    if (change == "touch")
        QVERIFY(fixtures::touchLater(path));
    else if (change == "other")
        QVERIFY(fixtures::renameOver(other, path));
    DcmFileFormat loaded;
    dicom::ParseHazard found = dicom::ParseHazard::None;
    const OFCondition status = dicom::loadDicomFile(loaded, path, dicom::ValueLoading::Lazy, &found, nullptr,
                                                    nullptr, row);
    QCOMPARE(int(found), hazard);
    QCOMPARE(status.good(), hazard == int(dicom::ParseHazard::None));
}

void MutationsTest::hiddenCostsAreRefusedCheaply_data()
{
    QTest::addColumn<HostileWriter>("write");
    QTest::addColumn<int>("hazard");
    QTest::newRow("65000 elements in descending order in a private sequence")
        << HostileWriter([](const QString& path) { return fixtures::writeElementsInPrivateSequence(path, 65000); })
        << int(dicom::ParseHazard::ElementsOutOfOrder);
    for (HostileShape shape : {HostileShape::DeflateInMetaSequence, HostileShape::DeflatedWithoutPreamble}) {
        QTest::addRow("%s, 1 GiB", shapeName(shape))
            << HostileWriter([shape](const QString& path) { return fixtures::writeHostileShapeOverGigabyte(path, shape); })
            << int(dicom::ParseHazard::InflatesTooFar);
    }
}

void MutationsTest::hiddenCostsAreRefusedCheaply()
{
    QFETCH(HostileWriter, write);
    QFETCH(int, hazard);
    QTemporaryDir folder;
    const QString path = write(folder.filePath(QStringLiteral("costly.dcm")));
    QVERIFY(QFileInfo(path).size() < 2 * 1024 * 1024);
    // Read whole, these took DCMTK seconds and a gigabyte.
    QVERIFY(fixtures::resetPeakResidentMemory());
    const qint64 before = fixtures::residentBytes("VmRSS");
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(int(dicom::parseHazard(path)), hazard);
    const qint64 ms = clock.elapsed();
    const qint64 grown = fixtures::residentBytes("VmHWM") - before;
    qInfo("refused in %lld ms, peak resident memory %+lld KB", ms, grown / 1024);
    QVERIFY2(ms < 10000, qPrintable(QStringLiteral("%1 ms").arg(ms)));
    QVERIFY2(grown < 32ll * 1024 * 1024, qPrintable(QStringLiteral("peak grew by %1 MB").arg(grown >> 20)));
}

void MutationsTest::hostilePixelHeaders_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("bitsAllocated");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("message");
    const QString tooLarge = QStringLiteral("Слишком большой кадр: 12×%1.");
    // Declared fields whose product passes 64 bits: the size check must still see a huge frame.
    QTest::newRow("samples and bits at most") << 65535 << 65535 << 16 << 1 << tooLarge.arg(16);
    QTest::newRow("frames at most") << 65535 << 65535 << 16 << 2147483647 << tooLarge.arg(16);
    QTest::newRow("rows, samples and bits at most") << 65535 << 65535 << 65535 << 3 << tooLarge.arg(65535);
    QTest::newRow("frames beyond the pixels")
        << 1 << 16 << 16 << 2147483647 << QStringLiteral("Пиксельные данные обрезаны или не соответствуют размеру изображения.");
}

void MutationsTest::hostilePixelHeaders()
{
    QFETCH(int, samples);
    QFETCH(int, bitsAllocated);
    QFETCH(int, rows);
    QFETCH(int, frames);
    QFETCH(QString, message);
    SeriesLayout layout = smallLayout();
    layout.customize = [&](DcmDataset& ds, int) {
        ds.putAndInsertUint16(DCM_SamplesPerPixel, Uint16(samples));
        ds.putAndInsertUint16(DCM_BitsAllocated, Uint16(bitsAllocated));
        ds.putAndInsertUint16(DCM_Rows, Uint16(rows));
        ds.putAndInsertString(DCM_NumberOfFrames, QByteArray::number(frames).constData());
    };
    const QString path = fixtures::writeSlice(m_dir.filePath(QStringLiteral("header_%1.dcm").arg(QTest::currentDataTag())), layout, 0);
    QString error;
    QVERIFY(!dicom::decodeFrame(path, -1, std::nullopt, &error));
    QCOMPARE(error, message);
}

void MutationsTest::nonFiniteNumbersAreIgnored()
{
    SeriesLayout layout = smallLayout();
    layout.customize = [](DcmDataset& ds, int) {
        ds.putAndInsertString(DCM_PixelSpacing, "nan\\inf");
        ds.putAndInsertString(DCM_SliceThickness, "inf");
        ds.putAndInsertString(DCM_WindowCenter, "nan\\40");
        ds.putAndInsertString(DCM_WindowWidth, "-inf");
        ds.putAndInsertString(DCM_RescaleSlope, "NaN");
        ds.putAndInsertString(DCM_ImagePositionPatient, "1\\inf\\3");
        ds.putAndInsertString(DCM_AcquisitionTime, "1200nan");
    };
    const auto summary = dicom::readFileSummary(fixtures::writeSlice(m_dir.filePath(QStringLiteral("nan.dcm")), layout, 0));
    QVERIFY(summary);
    QCOMPARE(summary->pixelSpacingX, 0.0);
    QCOMPARE(summary->pixelSpacingY, 0.0);
    QCOMPARE(summary->sliceThickness, 0.0);
    QCOMPARE(summary->windowCenter, 0.0);
    QCOMPARE(summary->windowWidth, 0.0);
    QCOMPARE(summary->rescaleSlope, 1.0);
    QCOMPARE(summary->imagePosition, (std::array<double, 3>{1.0, 0.0, 3.0}));
    QCOMPARE(summary->acquisitionTimeSeconds, 12 * 3600.0);
}

void MutationsTest::declaredFramesBeyondPixelData_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("declared");
    QTest::addColumn<int>("expected"); // 0: not listed
    // The index makes one row per frame: only frames the pixel data holds may count. An image is listed
    // only with all the native pixels its header declares; compressed frames count by their fragments.
    QTest::newRow("classic, honest") << "classic" << QString() << 4;
    QTest::newRow("classic, two billion") << "classic" << "2000000000" << 0;
    QTest::newRow("classic, one more") << "classic" << "5" << 0;
    QTest::newRow("enhanced, two billion") << "enhanced" << "2000000000" << 0;
    QTest::newRow("JPEG, a million") << "jpeg" << "1000000" << 1;
    QTest::newRow("no pixel data") << "nopixels" << "5000" << 0;
    QTest::newRow("single frame") << "single" << QString() << 1;
    // Files still being written, their end exactly where the pixel data is to start: whole elements
    // that parse cleanly.
    QTest::newRow("single frame cut where its pixel data starts") << "single cut" << QString() << 0;
    QTest::newRow("6000 frames cut where the pixel data starts") << "classic cut" << "6000" << 0;
}

void MutationsTest::declaredFramesBeyondPixelData()
{
    QFETCH(QString, kind);
    QFETCH(QString, declared);
    QFETCH(int, expected);
    SeriesLayout layout = smallLayout();
    layout.customize = [&](DcmDataset& ds, int) {
        if (!declared.isEmpty())
            ds.putAndInsertString(DCM_NumberOfFrames, declared.toLatin1().constData());
        if (kind == QLatin1String("nopixels"))
            ds.findAndDeleteElement(DCM_PixelData);
    };
    const QString path = m_dir.filePath(QStringLiteral("frames_%1.dcm").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
    if (kind.startsWith(QLatin1String("classic"))) {
        fixtures::writeMultiFrame(path, layout);
    } else if (kind == QLatin1String("enhanced")) {
        fixtures::writeEnhancedMultiFrame(path, layout);
    } else {
        if (kind == QLatin1String("jpeg")) {
            layout.pixels = fixtures::PixelKind::UInt8;
            layout.compression = fixtures::Compression::JpegBaseline;
        }
        fixtures::writeSlice(path, layout, 0);
    }
    if (kind.endsWith(QLatin1String(" cut"))) {
        const qsizetype pixelData = bytesOf(path).indexOf(QByteArray("\xE0\x7F\x10\x00OW", 6));
        QVERIFY(pixelData > 0);
        QVERIFY(QFile::resize(path, pixelData));
    }
    const auto summary = dicom::readFileSummary(path);
    QCOMPARE(summary.has_value(), expected > 0);
    if (!summary)
        return;
    QCOMPARE(summary->numberOfFrames, expected);

    db::Database index;
    QVERIFY(index.open(m_dir.filePath(QStringLiteral("frames.sqlite"))));
    QVERIFY(index.indexFile(*summary));
    QCOMPARE(index.instancesForSeries(summary->seriesInstanceUid).size(), expected);
}

void MutationsTest::jpegMarkersThatStallTheDecoder_data()
{
    QTest::addColumn<FragmentEdit>("edit");
    QTest::addColumn<bool>("refused");
    const auto replaceHead = [](const char* to) {
        return FragmentEdit([to](const QByteArray& jpeg) { return QByteArray(to, 6) + jpeg.mid(6); });
    };
    // A TEM marker where the JFIF segment was, and one right at the start of the fragment.
    QTest::newRow("after SOI") << replaceHead("\xFF\xD8\xFF\x01\x00\x10") << true;
    QTest::newRow("instead of SOI") << replaceHead("\xFF\x01\x00\x00\x00\x10") << true;
    // Fill bytes are stepped over one byte at a time, so the walk meets the TEM marker behind them;
    // one segment length carries the walk far into the fragment.
    QTest::newRow("fill bytes, then TEM") << FragmentEdit(fixtures::jpegWithFillBytesThenTem) << true;
    QTest::newRow("TEM after a 65,520-byte APP segment")
        << FragmentEdit(fixtures::jpegWithTemAfterLongSegment) << true;
    // A comment segment in place of the JFIF one, and a long APP segment before the frame header,
    // are harmless and must still decode.
    QTest::newRow("comment") << replaceHead("\xFF\xD8\xFF\xFE\x00\x10") << false;
    QTest::newRow("long APP segment, then the frame") << FragmentEdit(fixtures::jpegWithLongSegment) << false;
}

void MutationsTest::jpegMarkersThatStallTheDecoder()
{
    QFETCH(FragmentEdit, edit);
    QFETCH(bool, refused);
    SeriesLayout layout = smallLayout();
    layout.pixels = fixtures::PixelKind::UInt8;
    layout.compression = fixtures::Compression::JpegBaseline;
    const QString path = m_dir.filePath(QStringLiteral("tem_%1.dcm").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_')));
    fixtures::writeSlice(path, layout, 0);
    bool jfif = false; // the edits take the place of the encoder's JFIF segment
    fixtures::rewriteFirstFragment(path, [&](const QByteArray& jpeg) {
        jfif = jpeg.startsWith("\xFF\xD8\xFF\xE0\x00\x10");
        return edit(jpeg);
    });
    QVERIFY(jfif);

    // DCMTK's decoder never returns from such data: watch it from here rather than hang the test.
    // Copies and tag edits decode the pixels as well before they write; data that cannot be
    // decoded is written still compressed.
    std::optional<dicom::DecodedFrame> frame;
    QString error;
    bool anonymized = false;
    bool compressed = false;
    bool edited = false;
    const QString copy = path + QStringLiteral(".copy");
    const QString compressedCopy = path + QStringLiteral(".jls");
    QThread* thread = QThread::create([&] {
        frame = dicom::decodeFrame(path, 0, std::nullopt, &error);
        anonymized = dicom::writeAnonymizedCopy(path, copy, QStringLiteral("ANON"), QStringLiteral("ANON"));
        compressed = dicom::writeCompressedCopy(path, compressedCopy);
        edited = dicom::writeTagValues(path, {dicom::TagEntry{0x0008, 0x103E, {}, {}, QStringLiteral("edited")}});
    });
    thread->start();
    if (!thread->wait(20000))
        qFatal("decoding did not return for %s", qPrintable(path));
    delete thread;
    QVERIFY(anonymized);
    QVERIFY(compressed);
    QVERIFY(edited);
    QCOMPARE(dicom::readFileSummary(copy)->patientName, QStringLiteral("ANON"));
    QCOMPARE(dicom::readFileSummary(path)->seriesDescription, QStringLiteral("edited"));
    QCOMPARE(!frame, refused);
    if (refused)
        QCOMPARE(error, QStringLiteral("Сжатые пиксельные данные повреждены: недопустимый маркер JPEG во фрагменте 1."));
}

void MutationsTest::mutatedFilesGiveCleanResults()
{
    // Seeded: a failure names the base and the round, and the same run can be repeated.
    // KALVENOR_MUTATION_ROUNDS and KALVENOR_MUTATION_SEED run a longer or different campaign by hand.
    const int longRun = qEnvironmentVariableIntValue("KALVENOR_MUTATION_ROUNDS");
    const int kRoundsPerBase = longRun > 0 ? longRun : 300;
    const qint64 kBudgetMsPerBase = longRun > 0 ? qint64(longRun) * 100 : 1500;
    const int seed = qEnvironmentVariableIntValue("KALVENOR_MUTATION_SEED");
    QRandomGenerator random(seed != 0 ? quint32(seed) : 20261206u);
    QElapsedTimer slowest;
    qint64 worstMs = 0;
    int rounds = 0;
    int summaries = 0;
    int frames = 0;
    db::Database index;
    QVERIFY(index.open(m_dir.filePath(QStringLiteral("mutations.sqlite"))));
    for (const Base& base : std::as_const(m_bases)) {
        const QByteArray original = readAll(base.path);
        QVERIFY(!original.isEmpty());
        QElapsedTimer budget;
        budget.start();
        // At least a few rounds per base however loaded the machine is; more while the budget lasts.
        for (int round = 0; round < kRoundsPerBase && (round < 20 || budget.elapsed() < kBudgetMsPerBase); ++round) {
            QByteArray bytes = original;
            const int changes = random.bounded(3) == 0 ? 2 : 1;
            for (int c = 0; c < changes; ++c)
                bytes = mutate(bytes, random);
            // A new name each round: the decoder's cache must not answer for an earlier file.
            const QString path = m_dir.filePath(QStringLiteral("m_%1_%2.dcm").arg(base.name).arg(round));
            writeAll(path, bytes);
            const QString where = QStringLiteral("%1 round %2").arg(base.name).arg(round);

            slowest.start();
            if (const auto summary = dicom::readFileSummary(path)) {
                ++summaries;
                QVERIFY2(!summary->sopInstanceUid.isEmpty(), qPrintable(where));
                // Whatever the summary holds, the index takes it or refuses it with a message.
                if (!index.indexFile(*summary))
                    QVERIFY2(!index.lastError().isEmpty(), qPrintable(where));
            }
            // The tag editor and the dose readers open the same files.
            const QList<dicom::TagEntry> tags = dicom::readTagList(path);
            QVERIFY2(tags.isEmpty() || tags.size() < bytes.size(), qPrintable(where));
            dicom::readDoseReportDlp(path);
            static const int kFrames[] = {-1, 0, 1, 3, 1000000};
            const int frame = kFrames[random.bounded(int(std::size(kFrames)))];
            std::optional<render::WindowLevel> window;
            if (random.bounded(2) == 0)
                window = render::WindowLevel{random.bounded(2000.0) - 1000.0, random.bounded(3000.0) - 10.0};
            QString error;
            const auto decoded = dicom::decodeFrame(path, frame, window, &error);
            if (decoded) {
                ++frames;
                QVERIFY2(!decoded->image.isNull(), qPrintable(where));
                QVERIFY2(error.isEmpty(), qPrintable(where));
            } else {
                QVERIFY2(!error.isEmpty(), qPrintable(where));
            }
            worstMs = qMax(worstMs, slowest.elapsed());
            QFile::remove(path);
            ++rounds;
        }
    }
    qInfo("%d mutated files: %d summaries, %d frames decoded, slowest %lld ms", rounds, summaries, frames, worstMs);
    // A hang would show as one file taking many seconds (DCMTK must not loop on a lying length);
    // the bound leaves room for a loaded machine.
    QVERIFY2(worstMs < 30000, qPrintable(QString::number(worstMs)));
}

void MutationsTest::importerSurvivesMutatedFolder()
{
    QTemporaryDir folder;
    QRandomGenerator random(7);
    int written = 0;
    for (const Base& base : std::as_const(m_bases)) {
        QFile::copy(base.path, folder.filePath(QStringLiteral("whole_%1.dcm").arg(base.name)));
        ++written;
        const QByteArray original = readAll(base.path);
        for (int i = 0; i < 8; ++i) {
            writeAll(folder.filePath(QStringLiteral("m_%1_%2.dcm").arg(base.name).arg(i)), mutate(original, random));
            ++written;
        }
    }
    QVERIFY(!writeNestedFile(folder.filePath(QStringLiteral("deep.dcm")), 50000, Layout::ExplicitLittle).isEmpty());
    ++written;

    int found = -1;
    int skipped = -1;
    int summaries = 0;
    runOnParsingThread([&] {
        dicom::DicomImporter importer;
        QObject::connect(&importer, &dicom::DicomImporter::fileFound, [&](const dicom::DicomFileSummary&) { ++summaries; });
        QObject::connect(&importer, &dicom::DicomImporter::finished, [&](int f, int s) {
            found = f;
            skipped = s;
        });
        importer.importDirectory(folder.path());
    });
    QCOMPARE(found + skipped, written);
    QCOMPARE(found, summaries);
    QVERIFY(found >= int(m_bases.size())); // the untouched copies at least
}

void MutationsTest::importerLeavesSpecialFilesAlone()
{
    // A pipe would block the first read for ever, a device would never end: neither is a file to scan.
    QTemporaryDir folder;
    fixtures::writeSlice(folder.filePath(QStringLiteral("fine.dcm")), smallLayout(), 0);
    QVERIFY(::mkfifo(QFile::encodeName(folder.filePath(QStringLiteral("pipe.dcm"))).constData(), 0600) == 0);
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), folder.filePath(QStringLiteral("zero.dcm"))));
    QVERIFY(QFile::link(folder.filePath(QStringLiteral("pipe.dcm")), folder.filePath(QStringLiteral("link.dcm"))));
    int found = -1;
    int skipped = -1;
    QThread* thread = QThread::create([&] {
        dicom::DicomImporter importer;
        QObject::connect(&importer, &dicom::DicomImporter::finished, [&](int f, int s) {
            found = f;
            skipped = s;
        });
        importer.importDirectory(folder.path());
    });
    thread->setStackSize(dicom::kParsingThreadStackSize);
    thread->start();
    if (!thread->wait(20000))
        qFatal("the importer did not return from a folder with a pipe and a device");
    delete thread;
    QCOMPARE(found, 1);
    QCOMPARE(skipped, 2); // the links are seen and skipped; the pipe itself is no file to the scan
    QVERIFY(!dicom::readFileSummary(folder.filePath(QStringLiteral("link.dcm"))));
}

void MutationsTest::archiveImportSurvivesMutations()
{
    QTemporaryDir work;
    const int seed = qEnvironmentVariableIntValue("KALVENOR_MUTATION_SEED");
    QRandomGenerator random(seed != 0 ? quint32(seed) : 11u);
    const int rounds = qMax(24, qEnvironmentVariableIntValue("KALVENOR_MUTATION_ROUNDS") / 4);
    // One archive of whole, mutated and deeply nested files.
    QList<QPair<QString, QByteArray>> contents;
    for (const Base& base : std::as_const(m_bases)) {
        const QByteArray original = readAll(base.path);
        contents.append({base.name + QStringLiteral(".dcm"), original});
        for (int i = 0; i < 3; ++i)
            contents.append({QStringLiteral("m/%1_%2.dcm").arg(base.name).arg(i), mutate(original, random)});
    }
    const QString deep = writeNestedFile(work.filePath(QStringLiteral("deep.dcm")), 60000, Layout::UnknownVr);
    contents.append({QStringLiteral("deep.dcm"), readAll(deep)});
    const QString zipPath = work.filePath(QStringLiteral("input.zip"));
    const QString sevenZipPath = work.filePath(QStringLiteral("input.7z"));
    writeArchive(zipPath, contents);
    writeArchive(sevenZipPath, contents);
    const int entries = int(contents.size());
    const QByteArray zipBytes = readAll(zipPath);
    const QByteArray sevenZipBytes = readAll(sevenZipPath);

    for (int round = 0; round < rounds; ++round) {
        // Rounds 0 and 1 are the archives as written; the others damage the archives themselves.
        const bool sevenZip = round % 2 == 1;
        const QByteArray& archiveBytes = sevenZip ? sevenZipBytes : zipBytes;
        const QString path = work.filePath(QStringLiteral("round%1.%2").arg(round).arg(sevenZip ? "7z" : "zip"));
        writeAll(path, round < 2 ? archiveBytes : mutate(archiveBytes, random));
        const ArchiveImport result = importArchive(path, work.filePath(QStringLiteral("store%1").arg(round)));
        QVERIFY2(result.imported >= 0, qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(result.imported, result.summaries);
        QCOMPARE(result.missing, 0);
        QVERIFY(result.imported + result.skipped <= entries);
        if (round < 2) {
            QVERIFY2(result.message.isEmpty(), qPrintable(result.message));
            QCOMPARE(result.imported + result.skipped, entries);
            QVERIFY(result.skipped >= 1); // the deeply nested file
            QVERIFY(result.imported >= int(m_bases.size()));
        }
    }
}

void MutationsTest::archiveImportKeepsGoodFilesBesideHostileShapes()
{
    // Every shape nested as deep as crashes a reader that trusts a walk of its own, the costly ones,
    // and the good files: a 6 KB ZIP or a 2 KB 7z of the first used to end the program.
    QTemporaryDir work;
    QList<QPair<QString, QByteArray>> contents;
    for (const Base& base : std::as_const(m_bases))
        contents.append({QStringLiteral("good/%1.dcm").arg(base.name), readAll(base.path)});
    const int good = int(contents.size());
    for (HostileShape shape : kShapes) {
        const QString path = work.filePath(QStringLiteral("shape%1.dcm").arg(int(shape)));
        contents.append({QStringLiteral("bad/%1.dcm").arg(int(shape)), readAll(fixtures::writeHostileShape(path, shape, 20000))});
    }
    const QString costly = work.filePath(QStringLiteral("costly.dcm"));
    contents.append({QStringLiteral("bad/elements.dcm"), readAll(fixtures::writeElementsInPrivateSequence(costly, 65000))});
    contents.append({QStringLiteral("bad/inflates.dcm"),
                     readAll(fixtures::writeHostileShapeOverGigabyte(costly, HostileShape::DeflateInMetaSequence))});
    for (const QString& name : {QStringLiteral("input.zip"), QStringLiteral("input.7z")}) {
        const QString archive = work.filePath(name);
        writeArchive(archive, contents);
        const ArchiveImport result = importArchive(archive, work.filePath(name + QStringLiteral(".store")));
        QVERIFY2(result.message.isEmpty(), qPrintable(result.message));
        QCOMPARE(result.imported, good);
        QCOMPARE(result.summaries, good);
        QCOMPARE(result.missing, 0);
        QCOMPARE(result.skipped, int(contents.size()) - good);
    }
}

QTEST_GUILESS_MAIN(MutationsTest)
#include "tst_mutations.moc"
