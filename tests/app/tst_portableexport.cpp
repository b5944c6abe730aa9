// Studies leaving the workstation: the portable study folder (program files from a fake program
// folder, marker, numbered DICOM copies), the portable ZIP read back with libzip, the flash-drive and
// archive-folder flows from the context menu on a real index, unsafe patient names, targets that
// cannot be written, and a finished portable folder starting in portable mode.

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/PortableRun.h"
#include "support/SmallFileSystem.h"
#include "support/StudyTableRow.h"
#include "support/SyncRecord.h"
#include "support/TestBench.h"
#include "support/TestFiles.h"
#include "support/VisibleViewer.h"

#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "app/PortableSession.h"
#include "app/StagedFolder.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "platform/FreeNameWrite.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QProgressDialog>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <dcmtk/dcmdata/dctk.h>
#include <zip.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString patientNameIn(const QString& path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return QStringLiteral("<unreadable>");
    OFString value;
    file.getDataset()->findAndGetOFString(DCM_PatientName, value);
    return QString::fromUtf8(value.c_str());
}

QString transferSyntaxOf(const QString& path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return {};
    OFString value;
    file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, value);
    return QString::fromLatin1(value.c_str());
}

// Opens the context menu at the study's row (selecting those rows first) and triggers an entry.
void triggerMenuEntry(MainWindow& w, const QStringList& uids, const char* actionName)
{
    QTableWidget* table = w.studyTable();
    table->clearSelection();
    table->setSelectionMode(QAbstractItemView::MultiSelection);
    for (const QString& uid : uids)
        table->selectRow(fixtures::studyRow(table, uid));
    const QPoint pos = table->visualItemRect(table->item(fixtures::studyRow(table, uids.first()), 0)).center();
    std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(pos));
    QVERIFY(menu);
    QAction* action = menu->findChild<QAction*>(QLatin1String(actionName));
    QVERIFY(action);
    QVERIFY(action->isEnabled());
    action->trigger();
}

// Answers the folder chooser with `folder`, accepts the options dialog, leaves progress dialogs open.
void answerFolder(fixtures::ModalAnswer& answer, const QString& folder, bool compress = true)
{
    answer.setDialogHandler([folder, compress](QDialog* d) {
        if (qobject_cast<QProgressDialog*>(d))
            return false;
        if (auto* fd = qobject_cast<QFileDialog*>(d))
            fd->setDirectory(folder);
        if (auto* box = d->findChild<QCheckBox*>(QStringLiteral("compressCheck")))
            box->setChecked(compress);
        return true;
    });
}

// A patient's study of three 16 x 16 slices.
fixtures::SeriesLayout threeSmallSlices(const QString& patientName, const QString& patientId)
{
    fixtures::SeriesLayout layout;
    layout.patientName = patientName;
    layout.patientId = patientId;
    layout.rows = layout.columns = 16;
    layout.slices = 3;
    return layout;
}

// Refuses the sync of a whole file system, as a drive pulled out or failing does.
int refuseFolderSync(int fd)
{
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) ? EIO : 0;
}

} // namespace

class TestPortableExport : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    QTemporaryDir m_program;
    QTemporaryDir m_data;
    QStringList m_series1;
    QStringList m_series2;
    QString m_studyUid;

private slots:
    void initTestCase()
    {
        m_bench.reset();

        // A fake installation: the program, libraries, debugging leftovers and the bundles.
        const QDir p(m_program.path());
        fixtures::writeFile(p.filePath("VavovIvirur"), "program");
        fixtures::writeFile(p.filePath("libkalvenor.so"), "library");
        fixtures::writeFile(p.filePath("debug.pdb"), "pdb");
        fixtures::writeFile(p.filePath("index.sqlite3"), "db");
        fixtures::writeFile(p.filePath("App.PDB"), "upper-case pdb");
        fixtures::writeFile(p.filePath("plugins/platforms/libqoffscreen.so"), "plugin");
        fixtures::writeFile(p.filePath("plugins/debug.pdb"), "nested pdb");
        fixtures::writeFile(p.filePath("plugins/cache.sqlite3"), "nested db");
        fixtures::writeFile(p.filePath("Mac_Portable/x"), "case");
        fixtures::writeFile(p.filePath("windows_portable/readme.txt"), "no exe here");
        setViewerProgramFolderOverride(m_program.path());
    }

    void cleanupTestCase() { setViewerProgramFolderOverride(QString()); }

    void safeFolderNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("expected");
        QTest::newRow("spaces") << "Иванов  Иван" << "123" << "Иванов_Иван_123";
        QTest::newRow("no name") << "" << "77" << "Без_имени_77";
        QTest::newRow("blank") << "   " << "" << "Без_имени";
        QTest::newRow("forbidden") << "Петров/Пётр" << "A:1" << "Петров_Пётр_A_1";
        QTest::newRow("all nine") << "a\\b/c:d*e?f\"g<h>i|j" << "" << "a_b_c_d_e_f_g_h_i_j";
        QTest::newRow("parent") << ".." << "" << "Без_имени";
        QTest::newRow("self") << "." << "" << "Без_имени";
        QTest::newRow("climb") << "../../etc" << "" << "_.._etc";
        QTest::newRow("control") << QString("a\x01\x7f" "b") << "" << "a__b";
        QTest::newRow("newline") << "a\nb" << "1" << "a_b_1";
        // A folder every system opens as a folder: no device names, not hidden, not overlong.
        QTest::newRow("device") << "CON" << "" << "_CON";
        QTest::newRow("device, any case and extension") << "nul.txt" << "" << "_nul.txt";
        QTest::newRow("port") << "Com1" << "" << "_Com1";
        QTest::newRow("device inside a longer name") << "CONRAD" << "" << "CONRAD";
        QTest::newRow("hidden") << ".Иванов" << "5" << "Иванов_5";
        QTest::newRow("trailing dot") << "Ivanov." << "" << "Ivanov";
        QTest::newRow("overlong") << QString(150, QChar(0x042F)) << "7" << QString(100, QChar(0x042F));
        QTest::newRow("overlong, cut before dots")
            << QString(99, QLatin1Char('a')) + ".b" << "" << QString(99, QLatin1Char('a'));
    }

    void safeFolderNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, expected);
        QCOMPARE(makeSafeFolderName(name, id), expected);
    }

    void viewerExclusions_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("excluded");
        QTest::newRow("mac") << "/x/mac_portable" << true;
        QTest::newRow("win") << "/x/windows_portable/" << true;
        QTest::newRow("Mac case") << "/x/Mac_Portable" << false;
        for (const char* ext : {".sqlite3", ".pdb", ".lib", ".exp", ".ilk"})
            QTest::newRow(ext) << QStringLiteral("/x/a%1").arg(QLatin1String(ext)) << true;
        QTest::newRow("PDB") << "/x/App.PDB" << false;
        QTest::newRow("double") << "/x/a.pdb.bak" << false;
        QTest::newRow("dotdot") << ".." << false;
        QTest::newRow("exe") << "/x/VavovIvirur.exe" << false;
    }

    void viewerExclusions()
    {
        QFETCH(QString, path);
        QFETCH(bool, excluded);
        QCOMPARE(isExcludedFromViewerCopy(path), excluded);
    }

    void portableFolderLayoutAndNumbering()
    {
        MainWindow w;
        fixtures::SeriesLayout layout;
        layout.patientName = QStringLiteral("Иванов  Иван");
        layout.patientId = QStringLiteral("123");
        layout.rows = layout.columns = 16;
        layout.slices = 3;
        fixtures::completeUids(layout);
        m_series1 = fixtures::writeSeries(m_data.filePath("s1"), layout);
        QVERIFY(fixtures::indexFiles(*w.database(), m_series1));
        layout.seriesUid = fixtures::newUid();
        layout.seriesNumber = QStringLiteral("2");
        layout.slices = 2;
        m_series2 = fixtures::writeSeries(m_data.filePath("s2"), layout);
        QVERIFY(fixtures::indexFiles(*w.database(), m_series2));
        m_studyUid = layout.studyUid;

        QTemporaryDir out;
        const QString target = out.filePath("nested/portable");
        QString error;
        {
            fixtures::SyncRecord syncs(target);
            QVERIFY2(w.writePortableStudyFolder(m_studyUid, target, &error, false, false), qPrintable(error));
            // Each file named as it is written, then one sync: every name was on the disk before the
            // folder was said written.
            QCOMPARE(syncs.diskSyncs(), QList<QStringList>{fixtures::filesBelow(target)});
        }
        QCOMPARE(fixtures::filesBelow(target),
                 QStringList({"App.PDB", "DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm", "DICOM/IMG_000003.dcm",
                              "DICOM/IMG_000004.dcm", "DICOM/IMG_000005.dcm", "Mac_Portable/x", "VavovIvirur",
                              "libkalvenor.so", "plugins/cache.sqlite3", "plugins/debug.pdb",
                              "plugins/platforms/libqoffscreen.so", "portable.marker"}));
        const QStringList sources = m_series1 + m_series2;
        for (int i = 0; i < sources.size(); ++i)
            QCOMPARE(bytesOf(QDir(target).filePath(QStringLiteral("DICOM/") + exportFileName(i + 1))),
                     bytesOf(sources[i]));
        QCOMPARE(QFileInfo(QDir(target).filePath("portable.marker")).size(), 0);
        QCOMPARE(bytesOf(QDir(target).filePath("plugins/debug.pdb")), QByteArray("nested pdb"));

        // A second plain export refreshes the program files, then stops at the first existing image.
        fixtures::writeFile(QDir(target).filePath("portable.marker"), "stale");
        error.clear();
        QVERIFY(!w.writePortableStudyFolder(m_studyUid, target, &error, false, false));
        QVERIFY2(error.startsWith(QStringLiteral("Не удалось скопировать %1: ").arg(sources.first())) &&
                     error.contains(QStringLiteral("DICOM/IMG_000001.dcm")),
                 qPrintable(error));
        QCOMPARE(QFileInfo(QDir(target).filePath("portable.marker")).size(), 0);
        QVERIFY(!w.writePortableStudyFolder(m_studyUid, target, nullptr, false, false));

        // Anonymised and compressed: written anonymised first, then re-encoded in place.
        const QString anon = out.filePath("anon");
        QVERIFY2(w.writePortableStudyFolder(m_studyUid, anon, &error, true, true), qPrintable(error));
        const QString first = QDir(anon).filePath("DICOM/IMG_000001.dcm");
        QCOMPARE(patientNameIn(first), QStringLiteral("ANONYMOUS"));
        QCOMPARE(transferSyntaxOf(first), QStringLiteral(UID_JPEGLSLosslessTransferSyntax));

        // A study without rows: the program files and marker are there, the images are not.
        const QString empty = out.filePath("empty");
        QVERIFY(!w.writePortableStudyFolder(QStringLiteral("1.2.3.4"), empty, &error, false, false));
        QCOMPARE(error, QStringLiteral("В исследовании не найдено ни одного файла для копирования"));
        QVERIFY(QFileInfo(QDir(empty).filePath("DICOM")).isDir());
        QVERIFY(QFileInfo::exists(QDir(empty).filePath("portable.marker")));

        // A target that cannot be made: a plain file stands where the folder should be.
        fixtures::writeFile(out.filePath("blocked"), "file");
        QVERIFY(!w.writePortableStudyFolder(m_studyUid, out.filePath("blocked/x"), &error, false, false));
        QVERIFY2(error.startsWith(QStringLiteral("Ошибка копирования: ")), qPrintable(error));
    }

    // A disc made anonymous leaves out what no attribute rule cleans (documents, reports, key-object
    // selections, images with the name in their pixels), numbers the rest without a gap and counts what
    // it left; a study of nothing else has nothing to put there. Not anonymised, everything goes.
    void anonymisedFolderLeavesOutWhatItCannotClean_data()
    {
        // "image" (a CT without Burned In Annotation), "burned-in", "pdf", "report", "key objects", and
        // the kinds with the name in their pixels as a rule: "ultrasound" (flag absent), "secondary
        // capture" (flag empty), "screen save" (filed as CT), "XA" (flag absent); "recognizable" (a
        // photograph, flag NO, showing the patient), "video" (flag NO, its stream's metadata naming the
        // patient), "raw data" (filed as OT); and what stays: "MR", "XA flagged NO", "presentation state",
        // "structured display", "waveform" (their own text naming the patient)
        QTest::addColumn<QStringList>("kinds");
        QTest::addColumn<int>("documents");
        QTest::addColumn<int>("burnedIn");
        QTest::addColumn<int>("unflagged");
        QTest::addColumn<QString>("refusal"); // a word of the refusal when nothing is left, else empty
        QTest::addColumn<QList<int>>("alsoLeftOut"); // dicom::LeftOut of each object of the other kinds left out
        QTest::newRow("PDF between images")
            << QStringList{"image", "pdf", "image"} << 1 << 0 << 0 << QString() << QList<int>{};
        QTest::newRow("report and key objects beside images")
            << QStringList{"key objects", "image", "report", "image"} << 2 << 0 << 0 << QString() << QList<int>{};
        QTest::newRow("burned-in image beside a clean one")
            << QStringList{"burned-in", "image"} << 0 << 1 << 0 << QString() << QList<int>{};
        QTest::newRow("only a PDF") << QStringList{"pdf"} << 1 << 0 << 0 << QStringLiteral("PDF") << QList<int>{};
        QTest::newRow("only burned-in images")
            << QStringList{"burned-in", "burned-in"} << 0 << 2 << 0 << QStringLiteral("впечатанными")
            << QList<int>{};
        QTest::newRow("only key objects and a burned-in image")
            << QStringList{"key objects", "burned-in"} << 1 << 1 << 0 << QStringLiteral("документы и снимки")
            << QList<int>{};
        QTest::newRow("ultrasound and secondary capture beside a CT, none flagged")
            << QStringList{"ultrasound", "image", "secondary capture"} << 0 << 0 << 2 << QString() << QList<int>{};
        QTest::newRow("only an ultrasound, not flagged")
            << QStringList{"ultrasound"} << 0 << 0 << 1 << QStringLiteral("УЗИ") << QList<int>{};
        using dicom::LeftOut;
        // Objects without an image keep no text of theirs; the other kinds whose pixels or stream may name
        // the patient are left out and counted as what they are. A CT and an MR without the flag stay.
        QTest::newRow("presentation state beside a CT")
            << QStringList{"presentation state", "image"} << 0 << 0 << 0 << QString() << QList<int>{};
        QTest::newRow("structured display") << QStringList{"structured display"} << 0 << 0 << 0 << QString()
                                            << QList<int>{};
        QTest::newRow("waveform") << QStringList{"waveform"} << 0 << 0 << 0 << QString() << QList<int>{};
        QTest::newRow("photograph showing the patient beside a CT")
            << QStringList{"recognizable", "image"} << 0 << 0 << 0 << QString()
            << QList<int>{int(LeftOut::RecognizableImage)};
        QTest::newRow("screen save filed as CT beside an MR")
            << QStringList{"screen save", "MR"} << 0 << 0 << 1 << QString() << QList<int>{};
        QTest::newRow("angiography not flagged beside one flagged NO")
            << QStringList{"XA", "XA flagged NO"} << 0 << 0 << 0 << QString()
            << QList<int>{int(LeftOut::UnflaggedXRay)};
        QTest::newRow("video flagged NO beside a CT")
            << QStringList{"video", "image"} << 0 << 0 << 0 << QString() << QList<int>{int(LeftOut::Video)};
        QTest::newRow("only raw data") << QStringList{"raw data"} << 0 << 0 << 0
                                       << QStringLiteral("без изображения")
                                       << QList<int>{int(LeftOut::WithoutImage)};
    }

    void anonymisedFolderLeavesOutWhatItCannotClean()
    {
        QFETCH(QStringList, kinds);
        QFETCH(int, documents);
        QFETCH(int, burnedIn);
        QFETCH(int, unflagged);
        QFETCH(QString, refusal);
        QFETCH(QList<int>, alsoLeftOut);
        const QDir data(m_data.filePath(QStringLiteral("left-out/%1").arg(QTest::currentDataTag())));
        const QByteArray planted = "Quartzman^Egor QZ-771";
        const QStringList staying{"image", "MR", "XA flagged NO", "presentation state", "structured display",
                                  "waveform"};
        const std::map<QString, fixtures::TextObject> textObjects{
            {"presentation state", fixtures::TextObject::PresentationState},
            {"structured display", fixtures::TextObject::StructuredDisplay},
            {"waveform", fixtures::TextObject::Waveform},
            {"raw data", fixtures::TextObject::RawData}};
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 16;
        layout.slices = 1;
        fixtures::completeUids(layout);
        QStringList sources;
        QStringList cleanImages; // SOP Instance UIDs, in order
        for (const QString& kind : kinds) {
            const QString path = data.filePath(QStringLiteral("%1.dcm").arg(sources.size()));
            const QByteArray text = "Test^Patient P0001";
            if (kind == QLatin1String("pdf"))
                sources << fixtures::writeEncapsulatedPdf(path, layout, text);
            else if (kind == QLatin1String("report"))
                sources << fixtures::writeTextReport(path, layout, text);
            else if (kind == QLatin1String("key objects"))
                sources << fixtures::writeKeyObjectSelection(path, layout, text, UID_CTImageStorage,
                                                             fixtures::newUid());
            else {
                layout.customize = [&, kind](DcmDataset& ds, int) {
                    const auto kindIs = [&](const char* k) { return kind == QLatin1String(k); };
                    const auto put = [&](const char* sopClass, const char* modality, const char* flag) {
                        ds.putAndInsertString(DCM_SOPClassUID, sopClass);
                        ds.putAndInsertString(DCM_Modality, modality);
                        if (flag)
                            ds.putAndInsertString(DCM_BurnedInAnnotation, flag);
                    };
                    if (const auto object = textObjects.find(kind); object != textObjects.end())
                        fixtures::makeTextObject(ds, object->second, planted);
                    if (kindIs("MR"))
                        put(UID_MRImageStorage, "MR", nullptr);
                    if (kindIs("XA") || kindIs("XA flagged NO"))
                        put(UID_XRayAngiographicImageStorage, "XA", kindIs("XA") ? nullptr : "NO");
                    if (kindIs("screen save"))
                        ds.putAndInsertString(DCM_ImageType, "DERIVED\\SECONDARY\\SCREEN SAVE");
                    if (kindIs("recognizable") || kindIs("video"))
                        put(kindIs("video") ? UID_VideoEndoscopicImageStorage : UID_VLPhotographicImageStorage,
                            kindIs("video") ? "ES" : "XC", "NO");
                    if (kindIs("recognizable"))
                        ds.putAndInsertString(DCM_RecognizableVisualFeatures, "YES");
                    if (kind == QLatin1String("burned-in"))
                        ds.putAndInsertString(DCM_BurnedInAnnotation, "YES");
                    if (kind == QLatin1String("ultrasound")) {
                        ds.putAndInsertString(DCM_SOPClassUID, UID_UltrasoundImageStorage);
                        ds.putAndInsertString(DCM_Modality, "US");
                    }
                    if (kind == QLatin1String("secondary capture")) {
                        ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
                        ds.putAndInsertString(DCM_Modality, "OT");
                        ds.putAndInsertString(DCM_BurnedInAnnotation, "");
                    }
                };
                layout.seriesUid.clear();
                fixtures::completeUids(layout);
                fixtures::SeriesLayout written = layout;
                if (kind == QLatin1String("video")) {
                    written.pixels = fixtures::PixelKind::UInt8;
                    written.compression = fixtures::Compression::JpegBaseline;
                }
                sources << fixtures::writeSlice(path, written, 0);
                if (kind == QLatin1String("video"))
                    fixtures::makeVideo(path, UID_MPEG4HighProfileLevel4_1TransferSyntax, planted);
                if (staying.contains(kind))
                    cleanImages << dicom::readFileSummary(path)->sopInstanceUid;
            }
            QVERIFY(!sources.last().isEmpty());
        }
        QTemporaryDir out;
        QString error;
        dicom::LeftOutCount leftOut{-1, -1, -1};
        const bool written = writePortableFolderFiles({dicom::filesForThemselves(sources)},
                                                      out.filePath("anon"), true, false, &error, &leftOut);
        QCOMPARE(leftOut.documents, documents);
        QCOMPARE(leftOut.burnedInImages, burnedIn);
        QCOMPARE(leftOut.unflaggedCaptures, unflagged);
        for (const int why : alsoLeftOut)
            QCOMPARE(leftOut.of(dicom::LeftOut(why)), int(alsoLeftOut.count(why)));
        QCOMPARE(leftOut.total(), documents + burnedIn + unflagged + int(alsoLeftOut.size()));
        const QDir dicom(out.filePath("anon/DICOM"));
        if (!refusal.isEmpty()) {
            QVERIFY(!written);
            QVERIFY2(error.contains(refusal), qPrintable(error));
            QVERIFY(dicom.isEmpty());
        } else {
            QVERIFY2(written, qPrintable(error));
            QStringList copied;
            for (const QString& name : dicom.entryList(QDir::Files)) {
                QCOMPARE(name, exportFileName(int(copied.size()) + 1));
                QCOMPARE(patientNameIn(dicom.filePath(name)), QStringLiteral("ANONYMOUS"));
                QVERIFY2(!bytesOf(dicom.filePath(name)).contains("Quartzman"), qPrintable(name));
                copied << dicom::readFileSummary(dicom.filePath(name))->sopInstanceUid;
            }
            QCOMPARE(copied, cleanImages);
        }

        QVERIFY2(writePortableFolderFiles({dicom::filesForThemselves(sources)}, out.filePath("plain"), false,
                                          false, &error, &leftOut),
                 qPrintable(error));
        QCOMPARE(leftOut.total(), 0);
        QCOMPARE(QDir(out.filePath("plain/DICOM")).entryList(QDir::Files).size(), sources.size());
    }

    void multiFrameFileIsExportedOnce()
    {
        MainWindow w;
        fixtures::SeriesLayout layout;
        layout.patientId = QStringLiteral("MF");
        layout.rows = layout.columns = 16;
        layout.slices = 4;
        fixtures::completeUids(layout);
        const QString file = fixtures::writeMultiFrame(m_data.filePath("mf/multi.dcm"), layout);
        QVERIFY(fixtures::indexFiles(*w.database(), {file}));
        QCOMPARE(w.database()->instancesForSeries(layout.seriesUid).size(), 4); // one row per frame
        QTemporaryDir out;
        QString error;
        QVERIFY2(w.copyStudyFilesTo(layout.studyUid, out.path(), &error), qPrintable(error));
        QCOMPARE(fixtures::filesBelow(out.path()), QStringList({"IMG_000001.dcm"}));
        QCOMPARE(bytesOf(out.filePath("IMG_000001.dcm")), bytesOf(file));
        QVERIFY(w.database()->deleteStudy(layout.studyUid));
    }

    void macBundleGoesNextToTheStudy()
    {
        QTemporaryDir program;
        fixtures::writeFile(QDir(program.path()).filePath("VavovIvirur"), "program");
        fixtures::writeFile(QDir(program.path()).filePath("mac_portable/Kalvenor.app/Contents/MacOS/Kalvenor"), "mac");
        setViewerProgramFolderOverride(program.path());
        QCOMPARE(macPortableBundlePath(), QDir(program.path()).filePath("mac_portable/Kalvenor.app"));
        QVERIFY(windowsPortableFolderPath().isEmpty());

        MainWindow w;
        QTemporaryDir out;
        QString error;
        QVERIFY2(w.writePortableStudyFolder(m_studyUid, out.path(), &error, false, false), qPrintable(error));
        fixtures::writeFile(out.filePath("Kalvenor.app/Contents/old.txt"), "older bundle file");
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        w.addPortableViewers(out.path(), true, false, QStringLiteral("Экспорт на флеш-накопитель"));
        QCOMPARE(answer.count(), 0);
        QCOMPARE(bytesOf(out.filePath("Kalvenor.app/Contents/MacOS/Kalvenor")), QByteArray("mac"));
        QVERIFY(QFileInfo::exists(out.filePath("Kalvenor.app/Contents/MacOS/portable.marker")));
        QCOMPARE(bytesOf(out.filePath("Kalvenor.app/Contents/MacOS/DICOM/IMG_000005.dcm")), bytesOf(m_series2.last()));
        QVERIFY(QFileInfo::exists(out.filePath("Kalvenor.app/Contents/old.txt")));
        QVERIFY(!QFileInfo::exists(out.filePath("mac_portable")));

        // A bundle without its executable folder: a warning, and the export goes on.
        QDir(QDir(program.path()).filePath("mac_portable/Kalvenor.app/Contents")).removeRecursively();
        QTemporaryDir out2;
        QVERIFY(w.writePortableStudyFolder(m_studyUid, out2.path(), &error, false, false));
        w.addPortableViewers(out2.path(), true, false, QStringLiteral("Экспорт на флеш-накопитель"));
        QCOMPARE(answer.titles(), QStringList({QStringLiteral("Экспорт на флеш-накопитель")}));
        QVERIFY(answer.texts().value(0).startsWith(QStringLiteral("Не удалось добавить macOS-версию просмотрщика (")));

        // A Windows build counts only with its executable; its files go next to the program's own.
        fixtures::writeFile(QDir(program.path()).filePath("windows_portable/VavovIvirur.exe"), "windows");
        fixtures::writeFile(QDir(program.path()).filePath("windows_portable/platforms/qwindows.dll"), "dll");
        QCOMPARE(windowsPortableFolderPath(), QDir(program.path()).filePath("windows_portable"));
        w.addPortableViewers(out.path(), false, true, QStringLiteral("Запись на CD/DVD"));
        QCOMPARE(bytesOf(out.filePath("VavovIvirur.exe")), QByteArray("windows"));
        QCOMPARE(bytesOf(out.filePath("platforms/qwindows.dll")), QByteArray("dll"));
        QCOMPARE(answer.count(), 1);

        // A target inside the program folder, or the folder itself, is refused before anything is copied.
        for (const QString& inside : {QDir(program.path()).filePath("exports/study"), program.path()}) {
            QVERIFY(!w.writePortableStudyFolder(m_studyUid, inside, &error, false, false));
            QVERIFY2(error.startsWith(QStringLiteral("Папка назначения находится внутри папки программы")),
                     qPrintable(error));
        }
        QVERIFY(!QFileInfo::exists(QDir(program.path()).filePath("exports")));
        QVERIFY(!QFileInfo::exists(QDir(program.path()).filePath("portable.marker")));
        setViewerProgramFolderOverride(m_program.path());
    }

    void portableZipReadBack()
    {
        QTemporaryDir out;
        // A link that leads out of the program folder must not give an entry that climbs out of it.
        fixtures::writeFile(out.filePath("outside/secret.txt"), "outside");
        QVERIFY(QFile::link(out.filePath("outside/secret.txt"), QDir(m_program.path()).filePath("link.txt")));
        const QString archive = out.filePath("study.zip");
        QList<QPair<int, int>> calls;
        QString error;
        const QStringList inputs = {m_series1[0], out.filePath("missing.dcm"), m_series1[1]};
        const bool ok = MainWindow::createPortableStudyZip(inputs, archive, &error,
                                                           [&](int v, int m) { calls.append({v, m}); });
        QFile::remove(QDir(m_program.path()).filePath("link.txt"));
        QVERIFY2(ok, qPrintable(error));

        int zipError = 0;
        zip_t* z = zip_open(QFile::encodeName(archive).constData(), ZIP_RDONLY, &zipError);
        QVERIFY(z);
        QStringList names;
        for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i)
            names << QString::fromUtf8(zip_get_name(z, i, ZIP_FL_ENC_GUESS));
        QCOMPARE(names.mid(0, 3),
                 QStringList({"DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm", "portable.marker"}));
        QStringList program = names.mid(3);
        program.sort();
        QCOMPARE(program, QStringList({"App.PDB", "Mac_Portable/x", "VavovIvirur", "debug.pdb", "libkalvenor.so",
                                       "link.txt", "plugins/debug.pdb", "plugins/platforms/libqoffscreen.so",
                                       "windows_portable/readme.txt"}));
        zip_stat_t st;
        QCOMPARE(zip_stat(z, "portable.marker", 0, &st), 0);
        QCOMPARE(st.size, zip_uint64_t(0));
        QCOMPARE(zip_stat(z, "DICOM/IMG_000002.dcm", 0, &st), 0);
        QByteArray second(int(st.size), 0);
        zip_file_t* f = zip_fopen(z, "DICOM/IMG_000002.dcm", 0);
        QVERIFY(f);
        QCOMPARE(zip_fread(f, second.data(), st.size), zip_int64_t(st.size));
        zip_fclose(f);
        zip_close(z);
        QCOMPARE(second, bytesOf(m_series1[1]));

        // Registration reports at most 15, one call per entry; the whole job climbs once to 100.
        const int registered = 9 + 3 + 1;
        QVERIFY(calls.size() > registered);
        for (int i = 0; i < registered; ++i)
            QVERIFY(calls[i].first <= 15 && calls[i].second == 100);
        for (int i = 1; i < calls.size(); ++i)
            QVERIFY2(calls[i].first >= calls[i - 1].first, qPrintable(QString::number(i)));
        QCOMPARE(calls.last(), qMakePair(100, 100));

        // Nothing to pack: the existing file stays as it was.
        fixtures::writeFile(archive, "old archive");
        QVERIFY(!MainWindow::createPortableStudyZip({}, archive, &error, {}));
        QCOMPARE(error, QStringLiteral("Не удалось добавить в архив ни одного файла"));
        QCOMPARE(bytesOf(archive), QByteArray("old archive"));

        // A folder that cannot be written: a failure, and nothing left behind.
        const QString blocked = out.filePath("nofolder/study.zip");
        QVERIFY(!MainWindow::createPortableStudyZip({m_series1[0]}, blocked, &error, {}));
        QCOMPARE(error, QStringLiteral("Не удалось сохранить файл архива %1: Папка не найдена").arg(blocked));
        QVERIFY(!QFileInfo::exists(out.filePath("nofolder")));
    }

    void flashDriveExportStartsInPortableMode()
    {
        MainWindow w;
        w.resize(1000, 600);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTemporaryDir drive;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, drive.path());
        triggerMenuEntry(w, {m_studyUid}, "exportFlashAction");

        const QString target = drive.filePath(QStringLiteral("Иванов_Иван_123"));
        QCOMPARE(answer.titles().last(), QStringLiteral("Готово"));
        QVERIFY(answer.texts().last().contains(target));
        // The message names the running program's own file, not a Windows "exe".
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(answer.texts().last().contains(QStringLiteral("«%1»").arg(program)));
        QVERIFY(!answer.texts().last().contains(QStringLiteral("exe")));
        QVERIFY(answer.titles().contains(QStringLiteral("Экспорт на флеш-накопитель")));
        QVERIFY(QFileInfo::exists(QDir(target).filePath("portable.marker")));
        QVERIFY(QFileInfo::exists(QDir(target).filePath("VavovIvirur")));
        QCOMPARE(transferSyntaxOf(QDir(target).filePath("DICOM/IMG_000005.dcm")),
                 QStringLiteral(UID_JPEGLSLosslessTransferSyntax));
        w.close();

        // The folder as written opens in portable mode with the whole study.
        QString studyUid;
        dicom::CodecRegistrationScope codecs; // as the program holds them while it runs
        QCOMPARE(fixtures::runPortableWatching(QDir(target).filePath("DICOM"),
                                               [&](ViewerWindow* v) {
                                                   if (!v->isPortableMode()
                                                       || v->panelSliceList(v->activePanelIndex()).size() < 3)
                                                       return false;
                                                   studyUid = v->studyUid();
                                                   return true;
                                               }),
                 0);
        QCOMPARE(studyUid, m_studyUid);
    }

    void flashDriveAsksBeforeWritingOver()
    {
        MainWindow w;
        QTemporaryDir drive;
        const QString target = drive.filePath(QStringLiteral("Иванов_Иван_123"));
        fixtures::writeFile(QDir(target).filePath("mine.txt"), "user file");
        fixtures::ModalAnswer answer(QMessageBox::No, QDialog::Accepted);
        answerFolder(answer, drive.path());
        w.exportStudiesToFlashDrive(m_studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Папка не пуста"));
        QCOMPARE(fixtures::filesBelow(target), QStringList({"mine.txt"}));

        // Hidden entries alone do not count.
        QDir(target).removeRecursively();
        fixtures::writeFile(QDir(target).filePath(".hidden"), "x");
        answer.setButton(QMessageBox::Ok);
        const int before = answer.count();
        w.exportStudiesToFlashDrive(m_studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Готово"));
        QVERIFY(!answer.titles().mid(before).contains(QStringLiteral("Папка не пуста")));
        QVERIFY(QFileInfo::exists(QDir(target).filePath("DICOM/IMG_000001.dcm")));
    }

    void flashDriveFailuresAreReportedAndTakenBack()
    {
        MainWindow w;
        fixtures::SeriesLayout layout = threeSmallSlices(QStringLiteral("Сидоров"), QStringLiteral("9"));
        QTemporaryDir src;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), src.path(), layout));
        QTemporaryDir drive;

        // A file in the way of the target folder: a clear error, the file untouched.
        fixtures::writeFile(drive.filePath(QStringLiteral("Сидоров_9")), "not a folder");
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, drive.path(), false);
        w.exportStudiesToFlashDrive(layout.studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Ошибка экспорта"));
        QVERIFY2(answer.texts().last().startsWith(QStringLiteral("Ошибка копирования: ")),
                 qPrintable(answer.texts().last()));
        QCOMPARE(bytesOf(drive.filePath(QStringLiteral("Сидоров_9"))), QByteArray("not a folder"));
        QFile::remove(drive.filePath(QStringLiteral("Сидоров_9")));

        // A source that vanished after indexing: the failure is named and the new folder removed.
        const QStringList files = QDir(src.path()).entryList(QDir::Files, QDir::Name);
        QVERIFY(QFile::remove(QDir(src.path()).filePath(files.last())));
        w.exportStudiesToFlashDrive(layout.studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Ошибка экспорта"));
        QVERIFY(answer.texts().last().startsWith(QStringLiteral("Не удалось скопировать ")));
        QVERIFY(!QFileInfo::exists(drive.filePath(QStringLiteral("Сидоров_9"))));
    }

    // Once the user agrees to write over the folder, it holds exactly the new export: the old files
    // beyond it are gone, the user's own included.
    void flashDriveWritingOverLeavesExactlyTheNewExport()
    {
        MainWindow w;
        QTemporaryDir fresh;
        QTemporaryDir drive;
        fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Accepted);
        answerFolder(answer, fresh.path(), false);
        w.exportStudiesToFlashDrive(m_studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Готово"));
        const QString name = QStringLiteral("Иванов_Иван_123");
        const QStringList expected = fixtures::filesBelow(fresh.filePath(name));

        const QString target = drive.filePath(name);
        fixtures::writeFile(QDir(target).filePath("DICOM/IMG_000001.dcm"), "older study");
        fixtures::writeFile(QDir(target).filePath("DICOM/IMG_000009.dcm"), "older study");
        fixtures::writeFile(QDir(target).filePath("mine.txt"), "user file");
        fixtures::writeFile(QDir(target).filePath(".hidden"), "user file");
        answerFolder(answer, drive.path(), false);
        const int before = answer.count();
        w.exportStudiesToFlashDrive(m_studyUid);
        QVERIFY(answer.titles().mid(before).contains(QStringLiteral("Папка не пуста")));
        QCOMPARE(answer.titles().last(), QStringLiteral("Готово"));
        QCOMPARE(fixtures::filesBelow(target), expected);
        const QStringList sources = m_series1 + m_series2;
        for (int i = 0; i < sources.size(); ++i)
            QCOMPARE(bytesOf(QDir(target).filePath(QStringLiteral("DICOM/") + exportFileName(i + 1))),
                     bytesOf(sources[i]));
        // Nothing of the export's own is left beside it.
        QCOMPARE(QDir(drive.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{name});
    }

    // A viewer run from an exported folder, asked to export the same patient there again: the target
    // holds the program's own folder and is refused before any question, the program untouched.
    void flashDriveNeverWritesOverTheProgram()
    {
        MainWindow w;
        QTemporaryDir drive;
        const QString program = drive.filePath(QStringLiteral("Иванов_Иван_123/bin"));
        fixtures::writeFile(QDir(program).filePath("VavovIvirur"), "running program");
        setViewerProgramFolderOverride(program);
        auto restore = qScopeGuard([&] { setViewerProgramFolderOverride(m_program.path()); });
        fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Accepted);
        answerFolder(answer, drive.path(), false);
        w.exportStudiesToFlashDrive(m_studyUid);
        QCOMPARE(answer.titles().last(), QStringLiteral("Ошибка экспорта"));
        QVERIFY2(answer.texts().last().startsWith(QStringLiteral("Папка назначения содержит папку программы")),
                 qPrintable(answer.texts().last()));
        QVERIFY(!answer.titles().contains(QStringLiteral("Папка не пуста")));
        QCOMPARE(fixtures::filesBelow(program), QStringList{"VavovIvirur"});
        QCOMPARE(bytesOf(QDir(program).filePath("VavovIvirur")), QByteArray("running program"));
    }

    // An export midway has nothing under its final name yet: killed at that moment, it would leave no
    // folder that passes for a finished one. Once done, the final folder holds all, the hidden one is gone.
    // Another disc copied over the folder after the study was listed puts another study's file over one
    // of its files before its copy (a new file renamed over it, or copied over it in place; over the last
    // one too), or cuts or half writes one while it is copied: the export is refused, the study named
    // with how many of its files hold other images now or the cause told, and nothing of it is left,
    // least of all the other study's image under an export name.
    void exportMidwayHasNoFinalFolder_data()
    {
        QTest::addColumn<bool>("flashDrive");
        QTest::addColumn<QString>("beside"); // hidden folders there before the export
        QTest::addColumn<bool>("compress");
        QTest::addColumn<QString>("change");   // of the second file
        QTest::addColumn<QStringList>("told"); // what the box says of it; empty: done
        const QStringList note{QStringLiteral("«Кротов"),
                               QStringLiteral("теперь не те снимки, что в списке: 1.")};
        const QStringList changed{QStringLiteral("IMG_1.dcm: Файл изменился во время копирования")};
        // The folder is in place, but the sync of its name fails: it stays, and is not told exported.
        const QStringList namesLost{QStringLiteral("могло не дойти до диска")};
        QTest::newRow("flash drive") << true << QString() << false << "" << QStringList();
        QTest::newRow("archive folder") << false << QString() << false << "" << QStringList();
        // An earlier export cut short (the drive pulled out) left its hidden folder: gone before this one.
        QTest::newRow("flash drive, after one cut short") << true << "left" << false << "" << QStringList();
        // What is not provably such a folder stays: the same left folder copied under another name, and
        // one that an export still writes.
        QTest::newRow("archive folder, beside a copy and a running export")
            << false << "copy, running" << false << "" << QStringList();
        QTest::newRow("flash drive, another study's file renamed over one")
            << true << QString() << false << "renamed over" << note;
        QTest::newRow("flash drive compressed, another study's file copied over one")
            << true << QString() << true << "copied over" << note;
        QTest::newRow("archive folder, another study's file renamed over one")
            << false << QString() << false << "renamed over" << note;
        QTest::newRow("archive folder, another study's file copied over one")
            << false << QString() << false << "copied over" << note;
        QTest::newRow("archive folder, another study's files renamed over two")
            << false << QString() << false << "renamed over two"
            << QStringList{note.first(), QStringLiteral("списке: 2.")};
        QTest::newRow("archive folder, a file cut while copied")
            << false << QString() << false << "cut" << changed;
        QTest::newRow("flash drive, a file half written while copied")
            << true << QString() << false << "half written" << changed;
        QTest::newRow("flash drive, its name lost on the way") << true << QString() << false << "names lost"
                                                               << namesLost;
        QTest::newRow("archive folder, its name lost on the way")
            << false << QString() << false << "names lost" << namesLost;
        // The same disc copied over the folder again: the study's own file still half written when its copy
        // opens it holds no other image.
        QTest::newRow("archive folder, its own file half written before copied")
            << false << QString() << false << "own half written" << changed;
        QTest::newRow("flash drive, its own file half written before copied")
            << true << QString() << false << "own half written" << changed;
        QTest::newRow("flash drive compressed, its own file half written before copied")
            << true << QString() << true << "own half written" << changed;
    }

    void exportMidwayHasNoFinalFolder()
    {
        QFETCH(bool, flashDrive);
        QFETCH(QString, beside);
        QFETCH(bool, compress);
        QFETCH(QString, change);
        QFETCH(QStringList, told);
        const QString finalName =
            flashDrive ? QStringLiteral("Кротов_44") : QStringLiteral("Кротов_44_20240115");
        MainWindow w;
        w.resize(1000, 600);
        w.show();
        fixtures::SeriesLayout layout = threeSmallSlices(QStringLiteral("Кротов"), QStringLiteral("44"));
        QTemporaryDir src;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), src.path(), layout));
        w.refreshStudyTable();
        const QStringList files = QDir(src.path()).entryList(QDir::Files, QDir::Name);
        QCOMPARE(files.size(), 3);
        const QString changed = QDir(src.path()).filePath(files[1]);
        const QByteArray own = bytesOf(changed);
        fixtures::SeriesLayout another = threeSmallSlices(QStringLiteral("Другой"), QStringLiteral("45"));
        const QByteArray other =
            bytesOf(fixtures::writeSlice(src.filePath(QStringLiteral("other.dcm")), another, 1));
        const QByteArray otherLast =
            bytesOf(fixtures::writeSlice(src.filePath(QStringLiteral("other_last.dcm")), another, 2));

        QTemporaryDir out;
        const QString target = out.filePath(finalName);
        QStringList staying; // what is beside the export before and must be after
        if (!beside.isEmpty()) {
            QString left;
            {
                StagedFolder cut(target);
                left = cut.path();
                fixtures::writeFile(QDir(left).filePath("DICOM/IMG_000001.dcm"), "cut short");
                // What the drive kept: the folder as it stood, no export writing it any more.
                std::filesystem::copy(left.toStdString(), (left + ".kept").toStdString(),
                                      std::filesystem::copy_options::recursive);
            }
            const QString kept =
                beside == QLatin1String("left") ? left : left.chopped(3) + QStringLiteral("zzz");
            QVERIFY(QDir().rename(left + ".kept", kept));
            if (kept != left)
                staying << QFileInfo(kept).fileName();
        }
        std::optional<StagedFolder> running;
        if (beside.contains(QLatin1String("running")))
            staying << QFileInfo(running.emplace(out.filePath(QStringLiteral("Другой_1"))).path()).fileName();

        bool finalFolderMidway = true;
        QStringList midway;
        // Before the file's copy, or inside it: the file open, its bytes not read yet.
        const bool whileCopied = change == QLatin1String("cut") || change == QLatin1String("half written");
        fixtures::ChangeDuringCopy look(
            changed,
            whileCopied ? dicom::testing::CopyMoment::Opened : dicom::testing::CopyMoment::BeforeOpening,
            [&] {
                finalFolderMidway = QFileInfo::exists(target);
                midway = QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
                if (change == QLatin1String("cut"))
                    QVERIFY(QFile::resize(changed, 0));
                else if (change == QLatin1String("own half written"))
                    QVERIFY(fixtures::replaceFileBytes(changed, own.left(own.size() / 2)));
                else if (whileCopied)
                    QVERIFY(fixtures::replaceFileBytes(changed, other.left(other.size() / 2)));
                else if (change.contains(QLatin1String(" over")))
                    QVERIFY(fixtures::replaceFileBytes(changed, other, false,
                                                       change != QLatin1String("copied over")));
                if (change == QLatin1String("renamed over two"))
                    QVERIFY(fixtures::replaceFileBytes(QDir(src.path()).filePath(files[2]), otherLast, false,
                                                       true));
            });
        // What the chosen folder holds at each sync of the disk; the name's sync refused when asked.
        fixtures::SyncRecord syncs(out.path(), [&](const QStringList& files) {
            const bool named = files.contains(QStringLiteral("%1/IMG_000003.dcm").arg(finalName)) ||
                               files.contains(QStringLiteral("%1/DICOM/IMG_000003.dcm").arg(finalName));
            return change == QLatin1String("names lost") && named ? EIO : 0;
        });
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, out.path(), compress);
        answer.setBoxHandler([&](QMessageBox*) {
            syncs.note();
            return true;
        });
        if (flashDrive)
            w.exportStudiesToFlashDrive(layout.studyUid);
        else
            triggerMenuEntry(w, {layout.studyUid}, "exportArchiveAction");
        QVERIFY(look.happened());
        QVERIFY(!finalFolderMidway);
        for (const QString& name : std::as_const(staying))
            QVERIFY2(midway.removeAll(name) == 1, qPrintable(name));
        QCOMPARE(midway.size(), 1);
        QVERIFY2(midway.first().startsWith(QLatin1Char('.')), qPrintable(midway.first()));

        if (!told.isEmpty()) {
            QCOMPARE(answer.titles().last(),
                     flashDrive ? QStringLiteral("Ошибка экспорта") : QStringLiteral("Экспорт не выполнен"));
            for (const QString& part : told)
                QVERIFY2(answer.texts().last().contains(part), qPrintable(answer.texts().last()));
            if (!flashDrive)
                QVERIFY2(answer.texts().last().startsWith(QStringLiteral("Экспортировано исследований: 0 из 1.")),
                         qPrintable(answer.texts().last()));
            // A folder whose name may not be on the drive is whole: it stays, nothing else does.
            QCOMPARE(QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                     change == QLatin1String("names lost") ? QStringList{finalName} : QStringList());
            w.close();
            return;
        }
        QCOMPARE(answer.titles().last(),
                 flashDrive ? QStringLiteral("Готово") : QStringLiteral("Экспорт завершён"));
        // The folder's files were synced, then its name, before the box said so.
        QVERIFY(syncs.namesSyncedBeforeResult());
        QCOMPARE(syncs.diskSyncs().size(), 2);
        QStringList after = staying << finalName;
        after.sort();
        QCOMPARE(
            QDir(out.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
            after);
        const QString images = flashDrive ? QDir(target).filePath("DICOM") : target;
        QCOMPARE(QDir(images).entryList(QDir::Files).size(), 3);
        w.close();
    }

    // A target that fills up part-way: the box says why and, for the archive folder, where the study
    // was to go; its title says nothing went out, and nothing of the export stays on the target.
    void fullTargetSaysWhyAndWhere_data()
    {
        QTest::addColumn<bool>("flashDrive");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<bool>("compress");
        QTest::addColumn<int>("programBytes"); // a program file of that size besides the usual ones
        QTest::addColumn<int>("slice");        // the slices' side; noise that hardly compresses above 16
        const QString full = QStringLiteral("Недостаточно места на диске");
        QTest::newRow("flash drive") << true << QStringLiteral("Ошибка экспорта") << full << false << 0 << 16;
        QTest::newRow("archive folder")
            << false << QStringLiteral("Экспорт не выполнен") << full << false << 0 << 16;
        // Room enough, but what was written does not reach the drive.
        QTest::newRow("flash drive, its writes lost on the way")
            << true << QStringLiteral("Ошибка экспорта") << QStringLiteral("Ошибка ввода-вывода") << false
            << 0 << 16;
        // A copy of the program's files cut short, which the library's copy tells as a damaged drive.
        QTest::newRow("flash drive smaller than the program's files")
            << true << QStringLiteral("Ошибка экспорта") << full << false << 256 << 16;
        // The study's compressed copy is what the drive refuses, not the study's own file.
        QTest::newRow("flash drive, the compressed study does not fit")
            << true << QStringLiteral("Ошибка экспорта") << full << true << 0 << 256;
    }

    void fullTargetSaysWhyAndWhere()
    {
        QFETCH(bool, flashDrive);
        QFETCH(QString, title);
        QFETCH(QString, cause);
        QFETCH(bool, compress);
        QFETCH(int, programBytes);
        QFETCH(int, slice);
        MainWindow w;
        w.resize(1000, 600);
        w.show();
        fixtures::SeriesLayout layout = threeSmallSlices(QStringLiteral("Полнов"), QStringLiteral("45"));
        layout.studyDate = QStringLiteral("20240115");
        layout.rows = layout.columns = slice;
        if (slice > 16)
            layout.value = [](int x, int y, int z) {
                return int((quint32(x * 7919 + y * 104729 + z) * 2654435761u) >> 21);
            };
        QTemporaryDir src;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), src.path(), layout));
        w.refreshStudyTable();
        const QString big = QDir(m_program.path()).filePath(QStringLiteral("libbig.so"));
        if (programBytes > 0)
            fixtures::writeFile(big, QByteArray(programBytes << 10, 'p'));
        const auto noBig = qScopeGuard([&] { QFile::remove(big); });

        QTemporaryDir out;
        const QString stick = out.filePath(QStringLiteral("stick"));
        fixtures::SmallFileSystem disk(stick, 1 << 20);
        if (!disk.isMounted())
            QSKIP(qPrintable(disk.why()));
        const bool lost = cause != QStringLiteral("Недостаточно места на диске");
        // The program's small files fit in what the larger rows leave; a larger file or image does not.
        QVERIFY(disk.fillLeaving(lost ? 512 << 10 : programBytes > 0 || compress ? 64 << 10 : 4096));
        // Only a sync of the whole drive (a folder's descriptor) fails: each file's own sync succeeds.
        platform::testing::setBeforeSyncHook(lost ? &refuseFolderSync : nullptr);
        const auto noHook = qScopeGuard([] { platform::testing::setBeforeSyncHook(nullptr); });
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, stick, compress);
        if (flashDrive)
            w.exportStudiesToFlashDrive(layout.studyUid);
        else
            triggerMenuEntry(w, {layout.studyUid}, "exportArchiveAction");
        QCOMPARE(answer.titles().last(), title);
        const QString told = answer.texts().last();
        QVERIFY2(told.contains(cause) && !told.contains(".partial-"), qPrintable(told));
        if (flashDrive) {
            QVERIFY2(
                told.contains(QDir::toNativeSeparators(QDir(stick).filePath(QStringLiteral("Полнов_45")))),
                qPrintable(told));
        } else {
            QVERIFY2(told.startsWith(QStringLiteral("Экспортировано исследований: 0 из 1.")),
                     qPrintable(told));
            const QString chosen = QDir(stick).filePath(QStringLiteral("Полнов_45_20240115"));
            QVERIFY2(told.contains(QStringLiteral("Полнов — %1").arg(QDir::toNativeSeparators(chosen))),
                     qPrintable(told));
        }
        if (compress) // the study's file is not what failed
            QVERIFY2(!told.contains(src.path()), qPrintable(told));
        QCOMPARE(QDir(stick).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{".ballast"});
        w.close();
    }

    void archiveExport()
    {
        MainWindow w;
        w.resize(1000, 600);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTemporaryDir src;
        auto addStudy = [&](const QString& folder, const QString& name, const QString& date, int slices) {
            fixtures::SeriesLayout layout;
            layout.patientName = name;
            layout.patientId = name == QStringLiteral("Орлов") ? QStringLiteral("O/2") : QStringLiteral("P/1");
            layout.studyDate = date;
            layout.rows = layout.columns = 16;
            layout.slices = slices;
            if (!fixtures::writeAndIndexSeries(*w.database(), src.filePath(folder), layout))
                return QString();
            return layout.studyUid;
        };
        const QString a = addStudy("a", "Петров", "2024.01.15", 2);
        const QString b = addStudy("b", "Петров", "2024.01.15", 3);
        const QString c = addStudy("c", "Орлов", "20240301", 2);
        QVERIFY(!a.isEmpty() && !b.isEmpty() && !c.isEmpty());
        QVERIFY(QFile::remove(QDir(src.filePath("c")).filePath(QDir(src.filePath("c")).entryList(QDir::Files).last())));
        w.refreshStudyTable();

        QTemporaryDir archive;
        fixtures::writeFile(archive.filePath("Петров_P_1_2024_01_15/.keep"), "hidden only: counts as empty");
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answerFolder(answer, archive.path());
        triggerMenuEntry(w, {a, b, c}, "exportArchiveAction");
        QCOMPARE(answer.titles().last(), QStringLiteral("Экспорт завершён с ошибками"));
        // The failed study is named with where it was to go and why it did not.
        const QString orlov =
            QStringLiteral("Экспортировано исследований: 2 из 3.\n\nНе удалось экспортировать:\nОрлов — %1: ")
                .arg(QDir::toNativeSeparators(archive.filePath("Орлов_O_2_20240301")));
        QVERIFY2(answer.texts().last().startsWith(orlov) &&
                     answer.texts().last().contains(QStringLiteral("файл не найден")),
                 qPrintable(answer.texts().last()));

        // Table order decides which study comes first; both get their own folder.
        const QString first = archive.filePath("Петров_P_1_2024_01_15");
        const QString second = archive.filePath("Петров_P_1_2024_01_15_2");
        const QStringList firstTree = fixtures::filesBelow(first);
        const QStringList secondTree = fixtures::filesBelow(second);
        QCOMPARE(firstTree.size() + secondTree.size(), 2 + 3 + 1);
        QVERIFY(firstTree.contains(".keep"));
        QVERIFY(firstTree.contains("IMG_000001.dcm") && secondTree.contains("IMG_000002.dcm"));
        // The failed study leaves neither a folder nor a partial copy.
        QVERIFY(!QFileInfo::exists(archive.filePath("Орлов_O_2_20240301")));
        QStringList top = QDir(archive.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(top.size(), 2);

        // The plain copy: names and bytes, no overwriting.
        QTemporaryDir plain;
        QString error;
        QVERIFY2(w.copyStudyFilesTo(m_studyUid, plain.path(), &error), qPrintable(error));
        const QStringList sources = m_series1 + m_series2;
        QCOMPARE(fixtures::filesBelow(plain.path()).size(), sources.size());
        for (int i = 0; i < sources.size(); ++i)
            QCOMPARE(bytesOf(QDir(plain.path()).filePath(exportFileName(i + 1))), bytesOf(sources[i]));
        QVERIFY(!w.copyStudyFilesTo(QStringLiteral("1.2.3.4"), plain.path(), &error));
        QCOMPARE(error, QStringLiteral("В исследовании не найдено файлов для копирования"));
        w.close();
    }
};

KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestPortableExport)
#include "tst_portableexport.moc"
