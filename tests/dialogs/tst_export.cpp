// The export dialog on fixture series in a real index shown in real viewing panels: every format's
// files and names, pixels of stills against the frame decoded at the panel's window, burnt-in
// measurements, readable DICOM copies, MP4 frame counts read back with libavformat, unwritable
// folders, Cyrillic and hostile descriptions, and the dialog's guards.

#include "../viewer/PanelTestSupport.h"

#include "support/ChangeBeforeValues.h"
#include "support/ModalAnswer.h"
#include "support/SmallFileSystem.h"
#include "support/SyncRecord.h"
#include "support/TestFiles.h"

#include "dialogs/ExportDialog.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"
#include "dicom/FrameDecoder.h"
#include "platform/FreeNameWrite.h"
#include "platform/OwnFileDoor.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QMenu>
#include <QToolBar>
#include <QToolButton>

#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QtTest>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <array>
#include <cmath>
#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using paneltest::makePanel;

// Instead of the free bytes of a small file system: every sync of a written file is refused.
constexpr int kSyncRefused = -2;
// Or the sync of the whole disk is refused, and then that of the second file alone.
constexpr int kSecondFileStruck = -3;
// Or the middle file, as listed, changes before its copy (another study's file renamed or copied over it)
// or while it is copied (cut, or half of another written into it).
constexpr int kRenamedOver = -4;
constexpr int kCopiedOver = -5;
constexpr int kCutWhileCopied = -6;
constexpr int kHalfWrittenWhileCopied = -7;
// Or the files' bytes reach the disk, but the sync of their names fails.
constexpr int kNamesLost = -8;
// Or another study's file copied over the last one too.
constexpr int kCopiedOverTwo = -9;

namespace {

QString pathOf(int fd)
{
    char path[4096] = {};
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    return ::readlink(link.constData(), path, sizeof path - 1) > 0 ? QString::fromLocal8Bit(path) : QString();
}

// Whether the folder synced through fd still holds files under their partial names.
bool partialFilesIn(int fd)
{
    return !QDir(pathOf(fd)).entryList({QStringLiteral("*.part")}, QDir::Files).isEmpty();
}

bool isFolder(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

// Refuses the sync of a folder's file system that would bring the files' bytes to the disk, and then
// the second file's own, as a write lost on its way to the disk makes them fail; the disk reports it
// once, and the sync of the names after it succeeds.
int refuseSecondFile(int fd)
{
    if (isFolder(fd))
        return partialFilesIn(fd) ? EIO : 0;
    return pathOf(fd).contains(QStringLiteral("_0002.")) ? EIO : 0;
}

// Lets the files' bytes reach the disk, then refuses the sync of their names.
int refuseNamesSync(int fd)
{
    return isFolder(fd) && !partialFilesIn(fd) ? EIO : 0;
}

// HU from -200 to 199 over the image, different on each slice: a gradient under the window 0/400.
fixtures::SeriesLayout gradientLayout(const QString& description, int size, int slices)
{
    fixtures::SeriesLayout layout;
    layout.seriesDescription = description;
    layout.columns = size;
    layout.rows = size;
    layout.slices = slices;
    layout.value = [](int x, int y, int z) { return 1024 - 200 + (x * 5 + y * 3 + z * 17) % 400; };
    return layout;
}

QRadioButton* radio(ExportDialog& dialog, const QString& text)
{
    for (QRadioButton* button : dialog.findChildren<QRadioButton*>())
        if (button->text() == text)
            return button;
    qFatal("no radio button %s", qPrintable(text));
    return nullptr;
}

QPushButton* button(ExportDialog& dialog, const QString& text)
{
    for (QPushButton* b : dialog.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    qFatal("no push button %s", qPrintable(text));
    return nullptr;
}

// Presses "Экспорт" and returns the texts of the boxes it showed (their titles in *titles); atResult
// is called as each box comes up.
QStringList runExport(ExportDialog& dialog, QStringList* titles = nullptr,
                      const std::function<void()>& atResult = {})
{
    fixtures::ModalAnswer answer(QMessageBox::Ok);
    answer.setBoxHandler([&](QMessageBox*) {
        if (atResult)
            atResult();
        return true;
    });
    button(dialog, QStringLiteral("Экспорт"))->click();
    if (titles)
        *titles = answer.titles();
    return answer.texts();
}

QStringList filesUnder(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

QImage decodedAt(const db::InstanceRecord& record, double centre, double width)
{
    const auto frame = dicom::decodeFrame(record.filePath, record.frameIndex, render::WindowLevel{centre, width});
    return frame ? frame->image.convertToFormat(QImage::Format_RGB32) : QImage();
}

double meanGreyDifference(const QImage& a, const QImage& b, const QRect& area)
{
    double sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            sum += std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y)));
    return sum / (area.width() * area.height());
}

struct VideoFacts
{
    bool opened = false;
    int width = 0;
    int height = 0;
    int frames = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
};

// Reads the file back through the demuxer and decoder a player would use and counts the pictures.
VideoFacts readVideo(const QString& path)
{
    VideoFacts facts;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return facts;
    avformat_find_stream_info(input, nullptr);
    const int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index >= 0) {
        facts.opened = true;
        AVStream* stream = input->streams[index];
        facts.codec = stream->codecpar->codec_id;
        facts.width = stream->codecpar->width;
        facts.height = stream->codecpar->height;
        const AVCodec* decoder = avcodec_find_decoder(facts.codec);
        AVCodecContext* dec = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(dec, stream->codecpar);
        avcodec_open2(dec, decoder, nullptr);
        AVPacket* packet = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        while (av_read_frame(input, packet) >= 0) {
            if (packet->stream_index == index && avcodec_send_packet(dec, packet) >= 0)
                while (avcodec_receive_frame(dec, frame) >= 0)
                    ++facts.frames;
            av_packet_unref(packet);
        }
        avcodec_send_packet(dec, nullptr);
        while (avcodec_receive_frame(dec, frame) >= 0)
            ++facts.frames;
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&dec);
    }
    avformat_close_input(&input);
    return facts;
}

} // namespace

class TestExport : public QObject
{
    Q_OBJECT

    std::unique_ptr<paneltest::SeriesStore> m_store;
    std::unique_ptr<ImageViewportWidget> m_panel; // "CT Chest", 3 slices of 64 x 64, window 0/400
    std::unique_ptr<ImageViewportWidget> m_empty;
    QList<db::InstanceRecord> m_slices;
    QTemporaryDir m_out;
    int m_run = 0;

    // A fresh output folder per export.
    QString freshFolder()
    {
        const QString dir = m_out.filePath(QStringLiteral("run%1").arg(++m_run));
        QDir().mkpath(dir);
        return dir;
    }

    std::unique_ptr<ExportDialog> dialogFor(const QString& folder, ImageViewportWidget* active,
                                            const QList<ImageViewportWidget*>& panels)
    {
        auto dialog = std::make_unique<ExportDialog>(&m_store->database());
        dialog->setActiveViewport(active);
        QList<QList<db::InstanceRecord>> lists;
        for (ImageViewportWidget* p : panels)
            lists << (p ? p->slices() : QList<db::InstanceRecord>());
        while (lists.size() < 9)
            lists << QList<db::InstanceRecord>();
        dialog->setViewports(panels, lists);
        dialog->findChild<QLineEdit*>(QStringLiteral("folderEdit"))->setText(folder);
        return dialog;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_out.isValid());
        m_store = std::make_unique<paneltest::SeriesStore>();
        QVERIFY(m_store->isOpen());
        SeriesOverlayInfo info;
        m_slices = m_store->index(gradientLayout(QStringLiteral("CT Chest"), 64, 3), &info);
        QCOMPARE(m_slices.size(), 3);
        info.studyDate = QStringLiteral("20240115");
        info.studyTime = QStringLiteral("101500");
        info.studyDescription = QStringLiteral("Test study");
        info.seriesNumber = QStringLiteral("1");
        m_panel = makePanel();
        m_panel->showSeries(m_slices, info);
        m_panel->showSlice(0);
        m_panel->setWindowPreset(render::WindowLevel{0.0, 400.0});
        QCOMPARE(m_panel->windowCenter(), 0.0);
        QCOMPARE(m_panel->windowWidth(), 400.0);
        m_empty = makePanel();
    }

    void dialogLooksRight()
    {
        auto dialog = dialogFor(freshFolder(), m_panel.get(), {m_panel.get()});
        // A panel with slices: every scope is open and the current image is chosen.
        QVERIFY(radio(*dialog, QStringLiteral("Текущее изображение"))->isChecked());
        QVERIFY(radio(*dialog, QStringLiteral("Текущая серия"))->isEnabled());
        // The program runs on Linux: nothing it shows names Windows' file manager or video format.
        for (const QWidget* w : dialog->findChildren<QWidget*>()) {
            QString text = w->toolTip();
            if (auto* label = qobject_cast<const QLabel*>(w))
                text += label->text();
            if (auto* b = qobject_cast<const QAbstractButton*>(w))
                text += b->text();
            QVERIFY2(!text.contains(QStringLiteral("проводник")) && !text.contains(QStringLiteral("WMV")),
                     qPrintable(text));
        }
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        button(*dialog, QStringLiteral("Закрыть"))->click();
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
    }

    void formatsWriteNamedFiles_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("withoutSecondNames"); // a drive that gives a file no second name (FAT)
        QTest::newRow("jpeg") << "JPEG" << ""
                              << QStringList{"CT_Chest_0001.jpg", "CT_Chest_0002.jpg", "CT_Chest_0003.jpg"}
                              << false;
        QTest::newRow("bmp with prefix") << "BMP" << " case7_ "
                                         << QStringList{"case7_CT_Chest_0001.bmp", "case7_CT_Chest_0002.bmp",
                                                        "case7_CT_Chest_0003.bmp"}
                                         << false;
        QTest::newRow("dicom in patient folder")
            << "DICOM" << ""
            << QStringList{"Test^Patient_P0001/CT_Chest_0001.dcm", "Test^Patient_P0001/CT_Chest_0002.dcm",
                           "Test^Patient_P0001/CT_Chest_0003.dcm"}
            << false;
        QTest::newRow("mp4") << "MP4 (видео)" << "" << QStringList{"CT_Chest.mp4"} << false;
        // Written by the DICOM library over the partial files: synced with the rest, not each on its own.
        QTest::newRow("anonymised dicom")
            << "DICOM+Основной (анонимный)" << ""
            << QStringList{"ANONYMOUS_ANONYMOUS/series_1_0001.dcm", "ANONYMOUS_ANONYMOUS/series_1_0002.dcm",
                           "ANONYMOUS_ANONYMOUS/series_1_0003.dcm"}
            << false;
        // The names a flash drive's file system gives by its last way reach the disk as well.
        QTest::newRow("dicom onto a drive without second names")
            << "DICOM" << ""
            << QStringList{"Test^Patient_P0001/CT_Chest_0001.dcm", "Test^Patient_P0001/CT_Chest_0002.dcm",
                           "Test^Patient_P0001/CT_Chest_0003.dcm"}
            << true;
    }

    void formatsWriteNamedFiles()
    {
        QFETCH(QString, format);
        QFETCH(QString, prefix);
        QFETCH(QStringList, expected);
        QFETCH(bool, withoutSecondNames);
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        for (const QString& choice : format.split(QLatin1Char('+')))
            radio(*dialog, choice)->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("prefixEdit"))->setText(prefix);
        QStringList texts;
        {
            fixtures::SyncRecord syncs(folder);
            platform::testing::setWithoutSecondNames(withoutSecondNames);
            const auto restore = qScopeGuard([] { platform::testing::setWithoutSecondNames(false); });
            texts = runExport(*dialog, nullptr, [&] { syncs.note(); });
            // The files reach the disk together, not one sync of each file: their bytes in one sync,
            // none named before it, then their names in one more, before the result is shown.
            const QList<QStringList> disk = syncs.diskSyncs();
            QCOMPARE(disk.size(), 2);
            QCOMPARE(disk.first().filter(QRegularExpression(QStringLiteral("\\.part$"))).size(),
                     expected.size());
            QCOMPARE(disk.last(), expected);
            QVERIFY(syncs.namesSyncedBeforeResult());
            QCOMPARE(syncs.fileSyncs(), 0);
        }
        QCOMPARE(texts, QStringList{QStringLiteral("Экспортировано файлов: %1").arg(expected.size())});
        QCOMPARE(filesUnder(folder), expected);

        if (format == QLatin1String("DICOM")) {
            // Plain copies: byte for byte the sources, readable as DICOM.
            for (int i = 0; i < 3; ++i) {
                const QString copy = QDir(folder).filePath(expected[i]);
                QFile a(m_slices[i].filePath), b(copy);
                QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
                QCOMPARE(b.readAll(), a.readAll());
                const auto summary = dicom::readFileSummary(copy);
                QVERIFY(summary);
                QCOMPARE(summary->patientName, QStringLiteral("Test^Patient"));
            }
        } else if (format == QStringLiteral("MP4 (видео)")) {
            const VideoFacts video = readVideo(QDir(folder).filePath(expected[0]));
            QVERIFY(video.opened);
            QCOMPARE(video.codec, AV_CODEC_ID_H264);
            QCOMPARE(video.width, 64);
            QCOMPARE(video.height, 64);
            QCOMPARE(video.frames, 3);
        }
        // A second run into the same folder replaces nothing: its files take the next free name.
        const QDateTime firstWritten = QFileInfo(QDir(folder).filePath(expected[0])).lastModified();
        QCOMPARE(runExport(*dialog),
                 QStringList{QStringLiteral("Экспортировано файлов: %1").arg(expected.size())});
        QStringList both = expected;
        for (const QString& name : expected)
            both << QString(name).replace(QRegularExpression(QStringLiteral("(CT_Chest|series_1)")),
                                          QStringLiteral("\\1_2"));
        both.sort();
        QCOMPARE(filesUnder(folder), both);
        QCOMPARE(QFileInfo(QDir(folder).filePath(expected[0])).lastModified(), firstWritten);
    }

    // Another program (a second copy exporting into the same folder) takes names after the export chose
    // them, at the very moment the first file is put in place: nothing of its is written over, and the
    // files it took the names of go to the next free ones.
    void namesTakenMeanwhileArePassedOver_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("anonymous");
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QStringList>("expected"); // the export's own files
        QTest::newRow("jpeg") << "JPEG" << false << QStringList{"CT_Chest_0001.jpg", "CT_Chest_0002.jpg"}
                              << QStringList{"CT_Chest_0001_2.jpg", "CT_Chest_0002_2.jpg", "CT_Chest_0003.jpg"};
        const QString plain = QStringLiteral("Test^Patient_P0001/CT_Chest_");
        QTest::newRow("dicom") << "DICOM" << false << QStringList{plain + "0001.dcm", plain + "0002.dcm"}
                               << QStringList{plain + "0001_2.dcm", plain + "0002_2.dcm", plain + "0003.dcm"};
        const QString anonymous = QStringLiteral("ANONYMOUS_ANONYMOUS/series_1_");
        QTest::newRow("anonymised dicom")
            << "DICOM" << true << QStringList{anonymous + "0001.dcm", anonymous + "0002.dcm"}
            << QStringList{anonymous + "0001_2.dcm", anonymous + "0002_2.dcm", anonymous + "0003.dcm"};
        QTest::newRow("mp4") << "MP4 (видео)" << false << QStringList{"CT_Chest.mp4"} << QStringList{"CT_Chest_2.mp4"};
    }

    void namesTakenMeanwhileArePassedOver()
    {
        QFETCH(QString, format);
        QFETCH(bool, anonymous);
        QFETCH(QStringList, taken);
        QFETCH(QStringList, expected);
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, format)->setChecked(true);
        if (anonymous)
            radio(*dialog, QStringLiteral("Основной (анонимный)"))->setChecked(true);
        struct Planting
        {
            QDir folder;
            QStringList names;
            bool done = false;
        } planting{QDir(folder), taken};
        platform::testing::setBeforeRenameHook(
            [](void* context) {
                auto* p = static_cast<Planting*>(context);
                if (std::exchange(p->done, true))
                    return;
                for (const QString& name : p->names) {
                    QDir().mkpath(QFileInfo(p->folder.filePath(name)).path());
                    QFile file(p->folder.filePath(name));
                    if (file.open(QIODevice::NewOnly))
                        file.write("another program's file");
                }
            },
            &planting);
        const auto unhook = qScopeGuard([] { platform::testing::setBeforeRenameHook(nullptr, nullptr); });
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: %1").arg(expected.size())});
        QVERIFY(planting.done);
        for (const QString& name : taken) {
            QFile file(QDir(folder).filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("another program's file"));
        }
        QStringList all = taken + expected;
        all.sort();
        QCOMPARE(filesUnder(folder), all);
    }

    void anonymisedDicomCopies()
    {
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, QStringLiteral("DICOM"))->setChecked(true);
        radio(*dialog, QStringLiteral("Основной (анонимный)"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 3")});
        // Filed under the identity the copies carry; neither a name nor a file holds the real one.
        const QStringList files = filesUnder(folder);
        QCOMPARE(files, (QStringList{"ANONYMOUS_ANONYMOUS/series_1_0001.dcm",
                                     "ANONYMOUS_ANONYMOUS/series_1_0002.dcm",
                                     "ANONYMOUS_ANONYMOUS/series_1_0003.dcm"}));
        for (const QString& f : files) {
            const auto summary = dicom::readFileSummary(QDir(folder).filePath(f));
            QVERIFY(summary);
            QCOMPARE(summary->patientName, QStringLiteral("ANONYMOUS"));
            QVERIFY(dicom::decodeFrame(QDir(folder).filePath(f), 0, std::nullopt));
            QFile file(QDir(folder).filePath(f));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            QVERIFY(!bytes.contains("Test^Patient") && !bytes.contains("P0001") &&
                    !bytes.contains("19700101"));
        }
    }

    void multiFrameFileIsCopiedOnce()
    {
        auto layout = gradientLayout(QStringLiteral("Cine"), 32, 4);
        fixtures::completeUids(layout);
        const QString file = fixtures::writeMultiFrame(m_store->filePath(QStringLiteral("cine.dcm")), layout);
        const auto summary = dicom::readFileSummary(file);
        QVERIFY(summary && m_store->database().indexFile(*summary));
        auto panel = makePanel();
        panel->showSeries(m_store->database().instancesForSeries(layout.seriesUid), m_panel->overlayInfo());
        QCOMPARE(panel->sliceCount(), 4);
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, panel.get(), {panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, QStringLiteral("DICOM"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 1")});
        QCOMPARE(filesUnder(folder), QStringList{QStringLiteral("Test^Patient_P0001/CT_Chest_0001.dcm")});
    }

    void stillPixelsAreTheWindowedFrame_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("annotation");
        QTest::addColumn<double>("tolerance");
        QTest::newRow("bmp, no annotations: exact") << "BMP" << "Отключено" << 0.0;
        QTest::newRow("jpeg, full annotations: centre close") << "JPEG" << "Полный" << 4.0;
    }

    void stillPixelsAreTheWindowedFrame()
    {
        QFETCH(QString, format);
        QFETCH(QString, annotation);
        QFETCH(double, tolerance);
        // The current image is slice 2: one file numbered 1, with slice 2's pixels.
        m_panel->showSlice(2);
        m_panel->setWindowPreset(render::WindowLevel{50.0, 300.0});
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, format)->setChecked(true);
        radio(*dialog, annotation)->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 1")});
        const QString ext = format == QLatin1String("BMP") ? QStringLiteral("bmp") : QStringLiteral("jpg");
        QCOMPARE(filesUnder(folder), QStringList{QStringLiteral("CT_Chest_0001.") + ext});
        const QImage written(QDir(folder).filePath(QStringLiteral("CT_Chest_0001.") + ext));
        const QImage expected = decodedAt(m_slices[2], 50.0, 300.0);
        QCOMPARE(written.size(), expected.size());
        // The window matters: the file differs from the frame at another window.
        QVERIFY(meanGreyDifference(written.convertToFormat(QImage::Format_RGB32), decodedAt(m_slices[2], 0, 2000),
                                   QRect(16, 16, 32, 32)) > 20);
        if (tolerance == 0.0)
            QCOMPARE(written.convertToFormat(QImage::Format_RGB32), expected);
        else
            QVERIFY(meanGreyDifference(written.convertToFormat(QImage::Format_RGB32), expected,
                                       QRect(16, 16, 32, 32)) <= tolerance);
        m_panel->showSlice(0);
        m_panel->setWindowPreset(render::WindowLevel{0.0, 400.0});
    }

    void overlayAndMeasurementsAreBurntIn()
    {
        // A ruler on slice 1; exported with annotations off it still shows; the basic overlay adds
        // the yellow slice counter at the bottom and nothing at the top.
        m_panel->showSlice(1);
        m_panel->setMeasurementMode(3);
        m_panel->startMeasurement(QPointF(4, 32));
        m_panel->updateActiveMeasurement(QPointF(60, 32));
        m_panel->finishMeasurement(QPointF(60, 32));
        m_panel->setMeasurementMode(0);
        QCOMPARE(m_panel->measurementsForSlice(1).size(), 1);

        const QImage plain = decodedAt(m_slices[1], 0.0, 400.0);
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, QStringLiteral("BMP"))->setChecked(true);
        radio(*dialog, QStringLiteral("Отключено"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 3")});
        const QImage measured(QDir(folder).filePath(QStringLiteral("CT_Chest_0002.bmp")));
        const QImage untouched(QDir(folder).filePath(QStringLiteral("CT_Chest_0001.bmp")));
        QVERIFY(measured.pixel(30, 32) != plain.pixel(30, 32));
        QCOMPARE(untouched.convertToFormat(QImage::Format_RGB32), decodedAt(m_slices[0], 0.0, 400.0));

        // Fit into 256 x 200: 64 x 64 becomes 200 x 200; the basic overlay draws only at the bottom.
        radio(*dialog, QStringLiteral("Основной (анонимный)"))->setChecked(true);
        radio(*dialog, QStringLiteral("Подходит для:"))->setChecked(true);
        const QList<QSpinBox*> spins = dialog->findChildren<QSpinBox*>();
        spins[0]->setValue(256);
        spins[1]->setValue(200);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 3")});
        QImage big(QDir(folder).filePath(QStringLiteral("series_1_0001.bmp")));
        QCOMPARE(big.size(), QSize(200, 200));
        auto yellowIn = [&big](const QRect& area) {  // the overlay's colour
            int n = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) {
                    const QRgb p = big.pixel(x, y);
                    n += qRed(p) > 200 && qGreen(p) > 160 && qBlue(p) < 120;
                }
            return n;
        };
        QVERIFY(yellowIn(QRect(0, 150, 200, 50)) > 10);
        QCOMPARE(yellowIn(QRect(0, 0, 200, 30)), 0);

        // Full adds the patient and study texts at the top.
        radio(*dialog, QStringLiteral("Полный"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 3")});
        big = QImage(QDir(folder).filePath(QStringLiteral("CT_Chest_2_0002.bmp")));
        QVERIFY(yellowIn(QRect(0, 0, 200, 30)) > 10);
        m_panel->clearMeasurements(false);
        m_panel->showSlice(0);
    }

    // On a white image the burnt-in texts and measurement labels keep a dark outline (nothing else in
    // such a picture is dark), so they stay readable.
    void textsAreOutlinedOnBrightImages_data()
    {
        QTest::addColumn<QString>("annotation");
        QTest::addColumn<QRect>("area");
        QTest::newRow("measurement label") << QStringLiteral("Отключено") << QRect(0, 0, 128, 128);
        QTest::newRow("corner texts") << QStringLiteral("Полный") << QRect(0, 0, 128, 20);
    }
    void textsAreOutlinedOnBrightImages()
    {
        QFETCH(QString, annotation);
        QFETCH(QRect, area);
        fixtures::SeriesLayout layout = gradientLayout(QStringLiteral("White"), 128, 1);
        layout.value = [](int, int, int) { return 3000; }; // far above the window: white
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> slices = m_store->index(layout, &info);
        auto panel = makePanel();
        panel->showSeries(slices, info);
        panel->setWindowPreset(render::WindowLevel{0.0, 400.0});
        panel->setMeasurementMode(3);
        panel->startMeasurement(QPointF(10, 100));
        panel->finishMeasurement(QPointF(110, 100));
        panel->setMeasurementMode(0);

        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, panel.get(), {panel.get()});
        radio(*dialog, QStringLiteral("BMP"))->setChecked(true);
        radio(*dialog, annotation)->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 1")});
        const QImage image(QDir(folder).filePath(QStringLiteral("White_0001.bmp")));
        QCOMPARE(image.size(), QSize(128, 128));
        int dark = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                dark += qGray(image.pixel(x, y)) < 100;
        QVERIFY2(dark > 20, qPrintable(QString::number(dark)));
    }

    void videoOfOddSizeAndSeveralSeries()
    {
        // 65 x 63 frames become a 64 x 62 video; two panels with one description get two videos.
        auto odd = makePanel();
        const auto oddSlices = m_store->index([] {
            auto layout = gradientLayout(QStringLiteral("CT Chest"), 65, 5);
            layout.rows = 63;
            return layout;
        }());
        odd->showSeries(oddSlices, m_panel->overlayInfo());
        odd->setWindowPreset(render::WindowLevel{0.0, 400.0});
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get(), m_empty.get(), odd.get()});
        radio(*dialog, QStringLiteral("Все открытые серии"))->setChecked(true);
        radio(*dialog, QStringLiteral("MP4 (видео)"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 2")});
        QCOMPARE(filesUnder(folder), (QStringList{"CT_Chest.mp4", "CT_Chest_2.mp4"}));
        const VideoFacts first = readVideo(QDir(folder).filePath(QStringLiteral("CT_Chest.mp4")));
        QCOMPARE(first.frames, 3);
        const VideoFacts second = readVideo(QDir(folder).filePath(QStringLiteral("CT_Chest_2.mp4")));
        QVERIFY(second.opened);
        QCOMPARE(QSize(second.width, second.height), QSize(64, 62));
        QCOMPARE(second.frames, 5);

        // The same for stills: the second series does not overwrite the first.
        radio(*dialog, QStringLiteral("JPEG"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 8")});
        QVERIFY(QFile::exists(QDir(folder).filePath(QStringLiteral("CT_Chest_0003.jpg"))));
        QVERIFY(QFile::exists(QDir(folder).filePath(QStringLiteral("CT_Chest_2_0005.jpg"))));
        QCOMPARE(QImage(QDir(folder).filePath(QStringLiteral("CT_Chest_0001.jpg"))).size(), QSize(64, 64));
    }

    // An export cut short (killed) left its files under partial names: the next export into the folder
    // removes them, and nothing that no record of a finished export names: a user's file of a like name,
    // the files of a record not under its own name, those of an export that is still writing, a file a
    // user made since under a name a record gives.
    void leftPartialFilesAreCleared_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("partialsBefore"); // the earlier export's, once it was killed
        QTest::addColumn<int>("partialsLeft"); // of the earlier export's, besides the user's look-alike
        QTest::addColumn<int>("recordsLeft");
        QTest::newRow("an export killed midway") << "killed" << 3 << 0 << 0;
        QTest::newRow("its record under another name") << "killed, record renamed" << 3 << 3 << 1;
        QTest::newRow("another export still writing") << "writing" << 0 << 1 << 1;
        // Killed between making its third file and recording it: on a drive that makes files without a
        // name it had none yet; on one that does not (FAT) the record named it just before.
        QTest::newRow("killed as a file is made") << "killed as made" << 2 << 0 << 0;
        QTest::newRow("killed as a file is made, FAT") << "killed as made, FAT" << 3 << 0 << 0;
        // Killed once the record named its third file, before any file of its stood under that name;
        // a user's file written there since (given the file number the killed one freed) stays.
        QTest::newRow("a user's file under a name recorded before its file")
            << "killed as recorded, user's file" << 2 << 1 << 0;
        QTest::newRow("a user's file under a name recorded before its file, FAT")
            << "killed as recorded, user's file, FAT" << 2 << 1 << 0;
        QTest::newRow("a user's file in place of a recorded one") << "killed, user's file" << 3 << 1 << 0;
        // The library writes the anonymised copy by path: into the very file the record names.
        QTest::newRow("killed once an anonymised copy is written") << "killed, anonymised" << 3 << 0 << 0;
    }

    void leftPartialFilesAreCleared()
    {
        QFETCH(QString, before);
        QFETCH(int, partialsBefore);
        QFETCH(int, partialsLeft);
        QFETCH(int, recordsLeft);
        const QString folder = freshFolder();
        const QString lookAlike = QStringLiteral("CT_Chest_0002.jpg.Ab12Cd.part");
        fixtures::writeFile(QDir(folder).filePath(lookAlike), "the user's");
        const auto named = [&](const QString& pattern) {
            return QDir(folder).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name);
        };
        if (before == QLatin1String("killed as made")) {
            const int probe = platform::openUnnamedFile(folder);
            const bool unnamed = probe >= 0 && platform::FileBirth::ofOpen(probe).known;
            if (probe >= 0)
                ::close(probe);
            if (!unnamed)
                QSKIP("the test folder's file system makes no file without a name that tells its birth");
        }
        platform::testing::setWithoutSecondNames(before.endsWith(QLatin1String("FAT")));
        const auto restore = qScopeGuard([] { platform::testing::setWithoutSecondNames(false); });
        std::optional<platform::DurableBatch> writing;
        QString usersFile; // a name the killed export's record gives, a file of the user's under it
        if (before.startsWith(QLatin1String("killed"))) {
            int told[2] = {-1, -1}; // the child tells where it stopped
            QVERIFY(::pipe(told) == 0);
            static std::optional<platform::testing::PartialStep> stopAt; // of the third file
            static int tell = -1;
            stopAt.reset();
            using platform::testing::PartialStep;
            if (before.contains(QLatin1String(" as ")))
                stopAt = before.contains(QLatin1String("as made")) ? PartialStep::Made
                                                                     : PartialStep::Recorded;
            tell = told[1];
            const pid_t child = ::fork();
            QVERIFY(child >= 0);
            if (child == 0) {
                auto* cut = new platform::DurableBatch; // never confirmed, never ended
                for (int i = 1; i <= 3; ++i) {
                    const QString target = QDir(folder).filePath(QStringLiteral("CT_Chest_000%1.jpg").arg(i));
                    if (i == 3 && stopAt)
                        platform::testing::setPartialStepHook([](PartialStep step, const QString& partial) {
                            if (step != *stopAt)
                                return;
                            const QByteArray name = QFile::encodeName(QFileInfo(partial).fileName());
                            (void)!::write(tell, name.constData(), size_t(name.size()));
                            ::raise(SIGKILL);
                        });
                    if (i == 3 && before.endsWith(QLatin1String("anonymised")))
                        platform::writeUnderFreeName(
                            target,
                            [&](const QString& partial) {
                                dicom::writeAnonymizedCopy(m_slices[0].filePath, partial, QStringLiteral("A"),
                                                           QStringLiteral("A"));
                                ::raise(SIGKILL);
                                return true;
                            },
                            nullptr, platform::TakenName::NextFree, cut);
                    platform::writeUnderFreeName(target, QByteArray("cut short"), nullptr,
                                                 platform::TakenName::NextFree, cut);
                }
                ::raise(SIGKILL);
            }
            ::close(told[1]);
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status));
            QByteArray stoppedAt(4096, '\0');
            stoppedAt.truncate(qMax<ssize_t>(0, ::read(told[0], stoppedAt.data(), size_t(stoppedAt.size()))));
            ::close(told[0]);
            QCOMPARE(named(QStringLiteral("*.part")).size(), partialsBefore + 1);
            const QStringList records = named(QStringLiteral(".kalvenor-partials-*"));
            QCOMPARE(records.size(), 1);
            if (before.endsWith(QLatin1String("renamed")))
                QVERIFY(QDir(folder).rename(records.first(), QStringLiteral(".kalvenor-partials-copy")));
            if (before.contains(QLatin1String("user's file"))) {
                // Under the name the record gave the third file, or in place of the second one.
                if (!stoppedAt.isEmpty()) {
                    usersFile = QDir(folder).filePath(QFile::decodeName(stoppedAt));
                } else {
                    QStringList second = named(QStringLiteral("CT_Chest_0002.jpg.*.part"));
                    QVERIFY(second.removeAll(lookAlike) == 1 && second.size() == 1);
                    usersFile = QDir(folder).filePath(second.first());
                    QVERIFY(QFile::remove(usersFile));
                }
                QVERIFY(!QFile::exists(usersFile));
                fixtures::writeFile(usersFile, "the user's own");
            }
        } else {
            QVERIFY(!platform::writeUnderFreeName(QDir(folder).filePath(QStringLiteral("Other_0001.jpg")),
                                                  QByteArray("another export"), nullptr,
                                                  platform::TakenName::NextFree, &writing.emplace())
                         .isEmpty());
        }

        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, QStringLiteral("JPEG"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 3")});
        QStringList partials = named(QStringLiteral("*.part"));
        QVERIFY(partials.removeAll(lookAlike) == 1);
        QCOMPARE(fixtures::readFile(QDir(folder).filePath(lookAlike)), QByteArray("the user's"));
        QCOMPARE(partials.size(), partialsLeft);
        if (!usersFile.isEmpty())
            QCOMPARE(fixtures::readFile(usersFile), QByteArray("the user's own"));
        QCOMPARE(named(QStringLiteral(".kalvenor-partials-*")).size(), recordsLeft);
        QCOMPARE(named(QStringLiteral("CT_Chest_000?.jpg")),
                 (QStringList{"CT_Chest_0001.jpg", "CT_Chest_0002.jpg", "CT_Chest_0003.jpg"}));
        if (writing) { // still its own, and it ends as any export does
            QVERIFY(writing->confirm().isEmpty());
            QCOMPARE(fixtures::readFile(QDir(folder).filePath(QStringLiteral("Other_0001.jpg"))),
                     QByteArray("another export"));
            QCOMPARE(named(QStringLiteral(".kalvenor-partials-*")).size(), 0);
        }
    }

    void failuresAreCounted_data()
    {
        QTest::addColumn<bool>("unwritable");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("expected"); // the counts; empty: as many as fitted on the disk
        QTest::addColumn<int>("left");         // files in the folder afterwards
        QTest::addColumn<int>("freeBytes");    // on a small file system that fills up; -1: none
        QTest::addColumn<QString>("cause");    // what the box says of the first failure
        // A plain file stands where the folder's parent should be: nothing can be created below it.
        const QString blocked = QStringLiteral("В пути к папке лежит файл");
        QTest::newRow("unwritable jpeg") << true << "JPEG"
                                         << "Экспортировано файлов: 0\n\nОшибок: 3" << 1 << -1 << blocked;
        QTest::newRow("unwritable dicom") << true << "DICOM"
                                          << "Экспортировано файлов: 0\n\nОшибок: 3" << 1 << -1 << blocked;
        QTest::newRow("unwritable mp4") << true << "MP4 (видео)"
                                        << "Экспортировано файлов: 0\n\nОшибок: 1" << 1 << -1 << blocked;
        // The middle file of the series went away after it was shown: that file fails, the rest go
        // out; the video fails after its first frame and leaves no broken file.
        QTest::newRow("missing jpeg")
            << false << "JPEG"
            << "Экспортировано файлов: 2\n\nОшибок: 1" << 2 << -1 << "Не удалось декодировать";
        QTest::newRow("missing dicom")
            << false << "DICOM"
            << "Экспортировано файлов: 2\n\nОшибок: 1" << 2 << -1 << "файл не найден";
        QTest::newRow("missing mp4") << false << "MP4 (видео)"
                                     << "Экспортировано файлов: 0\n\nОшибок: 1" << 0 << -1
                                     << "Не удалось декодировать";
        // A stick that fills up: a picture the disk refused, all of it or its end, is an error and
        // leaves nothing under its name; what went out is whole. A BMP here (12 kB) never fits.
        const QString full = QStringLiteral("Недостаточно места на диске");
        QTest::newRow("full disk, jpeg") << false << "JPEG"
                                         << "" << -1 << 8192 << full;
        QTest::newRow("full disk, bmp cut short")
            << false << "BMP"
            << "Экспортировано файлов: 0\n\nОшибок: 3" << 0 << 8192 << full;
        QTest::newRow("full disk, dicom") << false << "DICOM"
                                          << "" << -1 << 8192 << full;
        // The anonymiser writes its own file: told by the export's name, not the partial file's, and
        // by what the disk refused rather than by what was found of the file afterwards.
        QTest::newRow("full disk, anonymised dicom") << false << "DICOM+Основной (анонимный)"
                                                     << "Экспортировано файлов: 0\n\nОшибок: 3" << 0 << 8192
                                                     << "ANONYMOUS_ANONYMOUS/series_1_0001.dcm\n" + full;
        QTest::newRow("full disk, mp4") << false << "MP4 (видео)"
                                        << "Экспортировано файлов: 0\n\nОшибок: 1" << 0 << 0 << full;
        // Every byte written, but the disk refuses to hold them (a stick pulled, a failing medium):
        // nothing is counted or left, whoever wrote the file.
        const QString io = QStringLiteral("Ошибка ввода-вывода");
        QTest::newRow("sync refused, jpeg")
            << false << "JPEG"
            << "Экспортировано файлов: 0\n\nОшибок: 3" << 0 << kSyncRefused << io;
        QTest::newRow("sync refused, mp4")
            << false << "MP4 (видео)"
            << "Экспортировано файлов: 0\n\nОшибок: 1" << 0 << kSyncRefused << io;
        // The disk's sync fails: each file's own sync names the one it struck, which is neither counted
        // nor left; the others are.
        QTest::newRow("sync refused for one file, jpeg") << false << "JPEG"
                                                         << "Экспортировано файлов: 2\n\nОшибок: 1" << 2
                                                         << kSecondFileStruck << "CT_Chest_0002.jpg: " + io;
        QTest::newRow("sync refused for one file, dicom") << false << "DICOM"
                                                          << "Экспортировано файлов: 2\n\nОшибок: 1" << 2
                                                          << kSecondFileStruck << "CT_Chest_0002.dcm: " + io;
        // The sync of the names fails: the files stand under their names, but none is told exported,
        // since none may be there once the drive is pulled out.
        const QString namesLost = QStringLiteral("могло не дойти до диска");
        QTest::newRow("names' sync refused, jpeg")
            << false << "JPEG" << "Экспортировано файлов: 0\n\nОшибок: 3" << 3 << kNamesLost << namesLost;
        QTest::newRow("names' sync refused, dicom")
            << false << "DICOM" << "Экспортировано файлов: 0\n\nОшибок: 3" << 3 << kNamesLost << namesLost;
        // Another study's file where the middle one was listed: not copied, never as this study's, and
        // the study named; one that changed while copied is left under no name, its cause told.
        const QString note = QStringLiteral("теперь не те снимки, что в списке: 1.");
        const QString oneFailed = QStringLiteral("Экспортировано файлов: 2\n\nОшибок: 1");
        QTest::newRow("renamed over, dicom") << false << "DICOM" << oneFailed << 2 << kRenamedOver << note;
        QTest::newRow("copied over, dicom") << false << "DICOM" << oneFailed << 2 << kCopiedOver << note;
        QTest::newRow("renamed over, anonymised dicom")
            << false << "DICOM+Основной (анонимный)" << oneFailed << 2 << kRenamedOver << note;
        const QString changed = QStringLiteral("Файл изменился во время копирования");
        QTest::newRow("cut while copied, dicom")
            << false << "DICOM" << oneFailed << 2 << kCutWhileCopied << changed;
        QTest::newRow("half written while copied, dicom")
            << false << "DICOM" << oneFailed << 2 << kHalfWrittenWhileCopied << changed;
        // Nor as a picture: not exported, counted, the study named.
        const QString named = QStringLiteral("«Test^Patient, 15.01.2024» файлов, в которых на диске теперь "
                                             "не те снимки, что в списке: 1.");
        QTest::newRow("another study's file copied over, jpeg")
            << false << "JPEG" << "Экспортировано файлов: 2\n\nОшибок: 1" << 2 << kCopiedOver << named;
        QTest::newRow("another study's file renamed over, bmp")
            << false << "BMP" << "Экспортировано файлов: 2\n\nОшибок: 1" << 2 << kRenamedOver << named;
        QTest::newRow("another study's file copied over, mp4")
            << false << "MP4 (видео)" << "Экспортировано файлов: 0\n\nОшибок: 1" << 0 << kCopiedOver << named;
        // The video stops at the first; the study is named with both.
        QTest::newRow("another study's files copied over two, mp4")
            << false << "MP4 (видео)" << "Экспортировано файлов: 0\n\nОшибок: 1" << 0 << kCopiedOverTwo
            << QString(named).replace(QStringLiteral("списке: 1."), QStringLiteral("списке: 2."));
    }

    void failuresAreCounted()
    {
        QFETCH(bool, unwritable);
        QFETCH(QString, format);
        QFETCH(QString, expected);
        QFETCH(int, left);
        QFETCH(int, freeBytes);
        QFETCH(QString, cause);
        const QString base = freshFolder();
        const QString blocker = QDir(base).filePath(QStringLiteral("blocker"));
        QList<db::InstanceRecord> slices = m_slices;
        std::unique_ptr<fixtures::SmallFileSystem> disk;
        std::unique_ptr<fixtures::ChangeDuringCopy> change;
        if (unwritable) {
            QFile file(blocker);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (freeBytes == kSyncRefused) {
            platform::testing::setBeforeSyncHook([](int) { return EIO; });
        } else if (freeBytes == kSecondFileStruck) {
            platform::testing::setBeforeSyncHook(&refuseSecondFile);
        } else if (freeBytes == kNamesLost) {
            platform::testing::setBeforeSyncHook(&refuseNamesSync);
        } else if (freeBytes < kSecondFileStruck) {
            // A copy of the middle file (and of the last), listed as the index lists it, that then changes.
            const int changing = freeBytes == kCopiedOverTwo ? 2 : 1;
            for (int k = 1; k <= changing; ++k) {
                slices[k].filePath = m_out.filePath(QStringLiteral("listed_%1_%2.dcm").arg(m_run).arg(k));
                QVERIFY(QFile::copy(m_slices[k].filePath, slices[k].filePath));
                slices[k].fileVersion = dicom::fileIdentity(slices[k].filePath).text();
            }
            fixtures::SeriesLayout another = gradientLayout(QStringLiteral("Other"), 64, 3);
            another.patientName = QStringLiteral("OTHER^PATIENT");
            const QByteArray other = fixtures::readFile(
                fixtures::writeSlice(m_out.filePath(QStringLiteral("other_%1.dcm").arg(m_run)), another, 1));
            if (freeBytes >= kCopiedOver || freeBytes == kCopiedOverTwo)
                for (int k = 1; k <= changing; ++k)
                    QVERIFY(fixtures::replaceFileBytes(slices[k].filePath, other, false,
                                                       freeBytes == kRenamedOver));
            else
                change = std::make_unique<fixtures::ChangeDuringCopy>(
                    slices[1].filePath, dicom::testing::CopyMoment::Opened, [=] {
                        QVERIFY(freeBytes == kCutWhileCopied
                                    ? QFile::resize(slices[1].filePath, 0)
                                    : fixtures::replaceFileBytes(slices[1].filePath,
                                                                 other.left(other.size() / 2)));
                    });
        } else if (freeBytes < 0) {
            slices[1].filePath = m_out.filePath(QStringLiteral("gone.dcm"));
        } else {
            disk = std::make_unique<fixtures::SmallFileSystem>(base, 1 << 20);
            if (!disk->isMounted())
                QSKIP(qPrintable(disk->why()));
            QVERIFY(disk->fillLeaving(freeBytes));
        }
        QStringList titles;
        const auto run = [&](const QString& folder) {
            auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
            dialog->setViewports({m_panel.get()}, {slices});
            radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
            // "DICOM+Основной (анонимный)": a format and an annotation mode
            for (const QString& choice : format.split(QLatin1Char('+')))
                radio(*dialog, choice)->setChecked(true);
            return runExport(*dialog, &titles);
        };
        const QStringList texts = run(unwritable ? QDir(blocker).filePath(QStringLiteral("out")) : base);
        platform::testing::setBeforeSyncHook(nullptr);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts.first().contains(cause) && !texts.first().contains(QStringLiteral(".part")),
                 qPrintable(texts.first()));
        // The title says what happened: nothing went out, or some of it did.
        QCOMPARE(titles.first(), texts.first().startsWith(QStringLiteral("Экспортировано файлов: 0\n"))
                                     ? QStringLiteral("Экспорт не выполнен")
                                     : QStringLiteral("Экспорт завершён с ошибками"));
        QStringList written = filesUnder(base);
        written.removeAll(QStringLiteral(".ballast"));
        for (const QString& name : std::as_const(written)) // never another study's image as this one's
            QVERIFY(!fixtures::readFile(QDir(base).filePath(name)).contains("OTHER^PATIENT"));
        if (!disk) {
            QCOMPARE(texts.first().section(QLatin1Char('\n'), 0, 2), expected);
            QCOMPARE(written.size(), left);
            return;
        }
        // What went out is counted, whole and nothing else: each file as the same export writes it
        // where there is room.
        const int counted = int(written.size());
        QVERIFY2(counted < int(slices.size()), qPrintable(texts.first()));
        QCOMPARE(texts.first().section(QLatin1Char('\n'), 0, 2),
                 expected.isEmpty() ? QStringLiteral("Экспортировано файлов: %1\n\nОшибок: %2")
                                          .arg(counted)
                                          .arg(slices.size() - counted)
                                    : expected);
        if (left >= 0)
            QCOMPARE(counted, left);
        const QString roomy = freshFolder();
        run(roomy);
        for (const QString& name : std::as_const(written))
            QCOMPARE(fixtures::readFile(QDir(base).filePath(name)),
                     fixtures::readFile(QDir(roomy).filePath(name)));
    }

    // Among the slices, an object no attribute rule makes anonymous: a document, a report or key-object
    // selection (no DICOM copy takes them), an image whose pixels carry the name (no copy and no picture
    // takes it). The anonymous mode leaves it out and says how many; the full mode takes everything.
    void anonymousExportLeavesOutAndCounts_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("middle");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("documents");
        QTest::addColumn<int>("burnedIn");
        QTest::addColumn<int>("unflagged"); // of a kind with the name in its pixels as a rule, flag absent or empty
        QTest::addColumn<int>("fullMode");  // files the full mode writes
        const QStringList copies{"ANONYMOUS_ANONYMOUS/series_1_0001.dcm", "ANONYMOUS_ANONYMOUS/series_1_0003.dcm"};
        const QStringList jpegs{"series_1_0001.jpg", "series_1_0002.jpg"};
        QTest::newRow("dicom, PDF") << "DICOM" << "pdf" << copies << 1 << 0 << 0 << 3;
        QTest::newRow("dicom, report") << "DICOM" << "report" << copies << 1 << 0 << 0 << 3;
        QTest::newRow("dicom, key objects") << "DICOM" << "key objects" << copies << 1 << 0 << 0 << 3;
        QTest::newRow("dicom, burned-in image") << "DICOM" << "burned-in" << copies << 0 << 1 << 0 << 3;
        QTest::newRow("jpeg, burned-in image") << "JPEG" << "burned-in" << jpegs << 0 << 1 << 0 << 3;
        QTest::newRow("mp4, burned-in image") << "MP4 (видео)" << "burned-in" << QStringList{"series_1.mp4"} << 0
                                              << 1 << 0 << 1;
        // Beside CT slices without the flag, which stay.
        QTest::newRow("dicom, ultrasound") << "DICOM" << "ultrasound" << copies << 0 << 0 << 1 << 3;
        QTest::newRow("jpeg, secondary capture") << "JPEG" << "secondary capture" << jpegs << 0 << 0 << 1 << 3;
        QTest::newRow("bmp, photograph") << "BMP" << "photograph"
                                         << QStringList{"series_1_0001.bmp", "series_1_0002.bmp"} << 0 << 0 << 1
                                         << 3;
        QTest::newRow("mp4, endoscopy video") << "MP4 (видео)" << "endoscopy video" << QStringList{"series_1.mp4"}
                                              << 0 << 0 << 1 << 1;
    }

    void anonymousExportLeavesOutAndCounts()
    {
        QFETCH(QString, format);
        QFETCH(QString, middle);
        QFETCH(QStringList, expected);
        QFETCH(int, documents);
        QFETCH(int, burnedIn);
        QFETCH(int, unflagged);
        QFETCH(int, fullMode);
        QList<db::InstanceRecord> slices = m_slices;
        const QString path = m_out.filePath(QStringLiteral("%1.dcm").arg(QTest::currentDataTag()));
        const QByteArray identity = "Test^Patient P0001";
        fixtures::SeriesLayout layout = gradientLayout(QStringLiteral("CT Chest"), 64, 3);
        if (middle == QLatin1String("pdf")) {
            slices[1].filePath = fixtures::writeEncapsulatedPdf(path, layout, identity);
        } else if (middle == QLatin1String("report")) {
            slices[1].filePath = fixtures::writeTextReport(path, layout, identity);
        } else if (middle == QLatin1String("key objects")) {
            slices[1].filePath = fixtures::writeKeyObjectSelection(path, layout, identity, UID_CTImageStorage,
                                                                   fixtures::newUid());
        } else {
            // The kinds with the name in their pixels as a rule say nothing (absent) or nothing at all (empty).
            const QMap<QString, std::array<const char*, 3>> kinds{
                {"burned-in", {UID_CTImageStorage, "CT", "YES"}},
                {"ultrasound", {UID_UltrasoundImageStorage, "US", nullptr}},
                {"secondary capture", {UID_SecondaryCaptureImageStorage, "OT", ""}},
                {"photograph", {UID_VLPhotographicImageStorage, "XC", nullptr}},
                {"endoscopy video", {UID_VideoEndoscopicImageStorage, "ES", nullptr}}};
            const std::array<const char*, 3> kind = kinds.value(middle);
            layout.customize = [kind](DcmDataset& ds, int) {
                ds.putAndInsertString(DCM_SOPClassUID, kind[0]);
                ds.putAndInsertString(DCM_Modality, kind[1]);
                if (kind[2])
                    ds.putAndInsertString(DCM_BurnedInAnnotation, kind[2]);
            };
            slices[1].filePath = fixtures::writeSlice(path, layout, 1);
        }
        QVERIFY(!slices[1].filePath.isEmpty());
        // The row the index would hold for that file.
        const auto held = dicom::readFileSummary(slices[1].filePath);
        QVERIFY(held);
        slices[1].sopInstanceUid = held->sopInstanceUid;
        slices[1].fileVersion.clear();
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, m_panel.get(), {m_panel.get()});
        dialog->setViewports({m_panel.get()}, {slices});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, format)->setChecked(true);
        radio(*dialog, QStringLiteral("Основной (анонимный)"))->setChecked(true);
        dicom::LeftOutCount leftOut;
        leftOut.documents = documents;
        leftOut.burnedInImages = burnedIn;
        leftOut.unflaggedCaptures = unflagged;
        QCOMPARE(runExport(*dialog),
                 QStringList{QStringLiteral("Экспортировано файлов: %1").arg(expected.size())
                             + dicom::leftOutNote(leftOut)});
        QCOMPARE(filesUnder(folder), expected);
        if (format == QStringLiteral("MP4 (видео)"))
            QCOMPARE(readVideo(QDir(folder).filePath(expected[0])).frames, 2);

        radio(*dialog, QStringLiteral("Полный"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: %1").arg(fullMode)});
    }

    void cyrillicAndHostileNames()
    {
        auto panel = makePanel();
        auto layout = gradientLayout(QStringLiteral("Грудная клетка"), 32, 2);
        layout.specificCharacterSet = QStringLiteral("ISO_IR 192");
        layout.patientName = QStringLiteral("Иванов^Иван");
        SeriesOverlayInfo info;
        panel->showSeries(m_store->index(layout, &info), info);
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, panel.get(), {panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 2")});
        radio(*dialog, QStringLiteral("DICOM"))->setChecked(true);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: 2")});
        QCOMPARE(filesUnder(folder),
                 (QStringList{"Грудная_клетка_0001.jpg", "Грудная_клетка_0002.jpg",
                              "Иванов^Иван_P0001/Грудная_клетка_0001.dcm",
                              "Иванов^Иван_P0001/Грудная_клетка_0002.dcm"}));

        // Patient and series texts that climb out of the folder stay inside it.
        info.patientName = QStringLiteral("..");
        info.patientId = QStringLiteral("../../x");
        info.seriesDescription = QStringLiteral("../../../escape");
        panel->showSeries(panel->slices(), info);
        const QString nested = QDir(folder).filePath(QStringLiteral("a/b"));
        auto hostile = dialogFor(nested, panel.get(), {panel.get()});
        radio(*hostile, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*hostile, QStringLiteral("DICOM"))->setChecked(true);
        QCOMPARE(runExport(*hostile), QStringList{QStringLiteral("Экспортировано файлов: 2")});
        radio(*hostile, QStringLiteral("BMP"))->setChecked(true);
        QCOMPARE(runExport(*hostile), QStringList{QStringLiteral("Экспортировано файлов: 2")});
        QCOMPARE(filesUnder(nested), (QStringList{".._.._.._escape_0001.bmp", ".._.._.._escape_0002.bmp",
                                                  "_.._.._x/.._.._.._escape_0001.dcm",
                                                  "_.._.._x/.._.._.._escape_0002.dcm"}));
        QCOMPARE(filesUnder(folder).size(), 8);
    }

    // The anonymous mode's copies drop the series description, which may name the patient: so do
    // their file names, in every format; any other mode keeps it. A name Windows takes for a device
    // (CON, NUL, COM1, ...; any case, any extension) cannot be opened there: such a file gets "_" in
    // front; a longer name that starts like one stays.
    void exportedFileNames_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("annotation");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("seriesNumber");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("expected");
        const QString basic = QStringLiteral("Основной (анонимный)");
        const QString full = QStringLiteral("Полный");
        const QString video = QStringLiteral("MP4 (видео)");
        const QString ivanov = QStringLiteral("Ivanov follow-up");
        QTest::newRow("anonymous jpeg") << "JPEG" << basic << ivanov << "7" << ""
                                        << QStringList{"series_7_0001.jpg", "series_7_0002.jpg"};
        QTest::newRow("anonymous bmp") << "BMP" << basic << ivanov << " 12 " << ""
                                       << QStringList{"series_12_0001.bmp", "series_12_0002.bmp"};
        QTest::newRow("anonymous dicom") << "DICOM" << basic << ivanov << "7" << ""
                                         << QStringList{"ANONYMOUS_ANONYMOUS/series_7_0001.dcm",
                                                        "ANONYMOUS_ANONYMOUS/series_7_0002.dcm"};
        QTest::newRow("anonymous mp4") << video << basic << ivanov << "7" << "" << QStringList{"series_7.mp4"};
        QTest::newRow("anonymous, no series number") << video << basic << ivanov << "" << ""
                                                     << QStringList{"series.mp4"};
        QTest::newRow("anonymous, series number not a number") << video << basic << ivanov << "Ivanov" << ""
                                                               << QStringList{"series.mp4"};
        QTest::newRow("full mode keeps the description") << video << full << ivanov << "7" << ""
                                                         << QStringList{"Ivanov_follow-up.mp4"};
        QTest::newRow("CON video") << video << full << "CON" << "1" << "" << QStringList{"_CON.mp4"};
        QTest::newRow("nul video, lower case") << video << full << "nul" << "1" << "" << QStringList{"_nul.mp4"};
        QTest::newRow("COM1 video") << video << full << "COM1" << "1" << "" << QStringList{"_COM1.mp4"};
        QTest::newRow("LPT9 from prefix and description") << video << full << "9" << "1" << "LPT"
                                                          << QStringList{"_LPT9.mp4"};
        QTest::newRow("device before a dot in the prefix")
            << "JPEG" << full << "Chest" << "1" << "aux." << QStringList{"_aux.Chest_0001.jpg", "_aux.Chest_0002.jpg"};
        QTest::newRow("numbered stills are no device")
            << "JPEG" << full << "PRN" << "1" << "" << QStringList{"PRN_0001.jpg", "PRN_0002.jpg"};
        QTest::newRow("longer name") << video << full << "CONSULT" << "1" << "" << QStringList{"CONSULT.mp4"};
    }

    void exportedFileNames()
    {
        QFETCH(QString, format);
        QFETCH(QString, annotation);
        QFETCH(QString, description);
        QFETCH(QString, seriesNumber);
        QFETCH(QString, prefix);
        QFETCH(QStringList, expected);
        SeriesOverlayInfo info = m_panel->overlayInfo();
        info.seriesDescription = description;
        info.seriesNumber = seriesNumber;
        auto panel = makePanel();
        panel->showSeries(m_slices.mid(0, 2), info);
        panel->setWindowPreset(render::WindowLevel{0.0, 400.0});
        const QString folder = freshFolder();
        auto dialog = dialogFor(folder, panel.get(), {panel.get()});
        radio(*dialog, QStringLiteral("Текущая серия"))->setChecked(true);
        radio(*dialog, format)->setChecked(true);
        radio(*dialog, annotation)->setChecked(true);
        dialog->findChild<QLineEdit*>(QStringLiteral("prefixEdit"))->setText(prefix);
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Экспортировано файлов: %1").arg(expected.size())});
        QCOMPARE(filesUnder(folder), expected);
    }

    void folderAndSeriesNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << " Ivanov  Ivan" << "ID 7" << "Ivanov_Ivan_ID_7";
        QTest::newRow("no name") << "" << "" << "Без_имени";
        QTest::newRow("no name, id") << "" << "42" << "Без_имени_42";
        QTest::newRow("forbidden characters") << "a:b*c?\"d<e>f|g\\h" << "1/2" << "a_b_c__d_e_f_g_h_1_2";
        QTest::newRow("dots only") << ".." << "" << "Без_имени";
        QTest::newRow("dots around") << "...Petrov." << "" << "Petrov";
        QTest::newRow("control characters") << QStringLiteral("A\x01" "B") << "" << "A_B";
    }

    void folderAndSeriesNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, folder);
        SeriesOverlayInfo info;
        info.patientName = name;
        info.patientId = id;
        QCOMPARE(ExportDialog::patientFolderName(info), folder);
        info.seriesDescription = name;
        if (!name.isEmpty())
            QVERIFY(!ExportDialog::seriesNamePart(info).contains(QLatin1Char('/')));
    }

    // A second series of the study, of three images: listed by the viewer and shown in no panel, or
    // indexed only after the viewer opened, which the export then says it does not hold.
    void viewerOpensTheDialog_data()
    {
        QTest::addColumn<QString>("second");
        QTest::newRow("one series") << "";
        QTest::newRow("a second series listed, not shown") << "before";
        QTest::newRow("a second series come after the viewer opened") << "after";
    }
    void viewerOpensTheDialog()
    {
        QFETCH(QString, second);
        dicom::registerMetaTypes();
        auto layout = gradientLayout(QStringLiteral("Viewer series"), 32, 4);
        layout.studyUid = fixtures::newUid();
        layout.seriesUid = fixtures::newUid();
        m_store->index(layout);
        auto later = gradientLayout(QStringLiteral("Later series"), 32, 3);
        later.studyUid = layout.studyUid;
        later.seriesUid = fixtures::newUid();
        later.seriesNumber = QStringLiteral("2");
        if (second == "before")
            m_store->index(later);
        ViewerWindow viewer(&m_store->database(), layout.studyUid, layout.seriesUid);
        viewer.setAttribute(Qt::WA_DeleteOnClose, false);
        viewer.show();
        QTRY_COMPARE_WITH_TIMEOUT(viewer.panel(0)->sliceCount(), 4, 30000);
        QAction* entry = nullptr;
        for (QToolButton* b : viewer.toolBar()->findChildren<QToolButton*>())
            if (b->menu())
                for (QAction* a : b->menu()->actions())
                    if (a->text() == QStringLiteral("Экспортировать изображения…"))
                        entry = a;
        QVERIFY(entry);
        QVERIFY(entry->isEnabled());
        if (second == "after")
            m_store->index(later);

        // The modal dialog gets the active panel (current image chosen) and all nine positions.
        const QString folder = freshFolder();
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        bool seen = false;
        answer.setDialogHandler([&](QDialog* d) {
            auto* dialog = qobject_cast<ExportDialog*>(d);
            if (!dialog || seen)
                return true;
            seen = true;
            [&] { QVERIFY(radio(*dialog, QStringLiteral("Текущее изображение"))->isChecked()); }();
            dialog->findChild<QLineEdit*>(QStringLiteral("folderEdit"))->setText(folder);
            radio(*dialog, QStringLiteral("Все открытые серии"))->setChecked(true);
            QTimer::singleShot(0, dialog, [dialog] { button(*dialog, QStringLiteral("Экспорт"))->click(); });
            return false; // closed on a later tick, after the export has run
        });
        entry->trigger();
        QVERIFY(seen);
        QCOMPARE(answer.texts().size(), 1);
        QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Экспортировано файлов: 4")),
                 qPrintable(answer.texts().first()));
        const QRegularExpression heldPattern(QStringLiteral("файлов исследования: (\\d+) из (\\d+)"));
        const QRegularExpressionMatch held = heldPattern.match(answer.texts().first());
        QCOMPARE(held.hasMatch() ? held.captured(1) + "/" + held.captured(2) : QString(),
                 second == "after" ? QStringLiteral("4/7") : QString());
        QCOMPARE(filesUnder(folder).size(), 4);
        viewer.close();
    }

    void guards()
    {
        // An empty folder field: a request for a folder and nothing written.
        auto dialog = dialogFor(QStringLiteral("   "), m_panel.get(), {m_panel.get()});
        QCOMPARE(runExport(*dialog), QStringList{QStringLiteral("Выберите каталог для сохранения.")});

        // An empty active panel: the two panel scopes are closed, the series choice stays and finds
        // nothing; all open series still exports the other panel.
        const QString folder = freshFolder();
        auto empty = dialogFor(folder, m_empty.get(), {m_empty.get(), m_panel.get()});
        QVERIFY(!radio(*empty, QStringLiteral("Текущее изображение"))->isEnabled());
        QVERIFY(!radio(*empty, QStringLiteral("Текущая серия"))->isEnabled());
        QVERIFY(radio(*empty, QStringLiteral("Текущая серия"))->isChecked());
        QCOMPARE(runExport(*empty), QStringList{QStringLiteral("Нечего экспортировать — нет открытой серии.")});
        QVERIFY(filesUnder(folder).isEmpty());
        radio(*empty, QStringLiteral("Все открытые серии"))->setChecked(true);
        QCOMPARE(runExport(*empty), QStringList{QStringLiteral("Экспортировано файлов: 3")});

        // The active panel missing from the panel list: only its current image goes out.
        const QString single = freshFolder();
        auto lonely = dialogFor(single, m_panel.get(), {m_empty.get()});
        radio(*lonely, QStringLiteral("Текущая серия"))->setChecked(true);
        QCOMPARE(runExport(*lonely), QStringList{QStringLiteral("Экспортировано файлов: 1")});
        QCOMPARE(filesUnder(single), QStringList{QStringLiteral("CT_Chest_0001.jpg")});
    }
};

KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestExport)
#include "tst_export.moc"
