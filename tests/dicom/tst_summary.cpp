// The file summary is what the index and every list believe about a file: wrong geometry, a lost
// window or a crash on a damaged file all surface far away from here.
#include "support/DicomFixtures.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomDateTime.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomTagList.h"
#include "dicom/FrameDecoder.h"

#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>
#include <QtConcurrent/QtConcurrentMap>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcvrobow.h>

#include <cmath>

using namespace fixtures;
using dicom::DicomFileSummary;

namespace {

using Customize = std::function<void(DcmDataset&)>;
using Getter = std::function<QVariant(const DicomFileSummary&)>;

template <auto Member>
Getter field()
{
    return [](const DicomFileSummary& s) { return QVariant::fromValue(s.*Member); };
}

void putValue(DcmItem& item, const DcmTagKey& tag, const char* value)
{
    putRawText(item, tag, QByteArray(value));
}

DcmItem* addItem(DcmItem& parent, const DcmTagKey& sequence)
{
    DcmItem* item = nullptr;
    parent.findOrCreateSequenceItem(sequence, item, -2);
    return item;
}

// Replaces an element by one of VR UN holding its value as implicit VR little endian would.
void storeAsUnknownVr(DcmItem& item, const DcmTagKey& tag)
{
    DcmElement* element = nullptr;
    QVERIFY(item.findAndGetElement(tag, element).good());
    QByteArray value;
    if (element->ident() == EVR_US) {
        Uint16 v = 0;
        QVERIFY(element->getUint16(v).good());
        value = QByteArray(1, char(v & 0xFF)) + char(v >> 8);
    } else {
        OFString raw;
        QVERIFY(element->getOFStringArray(raw, OFFalse).good());
        value = QByteArray(raw.c_str(), qsizetype(raw.length()));
        if (value.size() % 2)
            value.append(element->ident() == EVR_UI ? '\0' : ' ');
    }
    delete item.remove(tag);
    auto* unknown = new DcmOtherByteOtherWord(DcmTag(tag, DcmVR(EVR_UN)));
    QVERIFY(unknown->putUint8Array(reinterpret_cast<const Uint8*>(value.constData()), Uint32(value.size()))
                .good());
    QVERIFY(item.insert(unknown, OFTrue).good());
}

bool near(double a, double b)
{
    return std::abs(a - b) < 1e-6;
}

} // namespace

Q_DECLARE_METATYPE(Customize)
Q_DECLARE_METATYPE(Getter)

class TstSummary : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_counter = 0;

    QString nextPath() { return m_dir.filePath(QStringLiteral("f%1.dcm").arg(++m_counter)); }

    std::optional<DicomFileSummary> summaryOf(const Customize& change, SeriesLayout layout = {})
    {
        layout.slices = 1;
        layout.rows = layout.columns = 8;
        layout.customize = [&](DcmDataset& ds, int) {
            if (change)
                change(ds);
        };
        return dicom::readFileSummary(writeSlice(nextPath(), layout, 0));
    }

  private slots:
    void decodeText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("ascii") << QByteArray("Doe^John") << QStringLiteral("Doe^John");
        QTest::newRow("utf-8 cyrillic")
            << QStringLiteral("Иванов^Пётр").toUtf8() << QStringLiteral("Иванов^Пётр");
        QTest::newRow("windows-1251 cyrillic")
            << QByteArray("\xC8\xE2\xE0\xED\xEE\xE2^\xCF\xB8\xF2\xF0") << QStringLiteral("Иванов^Пётр");
        QTest::newRow("lone 0x98") << QByteArray("a\x98"
                                                 "b")
                                   << QStringLiteral("a\uFFFDb");
        QTest::newRow("cut utf-8 lead at end")
            << QByteArray("\xD0\x98\xD0") << QStringLiteral("\u0420\uFFFD\u0420");
        QTest::newRow("bad continuation") << QByteArray("\xE2\x28\xA1") << QStringLiteral("\u0432(\u040E");
        QTest::newRow("1251 specials")
            << QByteArray("\x80\x88\xB9\xA8") << QStringLiteral("\u0402\u20AC\u2116\u0401");
    }

    void decodeText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(dicom::decodeDicomText(bytes.constData(), bytes.size()), expected);
    }

    // Every name reads as the text it was written from, in the index and in the tag list alike.
    // Empty bytes: DCMTK converts the text into the declared set.
    void namesInEveryCharacterSet_data()
    {
        QTest::addColumn<QString>("declared");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        const QString japanese = QStringLiteral("Yamada^Tarou=山田^太郎=やまだ^たろう");
        const auto jis = [](const char* kanji) { return QByteArray("\x1b$B") + kanji + "\x1b(B"; };
        const QByteArray jisBytes = "Yamada^Tarou=" + jis(";3ED") + "^" + jis("B@O:") + "=" + jis("$d$^$@") + "^"
                                    + jis("$?$m$&");
        const QString cyrillic = QStringLiteral("Сидоров^Иван");
        const QByteArray cp1251 = encodeText(cyrillic, TextEncoding::Windows1251);
        QTest::newRow("ISO_IR 100") << "ISO_IR 100" << QStringLiteral("Äneas^Rüdiger") << QByteArray();
        QTest::newRow("ISO_IR 144") << "ISO_IR 144" << QStringLiteral("Люксембург^Ёлка") << QByteArray();
        QTest::newRow("ISO_IR 126") << "ISO_IR 126" << QStringLiteral("Dionysios=Διονυσιος") << QByteArray();
        QTest::newRow("ISO_IR 138") << "ISO_IR 138" << QStringLiteral("Sharon^Deborah=שרון^דבורה") << QByteArray();
        QTest::newRow("ISO_IR 192") << "ISO_IR 192" << QStringLiteral("Wang^XiaoDong=王^小東") << QByteArray();
        QTest::newRow("GB18030") << "GB18030" << QStringLiteral("Wang^XiaoDong=王^小东") << QByteArray();
        QTest::newRow("ISO 2022 IR 87") << "\\ISO 2022 IR 87" << japanese << jisBytes;
        // Half-width katakana in G1, then kanji and hiragana in escape-delimited runs (PS3.5 H.3.2).
        const auto kanji = [](const char* jis) { return QByteArray("\x1b$B") + jis + "\x1b(J"; };
        QTest::newRow("ISO 2022 IR 13, ISO 2022 IR 87")
            << "ISO 2022 IR 13\\ISO 2022 IR 87" << QStringLiteral("ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう")
            << QByteArray("\xD4\xCF\xC0\xDE^\xC0\xDB\xB3=") + kanji(";3ED") + "^" + kanji("B@O:") + "=" +
                   kanji("$d$^$@") + "^" + kanji("$?$m$&");
        QTest::newRow("ISO 2022 IR 149")
            << "\\ISO 2022 IR 149" << QStringLiteral("Hong^Gildong=洪^吉洞=홍^길동")
            << QByteArray("Hong^Gildong=\x1b$)C\xFB\xF3^\x1b$)C\xD1\xCE\xD4\xD7=\x1b$)C"
                          "\xC8\xAB^\x1b$)C\xB1\xE6\xB5\xBF");
        // A declared value that does not convert keeps the undeclared rule, without raw escapes.
        QTest::newRow("ISO 2022 IR 149, damaged")
            << "\\ISO 2022 IR 149" << QStringLiteral("Kim=яю") << QByteArray("Kim=\x1b$)C\xFF\xFE");
        // One ISO 2022 term is its ISO_IR twin with escapes allowed.
        const QString luxembourg = QStringLiteral("Люксембург^Ёлка");
        const QByteArray iso8859_5 = encodeText(luxembourg, TextEncoding::Iso8859_5);
        QTest::newRow("ISO 2022 IR 144 alone") << "ISO 2022 IR 144" << luxembourg << iso8859_5;
        QTest::newRow("ISO 2022 IR 144 alone, with its escape")
            << "ISO 2022 IR 144" << luxembourg << QByteArray("\x1b-L") + iso8859_5;
        QTest::newRow("ISO 2022 IR 100 alone, with its escape")
            << "ISO 2022 IR 100" << QStringLiteral("Äneas^Rüdiger") << QByteArray("\x1b-A") + QStringLiteral("Äneas^Rüdiger").toLatin1();
        QTest::newRow("undeclared Windows-1251") << "" << cyrillic << cp1251;
        QTest::newRow("undeclared UTF-8") << "" << cyrillic << cyrillic.toUtf8();
        QTest::newRow("default repertoire, Windows-1251") << "ISO_IR 6" << cyrillic << cp1251;
        QTest::newRow("unknown set, Windows-1251") << "ISO_IR 999" << cyrillic << cp1251;
    }

    void namesInEveryCharacterSet()
    {
        QFETCH(QString, declared);
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        SeriesLayout layout;
        layout.slices = 1;
        layout.customize = [&](DcmDataset& ds, int) {
            if (bytes.isEmpty()) {
                putRawText(ds, DCM_SpecificCharacterSet, "ISO_IR 192");
                putRawText(ds, DCM_PatientName, name.toUtf8());
                putRawText(ds, DCM_StudyDescription, name.section(QLatin1Char('='), -1).toUtf8());
                QVERIFY(ds.convertCharacterSet(declared.toLatin1().constData()).good());
            } else {
                delete ds.remove(DCM_SpecificCharacterSet);
                if (!declared.isEmpty())
                    putRawText(ds, DCM_SpecificCharacterSet, declared.toLatin1());
                putRawText(ds, DCM_PatientName, bytes);
                putRawText(ds, DCM_StudyDescription, bytes.mid(bytes.lastIndexOf('=') + 1));
            }
        };
        const QString path = writeSlice(nextPath(), layout, 0);
        const QString description = name.section(QLatin1Char('='), -1);
        const auto s = dicom::readFileSummary(path);
        QVERIFY(s);
        QCOMPARE(s->patientName, name);
        QCOMPARE(s->studyDescription, description);
        QMap<quint32, QString> listed;
        for (const dicom::TagEntry& e : dicom::readTagList(path))
            listed.insert(quint32(e.group) << 16 | e.element, e.value);
        QCOMPARE(listed.value(0x00100010), name);
        QCOMPARE(listed.value(0x00081030), description);
    }

    void timeOfDay_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("seconds"); // < 0: nothing
        QTest::newRow("tm with fraction") << "101530.25" << 36930.25;
        QTest::newRow("colon hh:mm") << "10:15" << 36900.0;
        QTest::newRow("colon hh:mm:ss.f") << " 10:15:30.5 " << 36930.5;
        QTest::newRow("one digit") << "1" << -1.0;
        QTest::newRow("hours beyond a day") << "25" << 90000.0;
        QTest::newRow("hhmm") << "1015" << 36900.0;
        QTest::newRow("hhm") << "101" << 36000.0;
        QTest::newRow("bad minutes fall to 0") << "10xx30" << 36030.0;
        QTest::newRow("bad seconds fall to 0") << "1015zz" << 36900.0;
        QTest::newRow("bad hours") << "xx1530" << -1.0;
        QTest::newRow("empty") << "   " << -1.0;
        QTest::newRow("colon bad minutes") << "10:xx" << -1.0;
        QTest::newRow("colon bad seconds") << "10:15:xx" << -1.0;
        QTest::newRow("colon empty hour") << ":15" << -1.0;
    }

    void timeOfDay()
    {
        QFETCH(QString, text);
        QFETCH(double, seconds);
        const auto result = dicom::parseTimeOfDay(text);
        if (seconds < 0) {
            QVERIFY(!result);
        } else {
            QVERIFY(result);
            QCOMPARE(*result, seconds);
        }
    }

    // Dates and times as the tables and the overlays show them: the DICOM and the old ACR-NEMA forms
    // alike, anything else as it stands, never half-formatted.
    void dateTimeTexts_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("overlay");
        QTest::newRow("DICOM forms") << "20240131" << "235959.123" << "2024-01-31 23:59:59" << "31.01.2024 23:59";
        QTest::newRow("old forms") << "1997.04.24" << "14:04:38" << "1997-04-24 14:04:38" << "24.04.1997 14:04";
        QTest::newRow("old time with fraction") << "19970424" << "14:04:38.5" << "1997-04-24 14:04:38" << "24.04.1997 14:04";
        QTest::newRow("no seconds") << "1997.04.24" << "14:04" << "1997-04-24" << "24.04.1997 14:04";
        QTest::newRow("hours only") << "20240131" << "10" << "2024-01-31" << "31.01.2024";
        QTest::newRow("time alone") << "" << "101502" << " 10:15:02" << "10:15";
        QTest::newRow("nothing") << "" << "" << "" << "";
        QTest::newRow("short date") << "2024031" << "1015" << "2024031" << "2024031 10:15";
        QTest::newRow("no such day, no such hour") << "20240230" << "250000" << "20240230 250000" << "20240230 250000";
        QTest::newRow("garbled") << "1997.4.24" << "14::0:4:" << "1997.4.24 14::0:4:" << "1997.4.24 14::0:4:";
        QTest::newRow("odd digits") << "19970424" << "14043" << "1997-04-24 14043" << "24.04.1997 14043";
    }

    void dateTimeTexts()
    {
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(QString, table);
        QFETCH(QString, overlay);
        QCOMPARE(dicom::dateTimeForTable(date, time), table);
        QCOMPARE(dicom::dateTimeForOverlay(date, time), overlay);
    }

    void dicmTest()
    {
        writeBytes(m_dir.filePath("131"), QByteArray(128, '\0') + "DIC");
        QVERIFY(!dicom::isDicomFile(m_dir.filePath("131")));
        writeDicmWithPayload(m_dir.filePath("132"), QByteArray());
        QVERIFY(dicom::isDicomFile(m_dir.filePath("132")));
        QVERIFY(!dicom::readFileSummary(m_dir.filePath("132")));
        writeBytes(m_dir.filePath("noDicm"), QByteArray(128, '\0') + "DICX" + QByteArray(100, 'a'));
        QVERIFY(!dicom::isDicomFile(m_dir.filePath("noDicm")));
        QVERIFY(!dicom::isDicomFile(m_dir.filePath("missing")));
        QVERIFY(!dicom::readFileSummary(m_dir.filePath("missing")));
        QVERIFY(!dicom::isDicomFile(m_dir.path()));
        QVERIFY(!dicom::readFileSummary(m_dir.path()));
        SeriesLayout layout;
        layout.slices = 1;
        const QString cyrillic = writeSlice(m_dir.filePath(QStringLiteral("папка/снимок 1.dcm")), layout, 0);
        QVERIFY(dicom::isDicomFile(cyrillic));
        QVERIFY(dicom::readFileSummary(cyrillic));
    }

    // A fixture series read back must give exactly the geometry the writer put in.
    void seriesGeometry_data()
    {
        QTest::addColumn<int>("plane");
        QTest::newRow("axial") << int(Plane::Axial);
        QTest::newRow("sagittal") << int(Plane::Sagittal);
        QTest::newRow("coronal") << int(Plane::Coronal);
        QTest::newRow("oblique") << int(Plane::Oblique);
    }

    void seriesGeometry()
    {
        QFETCH(int, plane);
        SeriesLayout layout;
        layout.plane = Plane(plane);
        layout.slices = 3;
        layout.modality = QStringLiteral("MR");
        layout.reverseInstanceNumbers = true;
        layout.acquisitionTimeStep = 2.5;
        completeUids(layout);
        const QStringList paths = writeSeries(m_dir.filePath(QStringLiteral("series%1").arg(plane)), layout);
        const auto o = orientationOf(layout);
        for (int k = 0; k < paths.size(); ++k) {
            const auto s = dicom::readFileSummary(paths[k]);
            QVERIFY(s);
            QCOMPARE(s->studyInstanceUid, layout.studyUid);
            QCOMPARE(s->seriesInstanceUid, layout.seriesUid);
            QCOMPARE(s->frameOfReferenceUid, layout.frameOfReferenceUid);
            QCOMPARE(s->instanceNumber, 3 - k);
            QCOMPARE(s->pixelSpacingX, 0.7); // columns, then rows: the writer gives them apart
            QCOMPARE(s->pixelSpacingY, 0.8);
            QCOMPARE(s->rescaleIntercept, -1024.0);
            QCOMPARE(s->acquisitionTimeSeconds, 36000.0 + 2.5 * k);
            const auto p = slicePosition(layout, k);
            for (int i = 0; i < 3; ++i) {
                QVERIFY(near(s->imagePosition[i], p[i]));
                QVERIFY(near(s->orientationRow[i], o[i]));
                QVERIFY(near(s->orientationCol[i], o[i + 3]));
            }
            QVERIFY(s->hasSpatialInfo);
            QCOMPARE(s->filePath, paths[k]);
        }
    }

    void elements_data()
    {
        QTest::addColumn<Customize>("change");
        QTest::addColumn<Getter>("get");
        QTest::addColumn<QVariant>("expected");
        const auto set = [](DcmTagKey tag, const char* v) {
            return Customize([tag, v](DcmDataset& ds) { putValue(ds, tag, v); });
        };
        const auto drop = [](DcmTagKey tag) { return Customize([tag](DcmDataset& ds) { delete ds.remove(tag); }); };
        using S = DicomFileSummary;
        QTest::newRow("height metres") << set(DCM_PatientSize, "1.75") << field<&S::heightCm>() << QVariant(175.0);
        QTest::newRow("height centimetres") << set(DCM_PatientSize, "175") << field<&S::heightCm>() << QVariant(175.0);
        QTest::newRow("height 3 is metres") << set(DCM_PatientSize, "3") << field<&S::heightCm>() << QVariant(300.0);
        QTest::newRow("height 0") << set(DCM_PatientSize, "0") << field<&S::heightCm>() << QVariant(0.0);
        QTest::newRow("weight") << set(DCM_PatientWeight, " 72.5 ") << field<&S::weightKg>() << QVariant(72.5);
        QTest::newRow("two window centres give the first")
            << set(DCM_WindowCenter, "40\\400") << field<&S::windowCenter>() << QVariant(40.0);
        QTest::newRow("two window widths give the first")
            << set(DCM_WindowWidth, "350\\1500") << field<&S::windowWidth>() << QVariant(350.0);
        QTest::newRow("window absent") << drop(DCM_WindowCenter) << field<&S::windowCenter>() << QVariant(0.0);
        QTest::newRow("slope absent") << drop(DCM_RescaleSlope) << field<&S::rescaleSlope>() << QVariant(1.0);
        QTest::newRow("slope unparsable") << set(DCM_RescaleSlope, "abc") << field<&S::rescaleSlope>() << QVariant(1.0);
        QTest::newRow("two slice thicknesses")
            << set(DCM_SliceThickness, "1\\2") << field<&S::sliceThickness>() << QVariant(0.0);
        QTest::newRow("spacing 2 values")
            << set(DCM_PixelSpacing, "0.5\\0.7") << field<&S::pixelSpacingX>() << QVariant(0.7);
        QTest::newRow("spacing 2 values y")
            << set(DCM_PixelSpacing, "0.5\\0.7") << field<&S::pixelSpacingY>() << QVariant(0.5);
        QTest::newRow("spacing 1 value") << set(DCM_PixelSpacing, "0.5") << field<&S::pixelSpacingX>() << QVariant(0.0);
        QTest::newRow("orientation absent")
            << drop(DCM_ImageOrientationPatient) << field<&S::hasSpatialInfo>() << QVariant(false);
        QTest::newRow("acquisition time")
            << set(DCM_AcquisitionTime, "101530.25") << field<&S::acquisitionTimeSeconds>() << QVariant(36930.25);
        QTest::newRow("acquisition unusable, content used") << Customize([](DcmDataset& ds) {
            putValue(ds, DCM_AcquisitionTime, "1");
            putValue(ds, DCM_ContentTime, "120000");
        }) << field<&S::acquisitionTimeSeconds>() << QVariant(43200.0);
        QTest::newRow("no times") << drop(DCM_AcquisitionTime) << field<&S::acquisitionTimeSeconds>() << QVariant(-1.0);
        QTest::newRow("trigger first value")
            << set(DCM_TriggerTime, "120.5") << field<&S::triggerTimeMs>() << QVariant(120.5);
        QTest::newRow("trigger absent") << Customize() << field<&S::triggerTimeMs>() << QVariant(-1.0);
        QTest::newRow("laterality") << set(DCM_Laterality, "R") << field<&S::laterality>() << QVariant("R");
        QTest::newRow("image laterality") << set(DCM_ImageLaterality, "L") << field<&S::laterality>() << QVariant("L");
        QTest::newRow("laterality from comment word")
            << set(DCM_ImageComments, "  left  ") << field<&S::laterality>() << QVariant("LEFT");
        QTest::newRow("laterality from comment sentence")
            << set(DCM_ImageComments, "left breast") << field<&S::laterality>() << QVariant(QString());
        QTest::newRow("series number kept as text")
            << set(DCM_SeriesNumber, "007") << field<&S::seriesNumber>() << QVariant("007");
        QTest::newRow("cardiac images")
            << set(DCM_CardiacNumberOfImages, "25") << field<&S::cardiacNumberOfImages>() << QVariant(25);
        QTest::newRow("instance number")
            << set(DCM_InstanceNumber, " 12 ") << field<&S::instanceNumber>() << QVariant(12);
        QTest::newRow("name kept with separators")
            << set(DCM_PatientName, "A^B^^^=X^Y") << field<&S::patientName>() << QVariant("A^B^^^=X^Y");
        QTest::newRow("raw 1251 name without charset") << Customize([](DcmDataset& ds) {
            delete ds.remove(DCM_SpecificCharacterSet);
            putRawText(ds, DCM_PatientName,
                       encodeText(QStringLiteral("Сидоров^Иван"), TextEncoding::Windows1251));
        }) << field<&S::patientName>() << QVariant(QStringLiteral("Сидоров^Иван"));
        QTest::newRow("utf-8 description") << Customize([](DcmDataset& ds) {
            putValue(ds, DCM_SpecificCharacterSet, "ISO_IR 192");
            putRawText(ds, DCM_StudyDescription, QStringLiteral("КТ грудной клетки").toUtf8());
        }) << field<&S::studyDescription>() << QVariant(QStringLiteral("КТ грудной клетки"));
        // Long values stay on disk while the header is parsed; they must still be read in full.
        QTest::newRow("long description") << Customize([](DcmDataset& ds) {
            putRawText(ds, DCM_StudyDescription, QByteArray(6000, 'x') + "end");
        }) << field<&S::studyDescription>() << QVariant(QString::fromLatin1(QByteArray(6000, 'x') + "end"));
    }

    void elements()
    {
        QFETCH(Customize, change);
        QFETCH(Getter, get);
        QFETCH(QVariant, expected);
        const auto s = summaryOf(change);
        QVERIFY(s);
        const QVariant got = get(*s);
        if (expected.typeId() == QMetaType::Double)
            QVERIFY2(near(got.toDouble(), expected.toDouble()), qPrintable(got.toString()));
        else
            QCOMPARE(got.toString(), expected.toString());
    }

    // A big-endian copy of a data set reads exactly as the little-endian one, also when its meta
    // header names explicit VR while the data set is implicit VR (as in some old archives).
    void bigEndianTwins_data()
    {
        QTest::addColumn<bool>("mislabelled");
        QTest::addColumn<bool>("enhanced");
        QTest::addColumn<bool>("groupZeroFirst"); // the first element is of group 0000: no byte order shows
        QTest::newRow("explicit VR") << false << false << false;
        QTest::newRow("explicit VR, enhanced multi-frame") << false << true << false;
        QTest::newRow("implicit VR labelled explicit") << true << false << false;
        QTest::newRow("implicit VR labelled explicit, enhanced multi-frame") << true << true << false;
        QTest::newRow("explicit VR, group 0000 first") << false << false << true;
    }

    void bigEndianTwins()
    {
        QFETCH(bool, mislabelled);
        QFETCH(bool, enhanced);
        QFETCH(bool, groupZeroFirst);
        SeriesLayout layout;
        layout.slices = enhanced ? 3 : 1;
        layout.temporalPositionIndex = [](int k) { return k + 1; };
        layout.specificCharacterSet = QStringLiteral("ISO_IR 144");
        layout.patientName = QStringLiteral("Лебедев^Юрий");
        layout.customize = [groupZeroFirst](DcmDataset& ds, int) {
            // Its tag reads the same in either byte order.
            if (groupZeroFirst)
                ds.putAndInsertString(DcmTag(DcmTagKey(0x0000, 0x0101), EVR_LO), "NOTE");
            putValue(ds, DCM_TriggerTime, "12.5");
            putValue(ds, DCM_PatientWeight, "81");
            putValue(ds, DCM_CardiacNumberOfImages, "20");
        };
        const QString little = nextPath();
        if (enhanced)
            writeEnhancedMultiFrame(little, layout);
        else
            writeSlice(little, layout, 0);
        const QString big = nextPath();
        DcmFileFormat file;
        QVERIFY(file.loadFile(QFile::encodeName(little).constData()).good());
        QVERIFY(file.saveFile(QFile::encodeName(big).constData(), EXS_BigEndianExplicit).good());
        if (mislabelled)
            mislabelAsExplicitBigEndian(big);
        auto fromLittle = dicom::readFileSummary(little);
        auto fromBig = dicom::readFileSummary(big);
        QVERIFY(fromLittle && fromBig);
        QCOMPARE(fromBig->patientName, QStringLiteral("Лебедев^Юрий"));
        QCOMPARE(fromBig->rows, 32);
        QCOMPARE(fromBig->transferSyntaxUid,
                 QStringLiteral("1.2.840.10008.1.2.2")); // as its meta header says
        fromBig->filePath = fromLittle->filePath;
        fromBig->transferSyntaxUid = fromLittle->transferSyntaxUid;
        QVERIFY(*fromBig == *fromLittle);
        QMap<quint32, QString> listed;
        for (const dicom::TagEntry& e : dicom::readTagList(big))
            listed.insert(quint32(e.group) << 16 | e.element, e.value);
        QCOMPARE(listed.value(0x00100010), QStringLiteral("Лебедев^Юрий"));
        QCOMPARE(listed.value(0x00280010), QStringLiteral("32"));
        // An anonymised copy keeps the source's encoding, and reads back.
        const QString copy = nextPath();
        QVERIFY(dicom::writeAnonymizedCopy(big, copy, QStringLiteral("ANON"), QStringLiteral("A1")));
        const auto anonymised = dicom::readFileSummary(copy);
        QVERIFY(anonymised);
        QCOMPARE(anonymised->patientName, QStringLiteral("ANON"));
        QCOMPARE(anonymised->rows, 32);
    }

    // Elements that passed through an archive that did not know them carry the VR UN, their value
    // being the element in implicit VR little endian: they read as the elements they are.
    void elementsStoredAsUnknownVr()
    {
        SeriesLayout layout;
        layout.slices = 1;
        layout.specificCharacterSet = QStringLiteral("ISO_IR 144");
        layout.patientName = QStringLiteral("Лебедев^Юрий");
        const QString plain = writeSlice(nextPath(), layout, 0);
        const QString unknown = nextPath();
        DcmFileFormat file;
        QVERIFY(file.loadFile(QFile::encodeName(plain).constData()).good());
        for (const DcmTagKey& tag :
             {DCM_PatientName, DCM_PatientID, DCM_Modality, DCM_StudyDate, DCM_StudyInstanceUID,
              DCM_SeriesInstanceUID, DCM_SOPInstanceUID, DCM_Rows, DCM_Columns})
            storeAsUnknownVr(*file.getDataset(), tag);
        QVERIFY(file.saveFile(QFile::encodeName(unknown).constData(), EXS_LittleEndianExplicit).good());

        auto fromPlain = dicom::readFileSummary(plain);
        auto fromUnknown = dicom::readFileSummary(unknown);
        QVERIFY(fromPlain && fromUnknown);
        QCOMPARE(fromUnknown->patientName, QStringLiteral("Лебедев^Юрий"));
        fromUnknown->filePath = fromPlain->filePath;
        QVERIFY(*fromUnknown == *fromPlain);
        QMap<quint32, QString> listed;
        for (const dicom::TagEntry& e : dicom::readTagList(unknown))
            listed.insert(quint32(e.group) << 16 | e.element, e.value);
        QCOMPARE(listed.value(0x00100010), QStringLiteral("Лебедев^Юрий"));
        QCOMPARE(listed.value(0x00080060), QStringLiteral("CT"));
        QCOMPARE(listed.value(0x00080018), fromPlain->sopInstanceUid);
        QCOMPARE(listed.value(0x00280010), QStringLiteral("32"));
        QString error;
        const auto frame = dicom::decodeFrame(unknown, 0, std::nullopt, &error);
        QVERIFY2(frame, qPrintable(error));
        QCOMPARE(frame->image.size(), QSize(32, 32));
    }

    // An encoder's known fault: the meta header names JPEG baseline, the data set is implicit VR.
    void compressedDataSetInImplicitVr()
    {
        SeriesLayout layout;
        layout.slices = 1;
        layout.pixels = PixelKind::UInt8;
        layout.compression = Compression::JpegBaseline;
        layout.patientName = QStringLiteral("Лебедев^Юрий");
        layout.specificCharacterSet = QStringLiteral("ISO_IR 192");
        const QString plain = writeSlice(nextPath(), layout, 0);
        const QString implicit = nextPath();
        QVERIFY(QFile::copy(plain, implicit));
        writeDataSetAsImplicitVr(implicit);
        auto fromPlain = dicom::readFileSummary(plain);
        auto fromImplicit = dicom::readFileSummary(implicit);
        QVERIFY(fromPlain && fromImplicit);
        QCOMPARE(fromImplicit->patientName, QStringLiteral("Лебедев^Юрий"));
        QCOMPARE(fromImplicit->transferSyntaxUid, QStringLiteral("1.2.840.10008.1.2.4.50"));
        fromImplicit->filePath = fromPlain->filePath;
        QVERIFY(*fromImplicit == *fromPlain);
    }

    void positionWithTwoValuesLeavesPositionUnset()
    {
        const auto s = summaryOf([](DcmDataset& ds) { putValue(ds, DCM_ImagePositionPatient, "1\\2"); });
        QVERIFY(s);
        QCOMPARE(s->imagePosition, (std::array<double, 3>{0, 0, 0}));
        QVERIFY(!s->hasSpatialInfo);
    }

    void missingUidGivesNothing_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("sop") << 0;
        QTest::newRow("study") << 1;
        QTest::newRow("series") << 2;
        QTest::newRow("blank sop") << 3;
    }

    void missingUidGivesNothing()
    {
        QFETCH(int, which);
        QVERIFY(!summaryOf([which](DcmDataset& ds) {
            const DcmTagKey tags[] = {DCM_SOPInstanceUID, DCM_StudyInstanceUID, DCM_SeriesInstanceUID};
            if (which == 3)
                putValue(ds, DCM_SOPInstanceUID, "  ");
            else
                delete ds.remove(tags[which]);
        }));
    }

    void classicMultiFrame()
    {
        SeriesLayout layout;
        layout.slices = 4;
        const auto s = dicom::readFileSummary(writeMultiFrame(nextPath(), layout));
        QVERIFY(s);
        QCOMPARE(s->numberOfFrames, 4);
        QVERIFY(s->hasSpatialInfo);
        QVERIFY(s->perFrameSliceLocation.isEmpty());
        QVERIFY(s->perFrameTemporalPositionIndex.isEmpty());
    }

    void enhancedFromWriter()
    {
        SeriesLayout layout;
        layout.slices = 4;
        layout.plane = Plane::Oblique;
        layout.temporalPositionIndex = [](int k) { return 10 + k; };
        const auto s = dicom::readFileSummary(writeEnhancedMultiFrame(nextPath(), layout));
        QVERIFY(s);
        QCOMPARE(s->numberOfFrames, 4);
        QCOMPARE(s->pixelSpacingX, 0.7);
        QCOMPARE(s->sliceThickness, 1.5);
        QVERIFY(s->hasSpatialInfo);
        QCOMPARE(s->perFrameSliceLocation.size(), 4);
        QCOMPARE(s->perFrameTemporalPositionIndex, (QList<int>{10, 11, 12, 13}));
        const auto o = orientationOf(layout);
        const double n[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5], o[0] * o[4] - o[1] * o[3]};
        for (int k = 0; k < 4; ++k) {
            const auto p = slicePosition(layout, k);
            QVERIFY(near(s->perFramePositionX[k], p[0]));
            QVERIFY(near(s->perFramePositionY[k], p[1]));
            QVERIFY(near(s->perFramePositionZ[k], p[2]));
            QVERIFY(near(s->perFrameSliceLocation[k], n[0] * p[0] + n[1] * p[1] + n[2] * p[2]));
        }
        // Successive slice locations step by the slice spacing along the normal.
        QVERIFY(near(s->perFrameSliceLocation[1] - s->perFrameSliceLocation[0], 1.5));
    }

    // Spacing only in the shared groups, orientation only in the first frame's groups.
    void enhancedSpreadGeometry()
    {
        SeriesLayout layout;
        layout.slices = 3;
        layout.writeGeometry = false;
        layout.customize = [](DcmDataset& ds, int) {
            delete ds.remove(DCM_SharedFunctionalGroupsSequence);
            DcmItem* shared = addItem(ds, DCM_SharedFunctionalGroupsSequence);
            putValue(*addItem(*shared, DCM_PixelMeasuresSequence), DCM_PixelSpacing, "0.5\\0.6");
            DcmSequenceOfItems* perFrame = nullptr;
            ds.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame);
            putValue(*addItem(*perFrame->getItem(0), DCM_PlaneOrientationSequence),
                     DCM_ImageOrientationPatient, "0\\1\\0\\0\\0\\-1");
            for (int k = 0; k < 3; ++k) {
                DcmItem* plane = addItem(*perFrame->getItem(k), DCM_PlanePositionSequence);
                putRawText(*plane, DCM_ImagePositionPatient, "-" + QByteArray::number(10 + k) + "\\6\\7");
            }
        };
        const auto s = dicom::readFileSummary(writeEnhancedMultiFrame(nextPath(), layout));
        QVERIFY(s);
        QCOMPARE(s->pixelSpacingY, 0.5);
        QCOMPARE(s->pixelSpacingX, 0.6);
        QCOMPARE(s->sliceThickness, 0.0);
        QCOMPARE(s->orientationRow, (std::array<double, 3>{0, 1, 0}));
        QCOMPARE(s->orientationCol, (std::array<double, 3>{0, 0, -1}));
        QCOMPARE(s->perFramePositionX, (QList<double>{-10, -11, -12}));
        QCOMPARE(s->perFrameTemporalPositionIndex.size(), 3);
        // Normal of a sagittal plane is -x: slice location is -x.
        QCOMPARE(s->perFrameSliceLocation, (QList<double>{10, 11, 12}));
        QCOMPARE(s->imagePosition, (std::array<double, 3>{0, 0, 0}));
        QVERIFY(s->hasSpatialInfo);
    }

    void enhancedFrameWithoutPosition()
    {
        SeriesLayout layout;
        layout.slices = 2;
        layout.customize = [](DcmDataset& ds, int) {
            DcmSequenceOfItems* perFrame = nullptr;
            ds.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame);
            delete perFrame->getItem(1)->remove(DCM_PlanePositionSequence);
        };
        const auto s = dicom::readFileSummary(writeEnhancedMultiFrame(nextPath(), layout));
        QVERIFY(s);
        // The lists stop at the first frame without a position rather than invent one.
        for (const auto* list : {&s->perFramePositionX, &s->perFramePositionY, &s->perFramePositionZ,
                                 &s->perFrameSliceLocation})
            QCOMPARE(list->size(), 1);
        QCOMPARE(s->perFrameTemporalPositionIndex, (QList<int>{0, 0}));
    }

    void enhancedWithoutOrientation()
    {
        SeriesLayout layout;
        layout.slices = 2;
        layout.customize = [](DcmDataset& ds, int) {
            DcmItem* shared = nullptr;
            ds.findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
            delete shared->remove(DCM_PlaneOrientationSequence);
        };
        const auto s = dicom::readFileSummary(writeEnhancedMultiFrame(nextPath(), layout));
        QVERIFY(s);
        QVERIFY(!s->hasSpatialInfo);
        // Without a normal the slice location falls back to z.
        QCOMPARE(s->perFrameSliceLocation, (QList<double>{50, 51.5}));
    }

    void singleFrameIgnoresPerFrameGroups()
    {
        SeriesLayout layout;
        layout.slices = 1;
        const auto s = dicom::readFileSummary(writeEnhancedMultiFrame(nextPath(), layout));
        QVERIFY(s);
        QCOMPARE(s->numberOfFrames, 1);
        QVERIFY(s->perFramePositionX.isEmpty());
        QVERIFY(s->perFrameTemporalPositionIndex.isEmpty());
        QVERIFY(!s->hasSpatialInfo); // no top-level position, shared groups are not consulted
    }

    void compressedFilesGiveTheSameSummary()
    {
        SeriesLayout layout;
        layout.slices = 1;
        layout.studyUid = layout.seriesUid = QStringLiteral("1.2.3");
        const auto plain = dicom::readFileSummary(writeSlice(nextPath(), layout, 0));
        for (Compression c : {Compression::JpegLsLossless, Compression::Rle}) {
            layout.compression = c;
            const auto packed = dicom::readFileSummary(writeSlice(nextPath(), layout, 0));
            QVERIFY(plain && packed);
            QCOMPARE(packed->rows, plain->rows);
            QCOMPARE(packed->imagePosition, plain->imagePosition);
            QCOMPARE(packed->windowWidth, plain->windowWidth);
        }
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("zero length") << QByteArray();
        QTest::newRow("short") << QByteArray(100, 'x');
        QTest::newRow("131 bytes") << QByteArray(131, '\0');
        QTest::newRow("dicm then garbage") << QByteArray(128, '\0') + "DICM" + QByteArray(3000, '\xAB');
        QTest::newRow("dicm then zeros") << QByteArray(128, '\0') + "DICM" + QByteArray(3000, '\0');
        QByteArray absurdMeta = QByteArray(128, '\0') + "DICM";
        absurdMeta += QByteArray("\x02\x00\x01\x00OB\x00\x00\xF0\xFF\xFF\x7F", 12); // 2 GB meta element
        QTest::newRow("absurd meta length") << absurdMeta;
        QTest::newRow("random") << QByteArray::fromHex(QByteArray("DEADBEEF").repeated(500));
    }

    void badInput()
    {
        QFETCH(QByteArray, bytes);
        const QString path = nextPath();
        writeBytes(path, bytes);
        QVERIFY(!dicom::readFileSummary(path));
    }

    // Truncations anywhere in a real file: in the meta header, mid-element, in the pixel data.
    void truncatedFiles()
    {
        SeriesLayout layout;
        layout.slices = 1;
        const QString good = writeSlice(nextPath(), layout, 0);
        const qint64 size = QFileInfo(good).size();
        for (qint64 cut :
             {qint64(131), qint64(140), qint64(200), qint64(300), qint64(600), size / 2, size - 1}) {
            const QString bad = nextPath();
            writeTruncatedCopy(good, bad, cut);
            QVERIFY2(!dicom::readFileSummary(bad), qPrintable(QString::number(cut)));
        }
    }

    // Declared lengths far beyond the file: the reader must neither trust nor allocate them.
    void absurdDeclaredLengths_data()
    {
        QTest::addColumn<int>("target");
        QTest::newRow("text element, implicit VR") << 0;
        QTest::newRow("pixel data") << 1;
        QTest::newRow("sequence") << 2;
        QTest::newRow("private OB") << 3;
    }

    void absurdDeclaredLengths()
    {
        QFETCH(int, target);
        // Write a file whose chosen element carries a marker value, then overwrite its length field.
        DcmFileFormat ff;
        DcmDataset& ds = *ff.getDataset();
        putValue(ds, DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7");
        putValue(ds, DCM_SOPInstanceUID, "1.2.3.4");
        putValue(ds, DCM_StudyInstanceUID, "1.2.3");
        putValue(ds, DCM_SeriesInstanceUID, "1.2.3.5");
        putValue(ds, DCM_PatientName, "MARKERNAME");
        DcmItem* item = addItem(ds, DCM_ReferencedImageSequence);
        putValue(*item, DCM_ReferencedSOPInstanceUID, "1.2.9");
        const Uint8 ob[8] = {'O', 'B', 'M', 'A', 'R', 'K', 'E', 'R'};
        ds.putAndInsertUint8Array(DcmTag(0x0009, 0x1010, EVR_OB), ob, 8);
        putValue(ds, DcmTagKey(0x0009, 0x0010), "OWNER");
        const Uint16 pixels[4] = {1, 2, 3, 4};
        ds.putAndInsertUint16Array(DCM_PixelData, pixels, 4);
        const E_TransferSyntax xfer = target == 0 ? EXS_LittleEndianImplicit : EXS_LittleEndianExplicit;
        const QString path = nextPath();
        QVERIFY(ff.saveFile(QFile::encodeName(path).constData(), xfer, EET_ExplicitLength).good());
        QVERIFY(dicom::readFileSummary(path)); // sound before the damage

        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray bytes = f.readAll();
        qsizetype lengthAt = -1;
        if (target == 0) {
            lengthAt =
                bytes.indexOf(QByteArray("\x10\x00\x10\x00", 4)) + 4; // (0010,0010) implicit: 4-byte length
        } else if (target == 1) {
            lengthAt = bytes.lastIndexOf(QByteArray("\xE0\x7F\x10\x00OW", 6)) + 8;
        } else if (target == 2) {
            lengthAt = bytes.indexOf(QByteArray("\x08\x00\x40\x11SQ", 6)) + 8;
        } else {
            lengthAt = bytes.indexOf(QByteArray("\x09\x00\x10\x10OB", 6)) + 8;
        }
        QVERIFY(lengthAt > 8);
        const char absurd[4] = {'\xF0', '\xFF', '\xFF', '\x7F'};
        bytes.replace(lengthAt, 4, QByteArray(absurd, 4));
        f.resize(0);
        f.write(bytes);
        f.close();
        QVERIFY(!dicom::readFileSummary(path));
    }

    void concurrentReads()
    {
        SeriesLayout layout;
        layout.slices = 64;
        layout.rows = layout.columns = 16;
        const QStringList paths = writeSeries(m_dir.filePath("concurrent"), layout);
        const QList<int> numbers = QtConcurrent::blockingMapped<QList<int>>(paths, [](const QString& p) {
            const auto s = dicom::readFileSummary(p);
            return s ? s->instanceNumber : -1;
        });
        for (int k = 0; k < paths.size(); ++k)
            QCOMPARE(numbers[k], k + 1);
    }

};

QTEST_GUILESS_MAIN(TstSummary)
#include "tst_summary.moc"
