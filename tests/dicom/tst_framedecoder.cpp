// Frame decoder: frame choice, the one-image cache, the window really applied, colour models,
// compressed transfer syntaxes and damaged files.
#include "dicom/CodecRegistration.h"
#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "DicomTestSupport.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"
#include "dicom/FrameDecoder.h"
#include "support/TestFiles.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <functional>
#include <limits>

using fixtures::Compression;
using fixtures::PixelKind;
using fixtures::SeriesLayout;

namespace {

using dicomtest::expectedGray;

SeriesLayout smallLayout(int slices = 1, PixelKind kind = PixelKind::Int16)
{
    SeriesLayout layout;
    layout.rows = 16;
    layout.columns = 16;
    layout.slices = slices;
    layout.pixels = kind;
    layout.rescaleIntercept = 0.0;
    return layout;
}

// Saves the file again in another transfer syntax. 32-bit samples in big endian are stored as 32-bit
// big-endian values: DCMTK writes Pixel Data as 16-bit words, so the halves of each sample are
// exchanged first.
void rewriteInSyntax(const QString& file, E_TransferSyntax xfer, PixelKind kind)
{
    DcmFileFormat rewritten;
    QVERIFY(rewritten.loadFile(QFile::encodeName(file).constData()).good());
    if (kind == PixelKind::UInt32 && xfer == EXS_BigEndianExplicit) {
        const Uint16* data = nullptr;
        unsigned long count = 0;
        QVERIFY(rewritten.getDataset()->findAndGetUint16Array(DCM_PixelData, data, &count).good());
        auto* words = const_cast<Uint16*>(data);
        for (unsigned long i = 0; i + 1 < count; i += 2)
            std::swap(words[i], words[i + 1]);
    }
    QVERIFY(rewritten.saveFile(QFile::encodeName(file).constData(), xfer).good());
}

// Hands the first compressed fragment of an encapsulated data set to `edit`.
void editFirstFragment(DcmDataset& ds, const std::function<void(Uint8*, Uint32)>& edit)
{
    DcmElement* element = nullptr;
    QVERIFY(ds.findAndGetElement(DCM_PixelData, element).good());
    auto* pixelData = static_cast<DcmPixelData*>(element);
    E_TransferSyntax xfer = EXS_Unknown;
    const DcmRepresentationParameter* param = nullptr;
    pixelData->getCurrentRepresentationKey(xfer, param);
    DcmPixelSequence* sequence = nullptr;
    QVERIFY(pixelData->getEncapsulatedRepresentation(xfer, param, sequence).good());
    DcmPixelItem* item = nullptr;
    QVERIFY(sequence->getItem(item, 1).good());
    Uint8* bytes = nullptr;
    QVERIFY(item->getUint8Array(bytes).good());
    edit(bytes, item->getLength());
}

} // namespace

class FrameDecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void frameSelection_data();
    void frameSelection();
    void cacheModes_data();
    void cacheModes();
    void largeGreyMultiFrameIsDecodedPerFrame();
    void appliedWindow_data();
    void appliedWindow();
    void perFrameRescale_data();
    void perFrameRescale();
    void rewrittenFileIsNotServedFromCache();
    void fileChangedBetweenHeaderAndPixels_data();
    void fileChangedBetweenHeaderAndPixels();
    void failedDecodeKeepsCachedImage();
    void colourModels_data();
    void colourModels();
    void compressedPixels_data();
    void compressedPixels();
    void wideSamplesWithBytesOver_data();
    void wideSamplesWithBytesOver();
    void brokenFiles_data();
    void brokenFiles();
    void codecRegistrationIsCounted();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    std::optional<dicom::CodecRegistrationScope> m_codecs;
};

void FrameDecoderTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_codecs.emplace();
}

void FrameDecoderTest::frameSelection_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<QByteArray>("declared"); // Number of Frames as the file states it; empty: as written
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("expected"); // -1: refused
    // Read for an index row: "listed", of the file in the version listed; "five before", listed when
    // the path held the object in 5 frames, since copied over by the same object in `frames`.
    QTest::addColumn<QString>("row");
    QTest::newRow("middle of two") << 2 << QByteArray() << -1 << 1 << "";
    QTest::newRow("middle of forty") << 40 << QByteArray() << -1 << 20 << "";
    QTest::newRow("past the end") << 40 << QByteArray() << 100 << 39 << "";
    QTest::newRow("negative") << 40 << QByteArray() << -5 << 0 << "";
    QTest::newRow("exact") << 40 << QByteArray() << 13 << 13 << "";
    // A count that is not positive is no count: the file holds one frame.
    QTest::newRow("declares 0 frames") << 1 << QByteArray("0") << -1 << 0 << "";
    QTest::newRow("declares -3 frames") << 1 << QByteArray("-3") << 2 << 0 << "";
    // A row names one frame: the file's last is another image.
    QTest::newRow("a row's frame past the end") << 3 << QByteArray() << 3 << -1 << "listed";
    QTest::newRow("a row's middle frame") << 3 << QByteArray() << -1 << 1 << "listed";
    QTest::newRow("a row's frame 4 the file lost") << 3 << QByteArray() << 4 << -1 << "five before";
    QTest::newRow("a row's frame 3 the file lost") << 3 << QByteArray() << 3 << -1 << "five before";
    QTest::newRow("a row's frame 2 the file kept") << 3 << QByteArray() << 2 << 2 << "five before";
    QTest::newRow("a row's frame 0 the file kept") << 3 << QByteArray() << 0 << 0 << "five before";
}

void FrameDecoderTest::frameSelection()
{
    QFETCH(int, frames);
    QFETCH(QByteArray, declared);
    QFETCH(int, requested);
    QFETCH(int, expected);
    QFETCH(QString, row);
    SeriesLayout layout = smallLayout(frames);
    layout.value = [](int, int, int z) { return z * 100; };
    const QString uid = fixtures::newUid();
    layout.customize = [declared, uid](DcmDataset& ds, int) {
        ds.putAndInsertString(DCM_SOPInstanceUID, uid.toLatin1().constData());
        if (!declared.isEmpty())
            ds.putAndInsertString(DCM_NumberOfFrames, declared.constData());
    };
    SeriesLayout before = layout;
    before.slices = 5;
    const QString name = QStringLiteral("sel_%1_%2").arg(frames).arg(QString::fromLatin1(declared));
    const QString file = fixtures::writeMultiFrame(path(name + QStringLiteral(".dcm")),
                                                   row == QLatin1String("five before") ? before : layout);
    dicom::RowObject listed;
    if (!row.isEmpty())
        listed = {uid, dicom::fileIdentity(file).text()};
    if (row == QLatin1String("five before")) {
        // Its image cached first: the file copied over it is another version.
        QVERIFY(dicom::decodeFrame(file, 4, std::nullopt, nullptr, listed));
        const QString fewer = fixtures::writeMultiFrame(path(name + QStringLiteral("_fewer.dcm")), layout);
        QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(fewer)));
    }

    const render::WindowLevel window{2000.0, 4000.0};
    QString error;
    bool otherObject = false;
    const auto decoded = dicom::decodeFrame(file, requested, window, &error, listed, &otherObject);
    if (expected < 0) {
        QVERIFY(!decoded);
        QVERIFY(otherObject);
        QVERIFY2(error.contains(QStringLiteral("другой снимок")), qPrintable(error));
        return;
    }
    QVERIFY2(decoded, qPrintable(error));
    QVERIFY(!otherObject);
    QCOMPARE(decoded->frameCount, frames);
    QCOMPARE(decoded->image.size(), QSize(16, 16));
    QVERIFY(qAbs(qGray(decoded->image.pixel(3, 3)) - expectedGray(expected * 100, 2000, 4000)) <= 1);
}

void FrameDecoderTest::cacheModes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("perFrame");
    QTest::newRow("grey 30 frames: whole file") << int(PixelKind::Int16) << 30 << false;
    QTest::newRow("colour 16 frames: whole file") << int(PixelKind::Rgb8) << 16 << false;
    QTest::newRow("colour 17 frames: per frame") << int(PixelKind::Rgb8) << 17 << true;
}

void FrameDecoderTest::cacheModes()
{
    QFETCH(int, kind);
    QFETCH(int, frames);
    QFETCH(bool, perFrame);
    SeriesLayout layout = smallLayout(frames, PixelKind(kind));
    layout.value = [](int, int, int z) { return z * 5; };
    const QString file = fixtures::writeMultiFrame(path(QStringLiteral("cache_%1_%2.dcm").arg(kind).arg(frames)), layout);

    const quint64 before = dicom::frameDecoderCacheState().imagesBuilt;
    const auto third = dicom::decodeFrame(file, 3, std::nullopt);
    QVERIFY(third);
    const QString firstKey = dicom::frameDecoderCacheState().key;
    const auto seventh = dicom::decodeFrame(file, 7, std::nullopt);
    QVERIFY(seventh);
    const auto state = dicom::frameDecoderCacheState();
    QCOMPARE(state.imagesBuilt - before, perFrame ? 2u : 1u);
    if (perFrame) {
        QVERIFY(firstKey.endsWith(QLatin1String("#3")));
        QVERIFY(state.key.endsWith(QLatin1String("#7")));
    } else {
        QVERIFY(!state.key.contains(QLatin1Char('#')));
    }
    if (PixelKind(kind) == PixelKind::Rgb8) {
        QCOMPARE(third->image.format(), QImage::Format_RGB888);
        QCOMPARE(qRed(third->image.pixel(0, 0)), 15);
        QCOMPARE(qRed(seventh->image.pixel(0, 0)), 35);
    }
}

void FrameDecoderTest::largeGreyMultiFrameIsDecodedPerFrame()
{
    // 130 frames of 512 x 512 x 16 bits are 65 MiB decoded: too much to hold at once.
    SeriesLayout layout = smallLayout(130);
    layout.rows = 512;
    layout.columns = 512;
    layout.value = [](int x, int, int z) { return z * 100 + (x & 1); };
    const QString file = fixtures::writeMultiFrame(path(QStringLiteral("large.dcm")), layout);

    const quint64 before = dicom::frameDecoderCacheState().imagesBuilt;
    const render::WindowLevel window{6500.0, 13000.0};
    for (int frame : {5, 129}) {
        QString error;
        const auto decoded = dicom::decodeFrame(file, frame, window, &error);
        QVERIFY2(decoded, qPrintable(error));
        QCOMPARE(decoded->frameCount, 130);
        QVERIFY(qAbs(qGray(decoded->image.pixel(100, 100)) - expectedGray(frame * 100, 6500, 13000)) <= 1);
        QVERIFY(dicom::frameDecoderCacheState().key.endsWith(QStringLiteral("#%1").arg(frame)));
    }
    QCOMPARE(dicom::frameDecoderCacheState().imagesBuilt - before, 2u);
}

void FrameDecoderTest::appliedWindow_data()
{
    QTest::addColumn<bool>("explicitWindow");
    QTest::addColumn<double>("center");
    QTest::addColumn<double>("width");
    QTest::addColumn<QByteArray>("stored"); // Window Center and Width as the file holds them; empty: none
    QTest::addColumn<bool>("expectMinMax");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QByteArray stored = "40|400";
    QTest::newRow("explicit") << true << 100.0 << 300.0 << stored << false;
    QTest::newRow("explicit width 1") << true << 100.0 << 1.0 << stored << false;
    QTest::newRow("explicit width below 1") << true << 100.0 << 0.5 << stored << true;
    QTest::newRow("explicit negative width") << true << 100.0 << -20.0 << stored << true;
    QTest::newRow("explicit not a number") << true << nan << nan << stored << true;
    QTest::newRow("stored window") << false << 40.0 << 400.0 << stored << false;
    QTest::newRow("no stored window") << false << 0.0 << 0.0 << QByteArray() << true;
    QTest::newRow("stored width zero") << false << 0.0 << 0.0 << QByteArray("40|0") << true;
    QTest::newRow("stored centre NaN") << false << 0.0 << 0.0 << QByteArray("NaN|400") << true;
    QTest::newRow("stored width infinite") << false << 0.0 << 0.0 << QByteArray("40|inf") << true;
    QTest::newRow("stored centre beyond double") << false << 0.0 << 0.0 << QByteArray("1e999|400") << true;
}

void FrameDecoderTest::appliedWindow()
{
    QFETCH(bool, explicitWindow);
    QFETCH(double, center);
    QFETCH(double, width);
    QFETCH(QByteArray, stored);
    QFETCH(bool, expectMinMax);

    SeriesLayout layout = smallLayout();
    layout.value = [](int x, int y, int) { return 100 + 10 * y + x; }; // 100 .. 265
    layout.rescaleIntercept = -50.0;                                   // 50 .. 215 after rescale
    layout.customize = [stored](DcmDataset& ds, int) {
        ds.findAndDeleteElement(DCM_WindowCenter);
        ds.findAndDeleteElement(DCM_WindowWidth);
        if (!stored.isEmpty()) {
            ds.putAndInsertString(DCM_WindowCenter, stored.split('|').at(0).constData());
            ds.putAndInsertString(DCM_WindowWidth, stored.split('|').at(1).constData());
        }
    };
    const QString file = fixtures::writeSlice(path(QStringLiteral("window_%1.dcm").arg(QTest::currentDataTag())), layout, 0);

    std::optional<render::WindowLevel> window;
    if (explicitWindow)
        window = render::WindowLevel{center, width};
    QString error;
    const auto decoded = dicom::decodeFrame(file, 0, window, &error);
    QVERIFY2(decoded, qPrintable(error));
    if (expectMinMax) {
        QVERIFY2(qAbs(decoded->windowCenter - 132.5) <= 1.0, qPrintable(QString::number(decoded->windowCenter)));
        QVERIFY2(qAbs(decoded->windowWidth - 165.0) <= 1.0, qPrintable(QString::number(decoded->windowWidth)));
    } else {
        QCOMPARE(decoded->windowCenter, center);
        QCOMPARE(decoded->windowWidth, width);
    }
    // The picture follows the window the result reports.
    for (const QPoint p : {QPoint(0, 0), QPoint(7, 9), QPoint(15, 15), QPoint(3, 12)}) {
        const double value = 50 + 10 * p.y() + p.x();
        QVERIFY2(qAbs(qGray(decoded->image.pixel(p)) - expectedGray(value, decoded->windowCenter, decoded->windowWidth)) <= 1,
                 qPrintable(QStringLiteral("at %1,%2").arg(p.x()).arg(p.y())));
    }
}

// Enhanced multi-frame files may keep each frame's rescale in its own functional groups only: the frame is
// windowed in the units of that frame's rescale, exactly as the same file with that rescale in the shared
// groups is.
void FrameDecoderTest::perFrameRescale_data()
{
    QTest::addColumn<QList<double>>("slopes");
    QTest::addColumn<QList<double>>("intercepts");
    QTest::addColumn<bool>("storedWindow"); // else an explicit window of 40 / 400
    QTest::newRow("the same in every frame") << QList<double>{1, 1, 1} << QList<double>{-1024, -1024, -1024} << false;
    QTest::newRow("the same, stored window") << QList<double>{1, 1, 1} << QList<double>{-1024, -1024, -1024} << true;
    QTest::newRow("one per frame") << QList<double>{1, 2, 0.5} << QList<double>{-1040, -2200, -490} << false;
    QTest::newRow("one per frame, stored window") << QList<double>{1, 2, 0.5} << QList<double>{-1040, -2200, -490}
                                                  << true;
    QTest::newRow("negative slope") << QList<double>{-1, 1, -2} << QList<double>{1100, -1024, 2100} << false;
}

void FrameDecoderTest::perFrameRescale()
{
    QFETCH(QList<double>, slopes);
    QFETCH(QList<double>, intercepts);
    QFETCH(bool, storedWindow);
    SeriesLayout layout = smallLayout(3);
    layout.value = [](int x, int y, int) { return 1000 + 10 * y + x; }; // 1000 .. 1165 in every frame
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'));
    SeriesLayout perFrame = layout;
    perFrame.frameRescale = [&](int k) { return std::make_pair(slopes.at(k), intercepts.at(k)); };
    const QString file = fixtures::writeEnhancedMultiFrame(path(QStringLiteral("perframe_%1.dcm").arg(tag)), perFrame);

    std::optional<render::WindowLevel> window;
    if (!storedWindow)
        window = render::WindowLevel{40.0, 400.0};
    for (int frame = 0; frame < 3; ++frame) {
        SeriesLayout twinLayout = layout;
        twinLayout.rescaleSlope = slopes.at(frame);
        twinLayout.rescaleIntercept = intercepts.at(frame);
        const QString twin = fixtures::writeEnhancedMultiFrame(
            path(QStringLiteral("perframe_%1_twin%2.dcm").arg(tag).arg(frame)), twinLayout);
        QString error;
        const auto decoded = dicom::decodeFrame(file, frame, window, &error);
        QVERIFY2(decoded, qPrintable(error));
        const auto expected = dicom::decodeFrame(twin, frame, window, &error);
        QVERIFY2(expected, qPrintable(error));
        QCOMPARE(decoded->windowCenter, expected->windowCenter);
        QCOMPARE(decoded->windowWidth, expected->windowWidth);
        QCOMPARE(decoded->frameCount, 3);
        QVERIFY2(decoded->image == expected->image, qPrintable(QStringLiteral("frame %1").arg(frame)));
        // The twin itself is drawn in rescaled units (DCMTK rounds rescaled values, which a narrow
        // minimum-maximum window magnifies: checked under the wide window only).
        if (storedWindow)
            continue;
        for (const QPoint p : {QPoint(0, 0), QPoint(7, 9), QPoint(15, 15)}) {
            const double value = (1000 + 10 * p.y() + p.x()) * slopes.at(frame) + intercepts.at(frame);
            QVERIFY2(qAbs(qGray(decoded->image.pixel(p)) - expectedGray(value, 40.0, 400.0)) <= 1,
                     qPrintable(QStringLiteral("frame %1 at %2,%3").arg(frame).arg(p.x()).arg(p.y())));
        }
    }
}

void FrameDecoderTest::rewrittenFileIsNotServedFromCache()
{
    const QString file = path(QStringLiteral("rewritten.dcm"));
    SeriesLayout layout = smallLayout();
    layout.value = [](int, int, int) { return 100; };
    fixtures::writeSlice(file, layout, 0);
    const render::WindowLevel window{200.0, 400.0};
    const auto first = dicom::decodeFrame(file, 0, window);
    QVERIFY(first);
    const quint64 built = dicom::frameDecoderCacheState().imagesBuilt;
    QVERIFY(dicom::decodeFrame(file, 0, window));
    QCOMPARE(dicom::frameDecoderCacheState().imagesBuilt, built); // unchanged file: cache hit

    // Same path, same size, new pixels (as a tag editor or recompression would leave it).
    const qint64 size = QFileInfo(file).size();
    layout.value = [](int, int, int) { return 300; };
    fixtures::writeSlice(file, layout, 0);
    QCOMPARE(QFileInfo(file).size(), size);
    const auto second = dicom::decodeFrame(file, 0, window);
    QVERIFY(second);
    QCOMPARE(dicom::frameDecoderCacheState().imagesBuilt, built + 1);
    QVERIFY(qAbs(qGray(first->image.pixel(0, 0)) - expectedGray(100, 200, 400)) <= 1);
    QVERIFY(qAbs(qGray(second->image.pixel(0, 0)) - expectedGray(300, 200, 400)) <= 1);
}

// A file replaced or touched after the header was read and before the pixels were: the picture is one
// file's (or refused), never one file's rescale on the other's samples nor samples read at the other's
// offsets. A touch alone costs a second read, not a refusal. Read for an index row, another object under
// the path (renamed over it, copied over it in place, also after its image was cached) is never drawn.
void FrameDecoderTest::fileChangedBetweenHeaderAndPixels_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("forRow");
    QTest::newRow("another of the same layout renamed over it") << "same layout" << false;
    QTest::newRow("another with a longer header renamed over it") << "longer header" << false;
    QTest::newRow("touched, its bytes unchanged") << "touched" << false;
    QTest::newRow("read for its row, another renamed over it") << "same layout" << true;
    QTest::newRow("read for its row, another copied over it") << "copied over" << true;
    QTest::newRow("read for its row, another copied over its cached image") << "copied over cached" << true;
    QTest::newRow("read for its row, touched") << "touched" << true;
}

void FrameDecoderTest::fileChangedBetweenHeaderAndPixels()
{
    QFETCH(QString, change);
    QFETCH(bool, forRow);
    const fixtures::FileAndReplacement written = fixtures::writeFileAndReplacement(
        smallLayout(), m_dir.path(), QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'),
        change == QLatin1String("longer header"));
    const QString& file = written.file;
    const QString& other = written.other;
    const bool touch = change == QLatin1String("touched");
    const bool cachedFirst = change == QLatin1String("copied over cached");
    // The row the index lists for the first file, in the version listed.
    const dicom::RowObject row = forRow ? dicom::RowObject{dicom::readFileSummary(file)->sopInstanceUid,
                                                           dicom::fileIdentity(file).text()}
                                        : dicom::RowObject{};
    const render::WindowLevel window{150.0, 400.0};
    if (cachedFirst) {
        QVERIFY(dicom::decodeFrame(file, 0, window, nullptr, row));
        QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(other), true));
    }
    fixtures::ChangeBeforeValues changeOnce(file, [&] {
        if (change == QLatin1String("copied over"))
            QVERIFY(fixtures::replaceFileBytes(file, fixtures::readFile(other)));
        else if (!cachedFirst)
            QVERIFY(touch ? fixtures::touchLater(file) : fixtures::renameOver(other, file));
    });
    QString error;
    bool otherObject = false;
    const auto decoded = dicom::decodeFrame(file, 0, window, &error, row, &otherObject);
    QVERIFY(changeOnce.happened() || cachedFirst);
    if (forRow && !touch) {
        QVERIFY(!decoded);
        QVERIFY(otherObject);
        QVERIFY2(error.contains(QStringLiteral("другой снимок")), qPrintable(error));
        return;
    }
    QVERIFY(!otherObject);
    if (!decoded) {
        QVERIFY2(!touch && error.contains(QStringLiteral("изменился")), qPrintable(error));
        return;
    }
    // The first file holds 100, the second 300 less 100.
    const QImage& image = decoded->image;
    const int gray = qGray(image.pixel(0, 0));
    const bool firstFile = qAbs(gray - expectedGray(100, 150, 400)) <= 1;
    const bool secondFile = qAbs(gray - expectedGray(200, 150, 400)) <= 1;
    QVERIFY2(firstFile || (secondFile && !touch), qPrintable(QString::number(gray)));
    int others = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            others += qGray(image.pixel(x, y)) != gray;
    QCOMPARE(others, 0);
}

void FrameDecoderTest::failedDecodeKeepsCachedImage()
{
    const QString good = fixtures::writeSlice(path(QStringLiteral("good.dcm")), smallLayout(), 0);
    const QString bad = path(QStringLiteral("bad.dcm"));
    fixtures::writeTruncatedCopy(good, bad, QFileInfo(good).size() - 100);

    QVERIFY(dicom::decodeFrame(good, 0, std::nullopt));
    const auto state = dicom::frameDecoderCacheState();
    QString error;
    QVERIFY(!dicom::decodeFrame(bad, 0, std::nullopt, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(dicom::decodeFrame(good, 0, std::nullopt, &error));
    QVERIFY(error.isEmpty());
    QCOMPARE(dicom::frameDecoderCacheState().imagesBuilt, state.imagesBuilt);
    QCOMPARE(dicom::frameDecoderCacheState().key, state.key);
}

void FrameDecoderTest::colourModels_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("format");
    QTest::newRow("MONOCHROME2") << "MONOCHROME2" << int(QImage::Format_Grayscale8);
    QTest::newRow("MONOCHROME1") << "MONOCHROME1" << int(QImage::Format_Grayscale8);
    QTest::newRow("RGB") << "RGB" << int(QImage::Format_RGB888);
    QTest::newRow("YBR_FULL") << "YBR_FULL" << int(QImage::Format_RGB888);
    QTest::newRow("YBR_FULL_422") << "YBR_FULL_422" << int(QImage::Format_RGB888);
    QTest::newRow("PALETTE COLOR") << "PALETTE COLOR" << int(QImage::Format_RGB888);
}

void FrameDecoderTest::colourModels()
{
    QFETCH(QString, model);
    QFETCH(int, format);
    SeriesLayout layout = smallLayout(1, model.startsWith(QLatin1String("RGB")) || model.startsWith(QLatin1String("YBR")) ? PixelKind::Rgb8
                                                                                                                  : PixelKind::UInt8);
    layout.value = [](int x, int, int) { return x * 16; };
    if (model == QLatin1String("RGB"))
        layout.rgbValue = [](int, int, int) { return std::array<int, 3>{200, 100, 50}; };
    if (model == QLatin1String("YBR_FULL"))
        layout.rgbValue = [](int, int, int) { return std::array<int, 3>{128, 128, 255}; };
    if (model == QLatin1String("MONOCHROME1"))
        layout.photometric = fixtures::Photometric::Monochrome1;
    layout.customize = [model](DcmDataset& ds, int) {
        if (model == QLatin1String("YBR_FULL")) {
            ds.putAndInsertString(DCM_PhotometricInterpretation, "YBR_FULL");
        } else if (model == QLatin1String("YBR_FULL_422")) {
            // Two pixels share one Cb and Cr: Y Y Cb Cr, so the data are two bytes per pixel.
            ds.putAndInsertString(DCM_PhotometricInterpretation, "YBR_FULL_422");
            std::vector<Uint8> bytes;
            for (int i = 0; i < 16 * 16 / 2; ++i)
                bytes.insert(bytes.end(), {128, 128, 128, 255});
            ds.putAndInsertUint8Array(DCM_PixelData, bytes.data(), unsigned(bytes.size()));
        } else if (model == QLatin1String("PALETTE COLOR")) {
            ds.putAndInsertString(DCM_PhotometricInterpretation, "PALETTE COLOR");
            ds.findAndDeleteElement(DCM_WindowCenter);
            ds.findAndDeleteElement(DCM_WindowWidth);
            ds.findAndDeleteElement(DCM_RescaleIntercept);
            ds.findAndDeleteElement(DCM_RescaleSlope);
            const Uint16 descriptor[3] = {256, 0, 16};
            std::vector<Uint16> red(256), green(256), blue(256);
            for (int i = 0; i < 256; ++i) {
                red[size_t(i)] = Uint16(i * 257);
                green[size_t(i)] = 0;
                blue[size_t(i)] = Uint16((255 - i) * 257);
            }
            ds.putAndInsertUint16Array(DCM_RedPaletteColorLookupTableDescriptor, descriptor, 3);
            ds.putAndInsertUint16Array(DCM_GreenPaletteColorLookupTableDescriptor, descriptor, 3);
            ds.putAndInsertUint16Array(DCM_BluePaletteColorLookupTableDescriptor, descriptor, 3);
            ds.putAndInsertUint16Array(DCM_RedPaletteColorLookupTableData, red.data(), 256);
            ds.putAndInsertUint16Array(DCM_GreenPaletteColorLookupTableData, green.data(), 256);
            ds.putAndInsertUint16Array(DCM_BluePaletteColorLookupTableData, blue.data(), 256);
        }
    };
    const QString file = fixtures::writeSlice(path(QStringLiteral("colour_%1.dcm").arg(QTest::currentDataTag())), layout, 0);

    QString error;
    const auto decoded = dicom::decodeFrame(file, 0, render::WindowLevel{128.0, 256.0}, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(int(decoded->image.format()), format);
    QCOMPARE(decoded->image.size(), QSize(16, 16));
    const QRgb left = decoded->image.pixel(0, 0);
    const QRgb right = decoded->image.pixel(15, 0);
    if (model == QLatin1String("MONOCHROME2")) {
        QVERIFY(qGray(left) < qGray(right));
    } else if (model == QLatin1String("MONOCHROME1")) {
        QVERIFY(qGray(left) > qGray(right)); // low values are white
    } else if (model == QLatin1String("RGB")) {
        QCOMPARE(left, qRgb(200, 100, 50));
        QCOMPARE(decoded->windowWidth, 0.0); // colour takes no window
    } else if (model.startsWith(QLatin1String("YBR_FULL"))) {
        QVERIFY(qRed(left) > 200 && qGreen(left) < 80); // Y 128, Cr 255: red
    } else {
        QVERIFY(qBlue(left) > 250 && qRed(left) < 5);
        QVERIFY(qRed(right) > 230 && qBlue(right) < 25);
    }
}

void FrameDecoderTest::compressedPixels_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("frames");
    QTest::addColumn<bool>("enhanced");
    QTest::addColumn<int>("tolerance");
    // EXS_Unknown: as the fixture writes it; implicit big endian: mislabelled; implicit little endian:
    // the data set of a compressed file written in it (an encoder's known fault).
    QTest::addColumn<int>("xfer");
    const int asWritten = int(EXS_Unknown);
    QTest::newRow("native") << int(Compression::None) << int(PixelKind::Int16) << 1 << false << 1 << asWritten;
    QTest::newRow("JPEG-LS") << int(Compression::JpegLsLossless) << int(PixelKind::Int16) << 1 << false << 1 << asWritten;
    QTest::newRow("RLE") << int(Compression::Rle) << int(PixelKind::Int16) << 1 << false << 1 << asWritten;
    QTest::newRow("JPEG baseline") << int(Compression::JpegBaseline) << int(PixelKind::UInt8) << 1 << false << 8 << asWritten;
    QTest::newRow("JPEG-LS multi-frame") << int(Compression::JpegLsLossless) << int(PixelKind::Int16) << 5 << false << 1 << asWritten;
    QTest::newRow("RLE enhanced") << int(Compression::Rle) << int(PixelKind::UInt16) << 4 << true << 1 << asWritten;
    QTest::newRow("JPEG-LS colour cine") << int(Compression::JpegLsLossless) << int(PixelKind::Rgb8) << 20 << false << 1 << asWritten;
    // The deflated file is far smaller than the pixel data it holds.
    QTest::newRow("deflated multi-frame") << int(Compression::None) << int(PixelKind::Int16) << 5 << false << 1 << int(EXS_DeflatedLittleEndianExplicit);
    QTest::newRow("big endian multi-frame") << int(Compression::None) << int(PixelKind::Int16) << 5 << false << 1 << int(EXS_BigEndianExplicit);
    QTest::newRow("implicit big endian labelled explicit") << int(Compression::None) << int(PixelKind::Int16) << 5 << false << 1 << int(EXS_BigEndianImplicit);
    // Implicit VR little endian with big-endian pixels (1.2.840.113619.5.2), as older scanners of one
    // vendor write it: its elements are as the meta header names them, its pixels are not.
    QTest::newRow("private syntax, big-endian pixels")
        << int(Compression::None) << int(PixelKind::Int16) << 5 << false << 1 << int(EXS_PrivateGE_LEI_WithBigEndianPixelData);
    // 32-bit samples in big endian are stored as 32-bit big-endian values: the same picture as the twin.
    QTest::newRow("JPEG baseline, data set in implicit VR")
        << int(Compression::JpegBaseline) << int(PixelKind::UInt8) << 1 << false << 8
        << int(EXS_LittleEndianImplicit);
    QTest::newRow("32-bit") << int(Compression::None) << int(PixelKind::UInt32) << 2 << false << 1
                            << asWritten;
    QTest::newRow("32-bit big endian")
        << int(Compression::None) << int(PixelKind::UInt32) << 2 << false << 1 << int(EXS_BigEndianExplicit);
}

void FrameDecoderTest::compressedPixels()
{
    QFETCH(int, compression);
    QFETCH(int, kind);
    QFETCH(int, frames);
    QFETCH(bool, enhanced);
    QFETCH(int, tolerance);
    QFETCH(int, xfer);
    SeriesLayout layout = smallLayout(frames, PixelKind(kind));
    layout.compression = Compression(compression);
    layout.value = [](int x, int y, int z) { return 8 * x + 4 * y + 10 * z; }; // 0 .. 230
    const QString name = path(QStringLiteral("compressed_%1.dcm").arg(QTest::currentDataTag()));
    const QString file = frames == 1 ? fixtures::writeSlice(name, layout, 0)
                         : enhanced  ? fixtures::writeEnhancedMultiFrame(name, layout)
                                     : fixtures::writeMultiFrame(name, layout);
    if (xfer == EXS_BigEndianImplicit) {
        fixtures::mislabelAsExplicitBigEndian(file);
    } else if (xfer == EXS_LittleEndianImplicit) {
        fixtures::writeDataSetAsImplicitVr(file);
    } else if (xfer != EXS_Unknown) {
        rewriteInSyntax(file, E_TransferSyntax(xfer), PixelKind(kind));
    }
    for (int frame = 0; frame < frames; ++frame) {
        QString error;
        const auto decoded = dicom::decodeFrame(file, frame, render::WindowLevel{128.0, 256.0}, &error);
        QVERIFY2(decoded, qPrintable(error));
        QCOMPARE(decoded->frameCount, frames);
        for (const QPoint p : {QPoint(0, 0), QPoint(5, 9), QPoint(15, 15)}) {
            const int value = 8 * p.x() + 4 * p.y() + 10 * frame;
            const int expected = PixelKind(kind) == PixelKind::Rgb8 ? qMin(value, 255) : expectedGray(value, 128, 256);
            const int got = PixelKind(kind) == PixelKind::Rgb8 ? qGreen(decoded->image.pixel(p)) : qGray(decoded->image.pixel(p));
            QVERIFY2(qAbs(got - expected) <= tolerance,
                     qPrintable(QStringLiteral("frame %1 at %2,%3: %4 vs %5").arg(frame).arg(p.x()).arg(p.y()).arg(got).arg(expected)));
        }
    }
}

void FrameDecoderTest::wideSamplesWithBytesOver_data()
{
    QTest::addColumn<int>("xfer");
    QTest::addColumn<int>("over"); // bytes of pixel data past the image
    // DCMTK steps through 32-bit samples by pairs of 16-bit words: an odd number of words made it
    // write one sample past its buffer (a buffer whose end here meets the next heap block's header).
    for (const int over : {2, 6, 10, 4})
        QTest::addRow("little endian, %d bytes over", over) << int(EXS_LittleEndianExplicit) << over;
    QTest::newRow("big endian, 2 bytes over") << int(EXS_BigEndianExplicit) << 2;
}

void FrameDecoderTest::wideSamplesWithBytesOver()
{
    QFETCH(int, xfer);
    QFETCH(int, over);
    SeriesLayout layout = smallLayout(1, PixelKind::UInt32);
    layout.rows = layout.columns = 17;
    layout.value = [](int x, int y, int) { return 8 * x + 4 * y; };
    layout.customize = [over](DcmDataset& ds, int) {
        const Uint16* words = nullptr;
        unsigned long count = 0;
        QVERIFY(ds.findAndGetUint16Array(DCM_PixelData, words, &count).good());
        std::vector<Uint16> longer(words, words + count);
        longer.resize(count + unsigned(over / 2), 0x5A5A);
        QVERIFY(ds.putAndInsertUint16Array(DCM_PixelData, longer.data(), unsigned(longer.size())).good());
    };
    const QString file = fixtures::writeSlice(path(QStringLiteral("over_%1_%2.dcm").arg(xfer).arg(over)), layout, 0);
    if (xfer != EXS_LittleEndianExplicit)
        rewriteInSyntax(file, E_TransferSyntax(xfer), PixelKind::UInt32);
    QString error;
    const auto decoded = dicom::decodeFrame(file, 0, render::WindowLevel{128.0, 256.0}, &error);
    QVERIFY2(decoded, qPrintable(error));
    QCOMPARE(decoded->image.size(), QSize(17, 17));
    for (const QPoint p : {QPoint(0, 0), QPoint(5, 9), QPoint(16, 16)})
        QCOMPARE(qGray(decoded->image.pixel(p)), expectedGray(8 * p.x() + 4 * p.y(), 128, 256));
}

void FrameDecoderTest::brokenFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("mustFail");
    QTest::addColumn<QString>("message"); // empty: any message

    SeriesLayout native = smallLayout();
    native.rows = 64;
    native.columns = 64;
    const QString good = fixtures::writeSlice(path(QStringLiteral("broken_source.dcm")), native, 0);
    const qint64 goodSize = QFileInfo(good).size();

    auto variant = [&](const char* name, SeriesLayout layout, std::function<void(DcmDataset&, int)> edit, bool mustFail) {
        layout.customize = std::move(edit);
        const QString file = fixtures::writeSlice(path(QStringLiteral("broken_%1.dcm").arg(QLatin1String(name))), layout, 0);
        QTest::newRow(name) << file << mustFail << QString();
    };

    const QString truncated = path(QStringLiteral("broken_truncated.dcm"));
    fixtures::writeTruncatedCopy(good, truncated, goodSize * 6 / 10);
    QTest::newRow("truncated pixel data") << truncated << true << QString();

    variant("rows larger than the data", native, [](DcmDataset& ds, int) { ds.putAndInsertUint16(DCM_Rows, 4096); }, true);
    variant("huge frame count", native, [](DcmDataset& ds, int) { ds.putAndInsertString(DCM_NumberOfFrames, "1000000"); }, true);
    variant("huge declared frame", native, [](DcmDataset& ds, int) {
        ds.putAndInsertUint16(DCM_Rows, 65535);
        ds.putAndInsertUint16(DCM_Columns, 65535);
        ds.putAndInsertUint16(DCM_SamplesPerPixel, 3);
    }, true);
    variant("zero columns", native, [](DcmDataset& ds, int) { ds.putAndInsertUint16(DCM_Columns, 0); }, true);
    variant("no pixel data", native, [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_PixelData); }, true);

    SeriesLayout jls = native;
    jls.compression = Compression::JpegLsLossless;
    variant("more frames than fragments", jls, [](DcmDataset& ds, int) { ds.putAndInsertString(DCM_NumberOfFrames, "5"); }, true);
    variant("compressed rows larger than the stream", jls, [](DcmDataset& ds, int) {
        ds.putAndInsertUint16(DCM_Rows, 2000);
        ds.putAndInsertUint16(DCM_Columns, 2000);
    }, false);
    variant("JPEG-LS stream scrambled", jls, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32 length) {
            for (Uint32 i = length / 3; i < length; ++i)
                bytes[i] = Uint8(bytes[i] * 37 + 11);
        });
    }, false);
    variant("JPEG-LS header damaged", jls, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32 length) {
            for (Uint32 i = 2; i < qMin<Uint32>(length, 40); ++i)
                bytes[i] = 0xFF;
        });
    }, false);

    SeriesLayout rle = native;
    rle.compression = Compression::Rle;
    variant("RLE segment offsets past the end", rle, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32) {
            bytes[0] = 15;
            for (int i = 4; i < 64; ++i)
                bytes[i] = 0xF0;
        });
    }, true);
    variant("RLE too few segments", rle, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32) { bytes[0] = 1; });
    }, true);
    variant("RLE runs overflow", rle, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32 length) {
            for (Uint32 i = 64; i < length; ++i)
                bytes[i] = 0x81; // repeat runs of 128 everywhere
        });
    }, true);
    // The decoder pads a short last segment with its last byte.
    variant("RLE last segment short", rle, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32 length) {
            const Uint32 last = qFromLittleEndian<Uint32>(bytes + 4 * qFromLittleEndian<Uint32>(bytes));
            for (Uint32 i = last + 8; i < length; ++i)
                bytes[i] = 0x80; // no-operation codes
        });
    }, true);

    SeriesLayout jpeg = native;
    jpeg.pixels = PixelKind::UInt8;
    jpeg.compression = Compression::JpegBaseline;
    variant("JPEG stream scrambled", jpeg, [](DcmDataset& ds, int) {
        editFirstFragment(ds, [](Uint8* bytes, Uint32 length) {
            for (Uint32 i = length / 2; i < length; ++i)
                bytes[i] = Uint8(i);
        });
    }, false);

    const QString compressedCut = path(QStringLiteral("broken_jls_cut.dcm"));
    {
        SeriesLayout layout = jls;
        const QString source = fixtures::writeSlice(path(QStringLiteral("broken_jls_source.dcm")), layout, 0);
        fixtures::writeTruncatedCopy(source, compressedCut, QFileInfo(source).size() * 7 / 10);
    }
    QTest::newRow("JPEG-LS file cut short") << compressedCut << false << QString();

    const QString unsupported = path(QStringLiteral("broken_unsupported.dcm"));
    {
        const QString source = fixtures::writeSlice(unsupported, jls, 0);
        fixtures::replaceInFile(source, "1.2.840.10008.1.2.4.80",
                                "1.2.840.10008.1.2.4.90"); // relabelled as JPEG 2000
    }
    QTest::newRow("JPEG 2000") << unsupported << true << QStringLiteral("JPEG 2000 не поддерживается");
    // High-Throughput JPEG 2000: DCMTK knows none of its syntaxes and reads the data set as uncompressed.
    for (const char* uid : {"1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"}) {
        const QString file = path(QStringLiteral("broken_%1.dcm").arg(QLatin1String(uid)));
        fixtures::writeSlice(file, jls, 0);
        fixtures::relabelTransferSyntax(file, uid);
        QTest::addRow("High-Throughput JPEG 2000 %s", uid) << file << true << QStringLiteral("JPEG 2000 не поддерживается");
    }

    const QString text = path(QStringLiteral("broken_text.dcm"));
    fixtures::writeBytes(text, QByteArray(4000, 'x'));
    QTest::newRow("not DICOM") << text << true << QString();
    const QString header = path(QStringLiteral("broken_header_only.dcm"));
    fixtures::writeDicmWithPayload(header, QByteArray(64, '\xFF'));
    QTest::newRow("garbage after DICM") << header << true << QString();
    QTest::newRow("missing file") << path(QStringLiteral("does_not_exist.dcm")) << true << QString();
}

void FrameDecoderTest::brokenFiles()
{
    QFETCH(QString, file);
    QFETCH(bool, mustFail);
    QFETCH(QString, message);
    for (int frame : {0, -1, 3}) {
        QString error;
        const auto decoded = dicom::decodeFrame(file, frame, std::nullopt, &error);
        if (mustFail)
            QVERIFY2(!decoded, qPrintable(QStringLiteral("decoded frame %1").arg(frame)));
        if (decoded) {
            QVERIFY(!decoded->image.isNull());
            QVERIFY(error.isEmpty());
        } else {
            QVERIFY(!error.isEmpty());
            if (!message.isEmpty())
                QCOMPARE(error, message);
        }
    }
}

void FrameDecoderTest::codecRegistrationIsCounted()
{
    SeriesLayout layout = smallLayout();
    layout.compression = Compression::JpegLsLossless;
    const QString file = fixtures::writeSlice(path(QStringLiteral("codec.dcm")), layout, 0);
    dicom::releaseFrameDecoderCache();

    const int held = dicom::codecRegistrationCount();
    QVERIFY(held >= 1);
    dicom::registerCodecs();
    QCOMPARE(dicom::codecRegistrationCount(), held + 1);
    dicom::unregisterCodecs();
    QCOMPARE(dicom::codecRegistrationCount(), held);
    QVERIFY(dicom::decodeFrame(file, 0, std::nullopt)); // still registered for the other holder

    m_codecs.reset();
    QCOMPARE(dicom::codecRegistrationCount(), held - 1);
    if (dicom::codecRegistrationCount() == 0) {
        dicom::unregisterCodecs(); // unmatched: ignored
        QCOMPARE(dicom::codecRegistrationCount(), 0);
        dicom::releaseFrameDecoderCache();
        QString error;
        QVERIFY(!dicom::decodeFrame(file, 0, std::nullopt, &error));
        QVERIFY(!error.isEmpty());
    }
    m_codecs.emplace();
    QVERIFY(dicom::decodeFrame(file, 0, std::nullopt));
}

QTEST_GUILESS_MAIN(FrameDecoderTest)
#include "tst_framedecoder.moc"
