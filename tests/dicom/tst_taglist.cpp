// The tag editor's reader and writer against real files: order and shape of the list, multi-values,
// refused edits that leave the file alone, kept VRs, and text that reads back right whatever
// character set the file declared.
#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomTagList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcvrlt.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>

using namespace fixtures;
using dicom::TagEntry;

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::unique_ptr<DcmFileFormat> load(const QString& path)
{
    auto file = std::make_unique<DcmFileFormat>();
    if (file->loadFile(QFile::encodeName(path).constData()).bad())
        return nullptr;
    return file;
}

QByteArray rawValue(DcmItem& item, const DcmTagKey& tag)
{
    const char* v = nullptr;
    Uint32 length = 0;
    if (item.findAndGetString(tag, v, length).bad() || !v)
        return {};
    return QByteArray(v, int(length));
}

const TagEntry* find(const QList<TagEntry>& list, quint16 group, quint16 element)
{
    for (const TagEntry& e : list)
        if (e.group == group && e.element == element)
            return &e;
    return nullptr;
}

TagEntry edit(quint16 group, quint16 element, const QString& value)
{
    TagEntry e;
    e.group = group;
    e.element = element;
    e.value = value;
    return e;
}

} // namespace

class TstTagList : public QObject
{
    Q_OBJECT

private slots:
    void listsMetaFirstWithoutPixelData();
    void listOfBadFiles();
    void backslashStoresSeveralValues();
    void refusedEntries_data();
    void refusedEntries();
    void existingElementKeepsItsVr();
    void nonAsciiSwitchesToUtf8_data();
    void nonAsciiSwitchesToUtf8();
    void unconvertibleCharsetRefused();
    void compressedFileWrittenDecoded();
    void largeDataSetTakesOnePass_data();
    void largeDataSetTakesOnePass();

private:
    QString sample(const QString& name, SeriesLayout layout = {})
    {
        layout.rows = 16;
        layout.columns = 16;
        layout.slices = 1;
        return writeSlice(m_dir.filePath(name), layout, 0);
    }

    QTemporaryDir m_dir;
    dicom::CodecRegistrationScope m_codecs;
};

void TstTagList::listsMetaFirstWithoutPixelData()
{
    SeriesLayout layout;
    layout.customize = [](DcmDataset& ds, int) {
        DcmItem* item = nullptr;
        ds.findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
        item->putAndInsertString(DCM_CodeValue, "NESTED");
        ds.putAndInsertString(DCM_ImageType, "ORIGINAL\\PRIMARY\\AXIAL");
    };
    layout.patientName = QStringLiteral("Иванов^Иван");
    const QString path = sample(QStringLiteral("list.dcm"), layout);

    QString error;
    const QList<TagEntry> list = dicom::readTagList(path, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(list.size() > 10);
    // Meta information first, all of it, then never again.
    int firstDataset = 0;
    while (firstDataset < list.size() && list[firstDataset].group == 0x0002)
        ++firstDataset;
    QVERIFY(firstDataset >= 4);
    for (int i = firstDataset; i < list.size(); ++i)
        QVERIFY(list[i].group != 0x0002);
    QVERIFY(!find(list, 0x7fe0, 0x0010));
    QVERIFY(!find(list, 0x0008, 0x0100)); // items of sequences are not listed

    const TagEntry* transferSyntax = find(list, 0x0002, 0x0010);
    QVERIFY(transferSyntax);
    QCOMPARE(transferSyntax->value, QStringLiteral("1.2.840.10008.1.2.1"));
    const TagEntry* sequence = find(list, 0x0008, 0x1032);
    QVERIFY(sequence);
    QCOMPARE(sequence->vr, QStringLiteral("SQ"));
    QVERIFY(sequence->value.isEmpty());
    const TagEntry* name = find(list, 0x0010, 0x0010);
    QVERIFY(name);
    QCOMPARE(name->vr, QStringLiteral("PN"));
    QCOMPARE(name->name, QStringLiteral("PatientName"));
    QCOMPARE(name->value, QStringLiteral("Иванов^Иван"));
    QCOMPARE(find(list, 0x0008, 0x0008)->value, QStringLiteral("ORIGINAL\\PRIMARY\\AXIAL"));
    // Stored order within the data set.
    for (int i = firstDataset + 1; i < list.size(); ++i)
        QVERIFY((quint32(list[i - 1].group) << 16 | list[i - 1].element) < (quint32(list[i].group) << 16 | list[i].element));
}

void TstTagList::listOfBadFiles()
{
    // The path, then the reading's reason.
    const auto refusal = [](const QString& path) {
        return QStringLiteral("Не удалось открыть файл: %1\n").arg(path);
    };
    const QString missing = m_dir.filePath(QStringLiteral("missing.dcm"));
    QString error;
    QVERIFY(dicom::readTagList(missing, &error).isEmpty());
    QVERIFY2(error.startsWith(refusal(missing)) && error.contains(QStringLiteral("не найден")),
             qPrintable(error));

    const QString garbage = m_dir.filePath(QStringLiteral("garbage.dcm"));
    writeDicmWithPayload(garbage, QByteArray(64, '\xee'));
    error.clear();
    QVERIFY(dicom::readTagList(garbage, &error).isEmpty());
    QVERIFY2(error.startsWith(refusal(garbage)) && error.size() > refusal(garbage).size(), qPrintable(error));

    error.clear();
    QVERIFY(!dicom::writeTagValues(missing, {edit(0x0010, 0x0010, QStringLiteral("X"))}, &error));
    QVERIFY2(error.startsWith(refusal(missing)) && error.contains(QStringLiteral("не найден")),
             qPrintable(error));
    QVERIFY(!QFileInfo::exists(missing));
}

void TstTagList::backslashStoresSeveralValues()
{
    const QString path = sample(QStringLiteral("multi.dcm"));
    QString error;
    QVERIFY2(dicom::writeTagValues(path,
                                   {edit(0x0028, 0x1050, QStringLiteral("40\\400")),
                                    edit(0x0010, 0x0010, QStringLiteral("New^Name")),
                                    edit(0x0008, 0x1030, QStringLiteral("New study")), // absent before: inserted
                                    edit(0x0010, 0x1030, QString())},
                                   &error),
             qPrintable(error));
    auto file = load(path);
    QVERIFY(file);
    DcmDataset& ds = *file->getDataset();
    DcmElement* centre = nullptr;
    QVERIFY(ds.findAndGetElement(DCM_WindowCenter, centre).good());
    QCOMPARE(centre->getVM(), 2UL);
    Float64 second = 0;
    QVERIFY(ds.findAndGetFloat64(DCM_WindowCenter, second, 1).good());
    QCOMPARE(second, 400.0);
    QCOMPARE(rawValue(ds, DCM_PatientName), QByteArray("New^Name"));
    QCOMPARE(rawValue(ds, DCM_StudyDescription), QByteArray("New study"));
    DcmElement* weight = nullptr;
    QVERIFY(ds.findAndGetElement(DCM_PatientWeight, weight).good());
    QCOMPARE(weight->getLength(), 0U);
    // ASCII edits leave the character set alone.
    DcmElement* charset = nullptr;
    QVERIFY(ds.findAndGetElement(DCM_SpecificCharacterSet, charset).bad());
    const QStringList leftovers = QDir(m_dir.path()).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden);
    QVERIFY(leftovers.isEmpty());
}

void TstTagList::refusedEntries_data()
{
    QTest::addColumn<quint16>("group");
    QTest::addColumn<quint16>("element");
    QTest::addColumn<QString>("tagText");
    QTest::newRow("pixel data") << quint16(0x7fe0) << quint16(0x0010) << QStringLiteral("(7fe0,0010)");
    QTest::newRow("meta information") << quint16(0x0002) << quint16(0x0010) << QStringLiteral("(0002,0010)");
    QTest::newRow("existing sequence") << quint16(0x0008) << quint16(0x1032) << QStringLiteral("(0008,1032)");
    QTest::newRow("dictionary sequence") << quint16(0x0040) << quint16(0xa730) << QStringLiteral("(0040,a730)");
    // A Patient's Name that a device stored as a sequence cannot take text either.
    QTest::newRow("patient name as sequence") << quint16(0x0010) << quint16(0x0010) << QStringLiteral("(0010,0010)");
}

void TstTagList::refusedEntries()
{
    QFETCH(quint16, group);
    QFETCH(quint16, element);
    QFETCH(QString, tagText);
    SeriesLayout layout;
    layout.customize = [](DcmDataset& ds, int) {
        DcmItem* item = nullptr;
        ds.findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
        item->putAndInsertString(DCM_CodeValue, "X");
        delete ds.remove(DCM_PatientName);
        auto* odd = new DcmSequenceOfItems(DcmTag(DCM_PatientName, EVR_SQ));
        odd->append(new DcmItem());
        ds.insert(odd, OFTrue);
    };
    const QString path = sample(QStringLiteral("refused_%1_%2.dcm").arg(group).arg(element), layout);
    const QByteArray before = bytesOf(path);

    QString error;
    // A good edit before the bad one must not reach the file either.
    QVERIFY(!dicom::writeTagValues(path, {edit(0x0008, 0x103e, QStringLiteral("changed")), edit(group, element, QStringLiteral("1\\2"))},
                                   &error));
    QVERIFY2(error.startsWith(QStringLiteral("Не удалось записать тег %1: ").arg(tagText)), qPrintable(error));
    QCOMPARE(bytesOf(path), before);
}

void TstTagList::existingElementKeepsItsVr()
{
    SeriesLayout layout;
    layout.customize = [](DcmDataset& ds, int) {
        // Series Description written as LT by some device (the dictionary says LO).
        delete ds.remove(DCM_SeriesDescription);
        auto* lt = new DcmLongText(DcmTag(DCM_SeriesDescription, EVR_LT));
        lt->putString("short");
        ds.insert(lt, OFTrue);
    };
    const QString path = sample(QStringLiteral("vr.dcm"), layout);
    const QString longText = QString(100, QLatin1Char('a')) + QStringLiteral("\\not a separator in LT");
    QString error;
    QVERIFY2(dicom::writeTagValues(path, {edit(0x0008, 0x103e, longText)}, &error), qPrintable(error));
    const QList<TagEntry> list = dicom::readTagList(path, &error);
    const TagEntry* entry = find(list, 0x0008, 0x103e);
    QVERIFY(entry);
    QCOMPARE(entry->vr, QStringLiteral("LT"));
    QCOMPARE(entry->value, longText);
}

void TstTagList::nonAsciiSwitchesToUtf8_data()
{
    QTest::addColumn<QString>("declared");
    QTest::addColumn<int>("encoding");
    QTest::newRow("ISO_IR 144") << QStringLiteral("ISO_IR 144") << int(TextEncoding::Iso8859_5);
    QTest::newRow("undeclared Windows-1251") << QString() << int(TextEncoding::Windows1251);
    QTest::newRow("default repertoire, Windows-1251") << QStringLiteral("ISO_IR 6") << int(TextEncoding::Windows1251);
    QTest::newRow("ISO_IR 192") << QStringLiteral("ISO_IR 192") << int(TextEncoding::Utf8);
}

void TstTagList::nonAsciiSwitchesToUtf8()
{
    QFETCH(QString, declared);
    QFETCH(int, encoding);
    SeriesLayout layout;
    layout.specificCharacterSet = declared;
    layout.textEncoding = TextEncoding(encoding);
    layout.studyDescription = QStringLiteral("Исследование грудной клетки");
    layout.customize = [](DcmDataset& ds, int) {
        DcmItem* item = nullptr;
        ds.findOrCreateSequenceItem(DCM_ProcedureCodeSequence, item, -2);
        item->putAndInsertString(DCM_CodeValue, "CT1");
    };
    const QString path = sample(QStringLiteral("charset_%1.dcm").arg(encoding), layout);
    QCOMPARE(find(dicom::readTagList(path), 0x0008, 0x1030)->value, layout.studyDescription);

    QString error;
    const QString name = QStringLiteral("Петров^Пётр");
    QVERIFY2(dicom::writeTagValues(path, {edit(0x0010, 0x0010, name)}, &error), qPrintable(error));

    const QList<TagEntry> list = dicom::readTagList(path, &error);
    QCOMPARE(find(list, 0x0010, 0x0010)->value, name);
    QCOMPARE(find(list, 0x0008, 0x1030)->value, layout.studyDescription);
    QCOMPARE(find(list, 0x0008, 0x0005)->value, QStringLiteral("ISO_IR 192"));
    auto file = load(path);
    DcmDataset& ds = *file->getDataset();
    QCOMPARE(rawValue(ds, DCM_PatientName), name.toUtf8());
    QCOMPARE(rawValue(ds, DCM_StudyDescription), layout.studyDescription.toUtf8());
}

void TstTagList::unconvertibleCharsetRefused()
{
    SeriesLayout layout;
    layout.specificCharacterSet = QStringLiteral("ISO_IR 999");
    layout.textEncoding = TextEncoding::Windows1251;
    layout.studyDescription = QStringLiteral("Описание");
    const QString path = sample(QStringLiteral("charset_unknown.dcm"), layout);
    const QByteArray before = bytesOf(path);
    QString error;
    QVERIFY(!dicom::writeTagValues(path, {edit(0x0010, 0x0010, QStringLiteral("Сидоров"))}, &error));
    QVERIFY2(error.contains(QStringLiteral("ISO_IR 999")) && error.contains(path), qPrintable(error));
    QCOMPARE(bytesOf(path), before);
    // ASCII needs no conversion and is written.
    QVERIFY2(dicom::writeTagValues(path, {edit(0x0010, 0x0010, QStringLiteral("Sidorov"))}, &error), qPrintable(error));
}

void TstTagList::compressedFileWrittenDecoded()
{
    SeriesLayout layout;
    layout.compression = Compression::JpegLsLossless;
    const QString path = sample(QStringLiteral("compressed.dcm"), layout);
    QString error;
    QVERIFY2(dicom::writeTagValues(path, {edit(0x0010, 0x0020, QStringLiteral("ID-2"))}, &error), qPrintable(error));
    auto file = load(path);
    DcmDataset& ds = *file->getDataset();
    QCOMPARE(ds.getOriginalXfer(), EXS_LittleEndianExplicit);
    const Uint16* pixels = nullptr;
    QVERIFY(ds.findAndGetUint16Array(DCM_PixelData, pixels).good());
    QCOMPARE(int(Sint16(pixels[3 * 16 + 5])), coordinateValue(5, 3, 0));
}

void TstTagList::largeDataSetTakesOnePass_data()
{
    QTest::addColumn<int>("operation");
    // Each walks the elements of one item: by index, every step would start again from the first
    // element, some 10^11 steps for these.
    QTest::newRow("list") << 0;
    QTest::newRow("edit to Cyrillic text, the rest rewritten in UTF-8") << 1;
    QTest::newRow("anonymised copy") << 2;
}

void TstTagList::largeDataSetTakesOnePass()
{
    QFETCH(int, operation);
    constexpr int kElements = 400000;
    const QString path = m_dir.filePath(QStringLiteral("many_%1.dcm").arg(operation));
    writeManyEmptyElements(path, kElements, false);
    const QString copy = path + QStringLiteral(".anonymised");
    int listed = 0;
    bool done = false;
    QThread* thread = QThread::create([&] {
        if (operation == 0)
            listed = int(dicom::readTagList(path).size());
        else if (operation == 1)
            done = dicom::writeTagValues(path, {edit(0x0010, 0x0010, QStringLiteral("Петров^Пётр"))});
        else
            done = dicom::writeAnonymizedCopy(path, copy, QStringLiteral("ANON"), QStringLiteral("A1"));
    });
    thread->start();
    if (!thread->wait(60000))
        qFatal("%s did not return", QTest::currentDataTag());
    delete thread;
    if (operation == 0) {
        QVERIFY(listed > kElements);
        return;
    }
    QVERIFY(done);
    const QList<TagEntry> list = dicom::readTagList(operation == 1 ? path : copy);
    QVERIFY(list.size() > kElements);
    QCOMPARE(find(list, 0x0010, 0x0010)->value, operation == 1 ? QStringLiteral("Петров^Пётр") : QStringLiteral("ANON"));
    QVERIFY(find(list, 0x9000 + 2 * ((kElements - 1) / 0xFFF0), 0x0010 + (kElements - 1) % 0xFFF0));
}

QTEST_GUILESS_MAIN(TstTagList)
#include "tst_taglist.moc"
