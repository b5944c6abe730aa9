#include "render/HuImage.h"

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/HostileShapes.h"
#include "support/PeakMemory.h"
#include "support/TestFiles.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"
#include "dicom/DicomTestSupport.h"
#include "dicom/FileIdentity.h"
#include "dicom/FrameDecoder.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <thread>

using fixtures::SeriesLayout;

namespace {

SeriesLayout smallLayout()
{
    SeriesLayout s;
    s.rows = 6;
    s.columns = 5;
    s.slices = 3;
    s.rescaleIntercept = 0.0;
    s.value = [](int x, int y, int z) { return (z * 6 + y) * 5 + x + 1; };
    return s;
}

// A Modality LUT in `item` with the descriptor as given (SS when the first mapped value is negative) and
// `count` non-linear entries, (i² + 7i + offset) mod 65536, as 16-bit words or, when `count` is negative,
// 8 bits each, two to a word.
void putModalityLut(DcmItem& item, const QList<int>& descriptor, int count, int offset)
{
    std::vector<Uint16> words(size_t(count < 0 ? (1 - count) / 2 : count));
    for (int i = 0; i < std::abs(count); ++i) {
        const auto entry = Uint16((qint64(i) * i + 7 * i + offset) & 0xFFFF);
        if (count < 0)
            words[size_t(i / 2)] |= Uint16((entry & 0xFF) << (8 * (i % 2)));
        else
            words[size_t(i)] = entry;
    }
    DcmItem* lut = nullptr;
    item.findOrCreateSequenceItem(DCM_ModalityLUTSequence, lut, 0);
    const Sint16 d[3] = {Sint16(descriptor[0]), Sint16(descriptor[1]), Sint16(descriptor[2])};
    const Uint16 u[3] = {Uint16(d[0]), Uint16(d[1]), Uint16(d[2])};
    if (descriptor[1] < 0)
        lut->putAndInsertSint16Array(DcmTag(DCM_LUTDescriptor, EVR_SS), d, 3);
    else
        lut->putAndInsertUint16Array(DcmTag(DCM_LUTDescriptor, EVR_US), u, 3);
    lut->putAndInsertUint16Array(DcmTag(DCM_LUTData, EVR_OW), words.data(), (unsigned long)words.size());
}

render::HuImage imageOf(int w, int h, std::vector<double> px)
{
    render::HuImage im;
    im.valid = true;
    im.width = w;
    im.height = h;
    im.pixels = std::move(px);
    return im;
}

} // namespace

class TestHuFrame : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    dicom::CodecRegistrationScope m_codecs;

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void framesOfMultiFrameFile_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("used"); // -1: refused
        // Read for an index row: "listed", of the file in the version listed; "five before", listed
        // when the path held the object in 5 frames, since copied over by the same object in 3.
        QTest::addColumn<QString>("row");
        QTest::newRow("first") << 0 << 0 << "";
        QTest::newRow("middle") << 1 << 1 << "";
        QTest::newRow("beyond last reads last") << 7 << 2 << "";
        QTest::newRow("negative reads first") << -3 << 0 << "";
        QTest::newRow("a row's frame past the last is refused") << 3 << -1 << "listed";
        QTest::newRow("a row's last frame") << 2 << 2 << "listed";
        QTest::newRow("a row's frame 4 the file lost") << 4 << -1 << "five before";
        QTest::newRow("a row's frame 3 the file lost") << 3 << -1 << "five before";
        QTest::newRow("a row's frame 2 the file kept") << 2 << 2 << "five before";
    }
    void framesOfMultiFrameFile()
    {
        QFETCH(int, requested);
        QFETCH(int, used);
        QFETCH(QString, row);
        SeriesLayout layout = smallLayout();
        const QString uid = fixtures::newUid();
        layout.customize = [uid](DcmDataset& ds, int) {
            ds.putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
        };
        SeriesLayout before = layout;
        before.slices = 5;
        const QString file = fixtures::writeMultiFrame(path("mf.dcm"), row == "five before" ? before : layout);
        dicom::RowObject listed;
        if (!row.isEmpty())
            listed = {uid, dicom::fileIdentity(file).text()};
        if (row == "five before") {
            const QString fewer = fixtures::writeMultiFrame(path("mf3.dcm"), layout);
            QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(fewer)));
        }
        render::HuImage im;
        QString error;
        const bool loaded = render::loadHuFrame(im, file, requested, &error, listed);
        if (used < 0) {
            QVERIFY(!loaded && !im.valid && im.pixels.empty());
            QVERIFY(im.otherObject);
            QVERIFY2(error.contains(QStringLiteral("другой снимок")), qPrintable(error));
            return;
        }
        QVERIFY2(loaded, qPrintable(error));
        QVERIFY(im.valid);
        QCOMPARE(im.width, 5);
        QCOMPARE(im.height, 6);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 5; ++x)
                QCOMPARE(render::huValueAt(im, x, y), double((used * 6 + y) * 5 + x + 1));
    }

    void frameCountAndRescale_data()
    {
        QTest::addColumn<QString>("frames");    // "" leaves NumberOfFrames out
        QTest::addColumn<QString>("slope");     // "-" removes the element
        QTest::addColumn<QString>("intercept"); // "-" removes the element
        QTest::addColumn<double>("expectedFirst"); // pixel (0,0) of frame 5 (clamped)
        QTest::newRow("frames 0 counts as one") << "0" << "1" << "0" << 1.0;
        QTest::newRow("frames abc counts as one") << "abc" << "1" << "0" << 1.0;
        QTest::newRow("no slope, intercept -1024") << "" << "-" << "-1024" << -1023.0;
        QTest::newRow("slope 2.5") << "" << "2.5" << "10" << 12.5;
        QTest::newRow("slope not a number is 1") << "" << "abc" << "-5" << -4.0;
        QTest::newRow("neither present") << "" << "-" << "-" << 1.0;
    }
    void frameCountAndRescale()
    {
        QFETCH(QString, frames);
        QFETCH(QString, slope);
        QFETCH(QString, intercept);
        QFETCH(double, expectedFirst);
        SeriesLayout s = smallLayout();
        s.slices = 1;
        s.customize = [&](DcmDataset& ds, int) {
            if (!frames.isEmpty())
                ds.putAndInsertString(DCM_NumberOfFrames, frames.toLatin1().constData());
            if (slope == "-")
                delete ds.remove(DCM_RescaleSlope);
            else
                ds.putAndInsertString(DCM_RescaleSlope, slope.toLatin1().constData());
            if (intercept == "-")
                delete ds.remove(DCM_RescaleIntercept);
            else
                ds.putAndInsertString(DCM_RescaleIntercept, intercept.toLatin1().constData());
        };
        const QString file = fixtures::writeSlice(path("rescale.dcm"), s, 0);
        render::clearHuFrameCache();
        render::HuImage im;
        QString error;
        QVERIFY2(render::loadHuFrame(im, file, 5, &error), qPrintable(error));
        QCOMPARE(render::huValueAt(im, 0, 0), expectedFirst);
    }

    // Enhanced multi-frame files keep the rescale in the shared or in each frame's own functional groups.
    void enhancedRescaleFromFunctionalGroups_data()
    {
        QTest::addColumn<bool>("perFrame");
        QTest::addColumn<bool>("sameInEveryFrame");
        QTest::newRow("shared") << false << true;
        QTest::newRow("per frame, the same in every frame") << true << true;
        QTest::newRow("per frame, one per frame") << true << false;
    }
    void enhancedRescaleFromFunctionalGroups()
    {
        QFETCH(bool, perFrame);
        QFETCH(bool, sameInEveryFrame);
        // Frame 2 has 2 / -1000 in every row; frame 1 has 1.5 / -500 where each frame has its own.
        auto rescale = [&](int k) {
            return sameInEveryFrame ? std::make_pair(2.0, -1000.0) : std::make_pair(0.5 * (k + 2), -500.0 * k);
        };
        SeriesLayout s = smallLayout();
        s.rescaleSlope = 2.0;
        s.rescaleIntercept = -1000.0;
        if (perFrame)
            s.frameRescale = rescale;
        const QString name = QStringLiteral("enh_%1.dcm").arg(QTest::currentDataTag()).replace(' ', '_');
        const QString file = fixtures::writeEnhancedMultiFrame(path(name), s);
        for (int frame : {2, 1}) {
            render::HuImage im;
            QString error;
            QVERIFY2(render::loadHuFrame(im, file, frame, &error), qPrintable(error));
            const auto [slope, intercept] = rescale(frame);
            QCOMPARE(render::huValueAt(im, 4, 5), ((frame * 6 + 5) * 5 + 4 + 1) * slope + intercept);
        }
    }

    // A Modality LUT maps the stored values by the rules the picture is drawn with: the values, their ROI
    // statistics and the picture follow the table, not the rescale beside it (intercept -1024 here).
    void modalityLut_data()
    {
        QTest::addColumn<QString>("where"); // "top", "frame" (frame 1's own, entries + 100), "shared", "XA"
        QTest::addColumn<int>("bitsStored"); // signed pixels where the first mapped value is negative
        QTest::addColumn<QList<int>>("descriptor"); // entries declared, first mapped, bits per entry
        QTest::addColumn<int>("entries");           // in the data; negative: 8 bits each
        QTest::addColumn<QList<int>>("stored");
        QTest::addColumn<QList<double>>("expected");
        const QList<int> plain{4096, 0, 16};
        using In = QList<int>;
        using Out = QList<double>;
        QTest::newRow("12 bits in, 16 out") << "top" << 12 << plain << 4096 << In{0, 678, 4095}
                                            << Out{0, 5678, 20474};
        QTest::newRow("first mapped 100, clamped") << "top" << 12 << In{1000, 100, 16} << 1000
                                                   << In{5, 100, 678, 1099, 1100}
                                                   << Out{0, 0, 10450, 21954, 21954};
        QTest::newRow("0 entries is 65536") << "top" << 16 << In{0, 0, 8} << -65536 << In{678, 65535}
                                            << Out{46, 250};
        QTest::newRow("8 bits, two to a word") << "top" << 12 << In{256, 0, 8} << -256 << In{100, 678}
                                               << Out{204, 250};
        QTest::newRow("12 bits per entry") << "top" << 12 << In{4096, 0, 12} << 4096 << In{678, 4095}
                                           << Out{1582, 4090};
        QTest::newRow("0 bits per entry") << "top" << 12 << In{4096, 0, 0} << 4096 << In{678} << Out{5678};
        QTest::newRow("signed, first mapped -1024") << "top" << 12 << In{4096, -1024, 16} << 4096
                                                    << In{-2048, -1024, 0, 2047} << Out{0, 0, 7168, 15354};
        QTest::newRow("a frame's own") << "frame" << 12 << plain << 4096 << In{0, 678} << Out{100, 5778};
        QTest::newRow("shared groups") << "shared" << 12 << plain << 4096 << In{0, 678} << Out{0, 5678};
        QTest::newRow("no data: the rescale") << "top" << 12 << plain << 0 << In{0, 678} << Out{-1024, -346};
        QTest::newRow("X-ray angiography: none") << "XA" << 12 << plain << 4096 << In{0, 678} << Out{0, 678};
    }
    void modalityLut()
    {
        QFETCH(QString, where);
        QFETCH(int, bitsStored);
        QFETCH(QList<int>, descriptor);
        QFETCH(int, entries);
        QFETCH(QList<int>, stored);
        QFETCH(QList<double>, expected);
        const bool enhanced = where == "frame" || where == "shared";
        SeriesLayout s = smallLayout();
        s.slices = enhanced ? 3 : 1;
        s.columns = int(stored.size());
        s.pixels = descriptor[1] < 0 ? fixtures::PixelKind::Int16 : fixtures::PixelKind::UInt16;
        s.rescaleIntercept = -1024.0;
        s.value = [&](int x, int, int) { return stored.at(x); };
        if (where == "frame")
            s.frameRescale = [](int) { return std::make_pair(1.0, -1024.0); };
        s.customize = [&](DcmDataset& ds, int) {
            ds.putAndInsertUint16(DCM_BitsStored, Uint16(bitsStored));
            ds.putAndInsertUint16(DCM_HighBit, Uint16(bitsStored - 1));
            if (where == "XA") { // its picture takes no rescale either
                ds.putAndInsertString(DCM_SOPClassUID, UID_XRayAngiographicImageStorage);
                delete ds.remove(DCM_RescaleIntercept);
            }
            for (int k = 0; k < (where == "frame" ? 3 : 1); ++k) {
                DcmItem* item = &ds;
                const DcmTagKey groups = where == "frame" ? DCM_PerFrameFunctionalGroupsSequence
                                                          : DCM_SharedFunctionalGroupsSequence;
                if (enhanced && ds.findAndGetSequenceItem(groups, item, k).good())
                    item->findOrCreateSequenceItem(DCM_PixelValueTransformationSequence, item, 0);
                putModalityLut(*item, descriptor, entries, 100 * k);
            }
        };
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).remove(QRegularExpression("\\W"));
        const QString name = path(QStringLiteral("lut%1.dcm").arg(tag));
        const QString file =
            enhanced ? fixtures::writeEnhancedMultiFrame(name, s) : fixtures::writeSlice(name, s, 0);
        render::HuImage im;
        QString error;
        QVERIFY2(render::loadHuFrame(im, file, 1, &error), qPrintable(error));
        const auto picture = dicom::decodeFrame(file, 1, render::WindowLevel{32768.0, 65536.0}, &error);
        QVERIFY2(picture, qPrintable(error));
        for (int x = 0; x < stored.size(); ++x) {
            QCOMPARE(render::huValueAt(im, x, 3), expected.at(x));
            const int gray = dicomtest::expectedGray(expected.at(x), 32768.0, 65536.0);
            QVERIFY(qAbs(qGray(picture->image.pixel(x, 3)) - gray) <= 1);
        }
        const qreal w = s.columns;
        const render::RoiStats roi = render::polygonRoiStats(im, {{0, 0}, {w, 0}, {w, 6}, {0, 6}});
        const auto [least, most] = std::minmax_element(expected.begin(), expected.end());
        QCOMPARE(QList<double>({roi.min, roi.max, roi.mean}),
                 QList<double>({*least, *most, std::accumulate(expected.begin(), expected.end(), 0.0) / w}));
    }

    void signedness_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("bitsStored");
        QTest::addColumn<int>("highBit");
        QTest::addColumn<double>("expected");
        const int s16 = int(fixtures::PixelKind::Int16), u16 = int(fixtures::PixelKind::UInt16);
        QTest::newRow("signed 0xFFFF is -1") << s16 << -1 << 16 << 15 << -1.0;
        QTest::newRow("unsigned 0xFFFF is 65535") << u16 << 65535 << 16 << 15 << 65535.0;
        QTest::newRow("12 bits, junk above masked") << u16 << (0xA000 | 0x0123) << 12 << 11 << double(0x123);
        QTest::newRow("12 bits signed, sign extended") << s16 << int(qint16(0xF000 | 0x0FFF)) << 12 << 11 << -1.0;
        QTest::newRow("12 bits at high bit 13") << u16 << (0x0123 << 2) << 12 << 13 << double(0x123);
        QTest::newRow("12 bits signed at high bit 13") << s16 << int(qint16(0x0800 << 2)) << 12 << 13 << -2048.0;
    }
    void signedness()
    {
        QFETCH(int, kind);
        QFETCH(int, stored);
        QFETCH(int, bitsStored);
        QFETCH(int, highBit);
        QFETCH(double, expected);
        SeriesLayout s = smallLayout();
        s.slices = 1;
        s.pixels = fixtures::PixelKind(kind);
        s.value = [stored](int, int, int) { return stored; };
        s.customize = [&](DcmDataset& ds, int) {
            ds.putAndInsertUint16(DCM_BitsStored, Uint16(bitsStored));
            ds.putAndInsertUint16(DCM_HighBit, Uint16(highBit));
        };
        const QString file = fixtures::writeSlice(path(QStringLiteral("sign%1.dcm").arg(QTest::currentDataTag()).remove(' ')), s, 0);
        render::HuImage im;
        QString error;
        QVERIFY2(render::loadHuFrame(im, file, 0, &error), qPrintable(error));
        QCOMPARE(render::huValueAt(im, 2, 3), expected);
    }

    // A file whose header promises more pixels than it holds must fail with a message, never read
    // past the element.
    void lyingOrUnsupportedFilesFail_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("rows larger than the data") << 0;
        QTest::newRow("frames larger than the data, last frame") << 1;
        QTest::newRow("pixel data cut short") << 2;
        QTest::newRow("colour image") << 3;
        QTest::newRow("32 bits allocated") << 4;
        QTest::newRow("bits stored above allocated") << 5;
        QTest::newRow("no pixel data") << 6;
        QTest::newRow("rows missing") << 7;
        QTest::newRow("JPEG 2000") << 8;
        QTest::newRow("High-Throughput JPEG 2000") << 9;
    }
    void lyingOrUnsupportedFilesFail()
    {
        QFETCH(int, which);
        SeriesLayout s = smallLayout();
        s.slices = 1;
        if (which == 3)
            s.pixels = fixtures::PixelKind::Rgb8;
        if (which >= 8)
            s.compression = fixtures::Compression::JpegLsLossless;
        s.customize = [which](DcmDataset& ds, int) {
            switch (which) {
            case 0: ds.putAndInsertUint16(DCM_Rows, 4000); break;
            case 1: ds.putAndInsertString(DCM_NumberOfFrames, "50"); break;
            case 2: {
                const Uint16 few[3] = {1, 2, 3};
                ds.putAndInsertUint16Array(DCM_PixelData, few, 3);
                break;
            }
            case 4: ds.putAndInsertUint16(DCM_BitsAllocated, 32); break;
            case 5: ds.putAndInsertUint16(DCM_BitsStored, 20); break;
            case 6: delete ds.remove(DCM_PixelData); break;
            case 7: delete ds.remove(DCM_Rows); break;
            default: break;
            }
        };
        const QString file = fixtures::writeSlice(path(QStringLiteral("bad%1.dcm").arg(which)), s, 0);
        if (which == 8)
            fixtures::replaceInFile(file, "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.90"); // JPEG 2000
        if (which == 9)
            fixtures::relabelTransferSyntax(file, "1.2.840.10008.1.2.4.202");
        render::HuImage im;
        im.width = 77; // left alone on failure
        QString error;
        QVERIFY(!render::loadHuFrame(im, file, 49, &error));
        QVERIFY(!im.valid);
        QVERIFY(im.pixels.empty());
        QVERIFY(!error.isEmpty());
        QCOMPARE(im.error, error);
        QCOMPARE(im.width, 77);
        // The program's own words, none of the library's.
        if (which == 7)
            QCOMPARE(error, QStringLiteral("В файле не указан размер изображения (строк: 0, столбцов: 5)."));
        else if (which >= 8)
            QCOMPARE(error, QStringLiteral("JPEG 2000 не поддерживается"));
        else
            QVERIFY2(error.startsWith(QStringLiteral("Кадр "))
                         && !error.contains(QRegularExpression("[A-Za-z]")),
                     qPrintable(error));
    }

    // Files that would hold the loader for ever or make it allocate gigabytes: each is refused with
    // its reason, promptly and within a small share of memory.
    void hostileFilesAreRefused_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("peakMegabytes");
        const QString tem = QStringLiteral("недопустимый маркер JPEG");
        QTest::newRow("JPEG fill bytes, then TEM") << 0 << tem << 200;
        QTest::newRow("JPEG TEM after a 65,520-byte APP segment") << 1 << tem << 200;
        QTest::newRow("deflated 1 GiB of zeros") << 2 << QStringLiteral("недопустимо большой объём") << 200;
        QTest::newRow("32768 x 32768 frame present")
            << 3 << QStringLiteral("Слишком большой кадр: 32768×32768.") << 200;
        QTest::newRow("declared sizes of 65535")
            << 4 << QStringLiteral("Слишком большой кадр: 65535×65535.") << 200;
        QTest::newRow("declared sizes of 65535, compressed")
            << 5 << QStringLiteral("Слишком большой кадр: 65535×65535.") << 200;
        QTest::newRow("Pixel Data as a sequence 12000 levels deep")
            << 6 << QStringLiteral("вложенность") << 200;
        QTest::newRow("deflated, nesting after 64 MiB") << 7 << QStringLiteral("вложенность") << 200;
        QTest::newRow("deflated behind a meta look-alike, 1 GiB")
            << 8 << QStringLiteral("недопустимо большой объём") << 200;
        QTest::newRow("130000 elements in descending order") << 9 << QStringLiteral("не по порядку") << 200;
        // A length of 3 GB in a file of a few hundred bytes: no more than the file holds is taken.
        QTest::newRow("meta header of 66 bytes, a length of 3 GB")
            << 10 << QStringLiteral("нестандартно") << 8;
        QTest::newRow("meta header of an image, a length of 3 GB")
            << 11 << QStringLiteral("нестандартно") << 8;
        QTest::newRow("data set of an image, a length of 3 GB")
            << 12 << QStringLiteral("за конец файла") << 8;
    }
    void hostileFilesAreRefused()
    {
        QFETCH(int, which);
        QFETCH(QString, reason);
        QFETCH(int, peakMegabytes);
        const QString file = path(QStringLiteral("hostile%1.dcm").arg(which));
        SeriesLayout s = smallLayout();
        s.slices = 1;
        if (which >= 10) {
            fixtures::writeLengthPastEnd(file, fixtures::LengthPastEnd(which - 10));
        } else if (which <= 1) {
            s.pixels = fixtures::PixelKind::UInt8;
            s.compression = fixtures::Compression::JpegBaseline;
            fixtures::writeSlice(file, s, 0);
            fixtures::rewriteFirstFragment(file, which == 0 ? fixtures::jpegWithFillBytesThenTem
                                                            : fixtures::jpegWithTemAfterLongSegment);
        } else if (which == 2) {
            fixtures::writeDeflatedZeros(file, 32768, 32768);
        } else if (which == 6) {
            fixtures::writeNestedPixelData(file, 12000, "SQ");
        } else if (which == 7) {
            fixtures::writeDeflatedNestingAfter64MiB(file, 20000);
        } else if (which == 8) {
            fixtures::writeDeflatedBehindMetaLookalike(file, 0);
        } else if (which == 9) {
            fixtures::writeManyEmptyElements(file, 130000, true);
        } else if (which == 3) {
            s.pixels = fixtures::PixelKind::UInt8;
            s.customize = [](DcmDataset& ds, int) {
                ds.putAndInsertUint16(DCM_Rows, 32768);
                ds.putAndInsertUint16(DCM_Columns, 32768);
            };
            fixtures::writeSlice(file, s, 0);
            fixtures::growPixelDataSparsely(file, 32768u * 32768u);
        } else {
            if (which == 5)
                s.compression = fixtures::Compression::Rle;
            // Products of these fields, with the last frame's index, pass 64 bits.
            s.customize = [which](DcmDataset& ds, int) {
                for (const DcmTagKey& tag : {DCM_Rows, DCM_Columns, DCM_SamplesPerPixel, DCM_BitsAllocated})
                    ds.putAndInsertUint16(tag, 65535);
                if (which == 4) {
                    ds.putAndInsertUint16(DCM_SamplesPerPixel, 1);
                    ds.putAndInsertUint16(DCM_BitsAllocated, 16);
                }
                ds.putAndInsertString(DCM_NumberOfFrames, "2147483647");
            };
            fixtures::writeSlice(file, s, 0);
        }

        QVERIFY(fixtures::resetPeakResidentMemory());
        const qint64 before = fixtures::residentBytes("VmRSS");
        bool loaded = true;
        QString error;
        // DCMTK's JPEG decoder would never return: watch it from here rather than hang the test.
        QThread* thread = QThread::create([&] {
            render::HuImage im;
            loaded = render::loadHuFrame(im, file, 2147483646, &error);
        });
        thread->start();
        if (!thread->wait(30000))
            qFatal("loading did not return for %s", qPrintable(file));
        delete thread;
        const qint64 grown = fixtures::residentBytes("VmHWM") - before;
        QVERIFY2(grown < peakMegabytes * 1024ll * 1024,
                 qPrintable(QStringLiteral("peak grew by %1 KB").arg(grown >> 10)));
        QVERIFY(!loaded);
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    // Shapes DCMTK reads otherwise than their bytes suggest: as deep as real data nests they give the
    // image's values where no walk must guess, and deep enough to end the program they are refused.
    void hostileShapesAreReadOrRefused_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("reason"); // empty: the frame is read
        using fixtures::HostileShape;
        for (auto [name, shape, followable] :
             {std::tuple{"private sequence", HostileShape::PrivateSequence, true},
              std::tuple{"unknown VR", HostileShape::UnknownVrSequence, false},
              std::tuple{"no transfer syntax", HostileShape::NoTransferSyntax, true},
              std::tuple{"unknown syntax", HostileShape::UnknownTransferSyntax, true},
              std::tuple{"deflate in meta sequence", HostileShape::DeflateInMetaSequence, true},
              std::tuple{"item group sequence", HostileShape::ItemGroupSequence, false},
              std::tuple{"non-letter VR", HostileShape::NonLetterVr, true},
              std::tuple{"deflated without preamble", HostileShape::DeflatedWithoutPreamble, true}}) {
            for (int depth : {20000, 8}) {
                QTest::addRow("%s, %d levels", name, depth)
                    << int(shape) << depth
                    << (!followable ? QStringLiteral("нестандартно")
                                    : depth > dicom::kMaxSequenceNesting ? QStringLiteral("вложенность") : QString());
            }
        }
    }
    void hostileShapesAreReadOrRefused()
    {
        QFETCH(int, shape);
        QFETCH(int, depth);
        QFETCH(QString, reason);
        const QString file = fixtures::writeHostileShape(path(QStringLiteral("shape%1_%2.dcm").arg(shape).arg(depth)),
                                                         fixtures::HostileShape(shape), depth);
        bool loaded = false;
        render::HuImage im;
        QString error;
        std::unique_ptr<QThread> thread(QThread::create([&] { loaded = render::loadHuFrame(im, file, 0, &error); }));
        thread->setStackSize(dicom::kParsingThreadStackSize);
        thread->start();
        QVERIFY(thread->wait(60000));
        QCOMPARE(loaded, reason.isEmpty());
        if (loaded)
            QCOMPARE(render::huValueAt(im, 3, 5), double(fixtures::coordinateValue(3, 5, 0)) - 1024.0);
        else
            QVERIFY2(error.contains(reason), qPrintable(error));
    }

    void truncatedAndForeignFilesFail()
    {
        SeriesLayout s = smallLayout();
        s.rows = 64;
        s.columns = 64;
        s.slices = 1;
        const QString good = fixtures::writeSlice(path("whole.dcm"), s, 0);
        const QFileInfo info(good);
        const QString cut = path("cut.dcm");
        fixtures::writeTruncatedCopy(good, cut, info.size() - 1000);
        render::HuImage im;
        QString error;
        QVERIFY(!render::loadHuFrame(im, cut, 0, &error));
        QVERIFY(!error.isEmpty());

        fixtures::writeDicmWithPayload(path("junk.dcm"), QByteArray(300, '\x7f'));
        QVERIFY(!render::loadHuFrame(im, path("junk.dcm"), 0, &error));
        QVERIFY(!render::loadHuFrame(im, path("missing.dcm"), 0, &error));
        QCOMPARE(error, QStringLiteral("Файл не найден."));
    }

    void compressedFramesDecode_data()
    {
        QTest::addColumn<int>("compression");
        QTest::addColumn<int>("mislabelled"); // 0: as written; 1: implicit VR big endian labelled explicit;
                                              // 2: a compressed file's data set written in implicit VR;
                                              // 3: saved again in the private big-endian-pixel syntax
        QTest::newRow("JPEG-LS lossless") << int(fixtures::Compression::JpegLsLossless) << 0;
        QTest::newRow("RLE") << int(fixtures::Compression::Rle) << 0;
        QTest::newRow("implicit VR big endian labelled explicit") << int(fixtures::Compression::None) << 1;
        QTest::newRow("JPEG-LS, data set in implicit VR") << int(fixtures::Compression::JpegLsLossless) << 2;
        // Implicit VR little endian with big-endian pixels (1.2.840.113619.5.2), written by DCMTK.
        QTest::newRow("private syntax, big-endian pixels") << int(fixtures::Compression::None) << 3;
    }
    void compressedFramesDecode()
    {
        QFETCH(int, compression);
        QFETCH(int, mislabelled);
        SeriesLayout s = smallLayout();
        s.compression = fixtures::Compression(compression);
        const QString file = fixtures::writeMultiFrame(
            path(QStringLiteral("c%1_%2.dcm").arg(compression).arg(mislabelled)), s);
        if (mislabelled == 1)
            fixtures::mislabelAsExplicitBigEndian(file);
        else if (mislabelled == 2)
            fixtures::writeDataSetAsImplicitVr(file);
        else if (mislabelled == 3) {
            DcmFileFormat rewritten;
            const QByteArray local = QFile::encodeName(file);
            QVERIFY(rewritten.loadFile(local.constData()).good() && rewritten.loadAllDataIntoMemory().good());
            QVERIFY(rewritten.saveFile(local.constData(), EXS_PrivateGE_LEI_WithBigEndianPixelData).good());
        }
        render::clearHuFrameCache();
        const long long before = render::huFrameParseCount();
        for (int f = 0; f < 3; ++f) {
            render::HuImage im;
            QString error;
            QVERIFY2(render::loadHuFrame(im, file, f, &error), qPrintable(error));
            QCOMPARE(render::huValueAt(im, 4, 5), double((f * 6 + 5) * 5 + 4 + 1));
        }
        QCOMPARE(render::huFrameParseCount() - before, 1LL); // decompressed once for all frames
    }

    // A file replaced or touched after its header was read and before its pixels were: the frame is
    // one file's (or refused), never one file's rescale on the other's samples nor samples read at the
    // other's offsets. A touch alone costs a second read, not a refusal. Read for an index row, another
    // object under the path (renamed or copied over it, or a row naming another object than the file
    // cached) is refused and said to be another object.
    void fileChangedBetweenHeaderAndPixels_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("forRow");
        QTest::newRow("another of the same layout renamed over it") << "same layout" << false;
        QTest::newRow("another with a longer header renamed over it") << "longer header" << false;
        QTest::newRow("touched, its bytes unchanged") << "touched" << false;
        QTest::newRow("read for its row, another renamed over it") << "same layout" << true;
        QTest::newRow("read for its row, another copied over it") << "copied over" << true;
        QTest::newRow("read for its row, touched") << "touched" << true;
        QTest::newRow("cached, read for a row naming another object") << "other row" << true;
    }
    void fileChangedBetweenHeaderAndPixels()
    {
        QFETCH(QString, change);
        QFETCH(bool, forRow);
        SeriesLayout first = smallLayout();
        first.slices = 1;
        const fixtures::FileAndReplacement written = fixtures::writeFileAndReplacement(
            first, m_dir.path(), QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'),
            change == QLatin1String("longer header"));
        const QString& file = written.file;
        const QString& other = written.other;
        render::clearHuFrameCache();
        const bool touch = change == QLatin1String("touched");
        const bool otherRow = change == QLatin1String("other row");
        // The row the index lists for the first file, in the version listed.
        dicom::RowObject row;
        if (forRow)
            row = {dicom::readFileSummary(otherRow ? other : file)->sopInstanceUid,
                   dicom::fileIdentity(file).text()};
        if (otherRow) {
            render::HuImage cached;
            QVERIFY(render::loadHuFrame(cached, file, 0, nullptr));
            row.version.clear();
        }
        fixtures::ChangeBeforeValues changeOnce(file, [&] {
            if (change == QLatin1String("copied over"))
                QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(other)));
            else if (!otherRow)
                QVERIFY(touch ? fixtures::touchLater(file) : fixtures::renameOver(other, file));
        });
        render::HuImage im;
        QString error;
        const bool loaded = render::loadHuFrame(im, file, 0, &error, row);
        QVERIFY(changeOnce.happened() || otherRow);
        if (forRow && !touch) {
            QVERIFY(!loaded && im.otherObject && im.pixels.empty());
            QVERIFY2(error.contains(QStringLiteral("другой снимок")), qPrintable(error));
            return;
        }
        QVERIFY(!im.otherObject);
        if (!loaded) {
            QVERIFY2(!touch && error.contains(QStringLiteral("изменился")), qPrintable(error));
            return;
        }
        const double value = im.pixels.front();
        QVERIFY2(value == 100.0 || (value == 200.0 && !touch), qPrintable(QString::number(value)));
        const auto others =
            std::count_if(im.pixels.begin(), im.pixels.end(), [&](double v) { return v != value; });
        QCOMPARE(others, 0);
    }

    void cacheFollowsPathSizeAndTime()
    {
        SeriesLayout s = smallLayout();
        const QString a = fixtures::writeSlice(path("cacheA.dcm"), s, 0);
        render::clearHuFrameCache();
        const long long start = render::huFrameParseCount();
        render::HuImage im;
        QVERIFY(render::loadHuFrame(im, a, 0, nullptr));
        QVERIFY(render::loadHuFrame(im, a, 0, nullptr));
        QCOMPARE(render::huFrameParseCount() - start, 1LL);
        // A failed load of another path keeps the entry.
        QVERIFY(!render::loadHuFrame(im, path("nothing.dcm"), 0, nullptr));
        QVERIFY(render::loadHuFrame(im, a, 0, nullptr));
        QCOMPARE(render::huFrameParseCount() - start, 2LL);
        // Rewritten in place with other pixels: the stale parse must not be used.
        s.value = [](int, int, int) { return 4321; };
        s.rows = 7;
        fixtures::writeSlice(a, s, 0);
        QFile f(a);
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime);
        f.close();
        QVERIFY(render::loadHuFrame(im, a, 0, nullptr));
        QCOMPARE(im.height, 7);
        QCOMPARE(render::huValueAt(im, 0, 0), 4321.0);
    }

    void concurrentLoadsOfDifferentFiles()
    {
        SeriesLayout s = smallLayout();
        s.slices = 12;
        s.rows = 40;
        s.columns = 30;
        s.value = [](int x, int y, int z) { return z * 1000 + y * 10 + x % 10; };
        const QStringList files = fixtures::writeSeries(path("conc"), s);
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                render::HuImage im;
                for (int round = 0; round < 20; ++round) {
                    const int k = (t * 5 + round) % 12;
                    if (!render::loadHuFrame(im, files[k], 0, nullptr) || render::huValueAt(im, 13, 17) != k * 1000 + 173)
                        ++wrong;
                }
            });
        }
        for (auto& t : threads)
            t.join();
        QCOMPARE(wrong.load(), 0);
    }

    void huValueAtOutside()
    {
        const auto im = imageOf(2, 2, {1, 2, 3, 4});
        QCOMPARE(render::huValueAt(im, 1, 1), 4.0);
        QCOMPARE(render::huValueAt(im, -1, 0), 0.0);
        QCOMPARE(render::huValueAt(im, 2, 0), 0.0);
        QCOMPARE(render::huValueAt(im, 0, 2), 0.0);
        render::HuImage invalid = im;
        invalid.valid = false;
        QCOMPARE(render::huValueAt(invalid, 0, 0), 0.0);
    }

    void ellipseStats()
    {
        std::vector<double> px(size_t(20 * 20));
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x)
                px[size_t(y * 20 + x)] = x + 100 * y;
        const auto im = imageOf(20, 20, px);
        const render::RoiStats s = render::ellipseRoiStats(im, 10, 10, 1, 1);
        // (10,10), (9,10), (11,10), (10,9), (10,11)
        QCOMPARE(s.count, 5);
        QCOMPARE(s.mean, 1010.0);
        QCOMPARE(s.min, 910.0);
        QCOMPARE(s.max, 1110.0);
        QVERIFY(std::abs(s.stdDev - std::sqrt((2 * 100.0 * 100.0 + 2 * 1.0) / 5)) < 1e-9);

        // Partly outside: only pixels inside the image count (radius 1 at the corner: 3 pixels).
        QCOMPARE(render::ellipseRoiStats(im, 0, 0, 1, 1).count, 3);
        QCOMPARE(render::ellipseRoiStats(im, 0, 0, 0, 1).count, 0);
        QCOMPARE(render::ellipseRoiStats(im, 1e12, -1e12, 5, 5).count, 0);
        render::HuImage invalid = im;
        invalid.valid = false;
        QCOMPARE(render::ellipseRoiStats(invalid, 10, 10, 3, 3).count, 0);
    }

    void polygonStats()
    {
        const auto im = imageOf(3, 1, {1, 2, 3});
        const QList<QPointF> all{{0, 0}, {3, 0}, {3, 1}, {0, 1}};
        const render::RoiStats s = render::polygonRoiStats(im, all);
        QCOMPARE(s.count, 3);
        QCOMPARE(s.mean, 2.0);
        QVERIFY(std::abs(s.stdDev - std::sqrt(2.0 / 3.0)) < 1e-12);
        QCOMPARE(s.min, 1.0);
        QCOMPARE(s.max, 3.0);

        const QList<QPointF> unit{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
        const render::RoiStats one = render::polygonRoiStats(im, unit);
        QCOMPARE(one.count, 1);
        QCOMPARE(one.mean, 1.0);

        const render::RoiStats none = render::polygonRoiStats(im, {{0, 0}, {3, 1}});
        QCOMPARE(none.count, 0);
        QCOMPARE(none.mean, 0.0);
    }

    void pointInPolygonRule()
    {
        const QList<QPointF> tri{{0, 0}, {4, 0}, {0, 4}};
        QVERIFY(render::pointInPolygon(1, 1, tri));
        QVERIFY(!render::pointInPolygon(3, 3, tri));
        QVERIFY(!render::pointInPolygon(-1, 1, tri));
        QVERIFY(!render::pointInPolygon(0, 0, {}));
        // A concave "U": the notch is outside.
        const QList<QPointF> u{{0, 0}, {3, 0}, {3, 3}, {2, 3}, {2, 1}, {1, 1}, {1, 3}, {0, 3}};
        QVERIFY(render::pointInPolygon(0.5, 2, u));
        QVERIFY(!render::pointInPolygon(1.5, 2, u));
        QVERIFY(render::pointInPolygon(1.5, 0.5, u));
    }
};

QTEST_GUILESS_MAIN(TestHuFrame)
#include "tst_huframe.moc"
