// Burning a study from the context menu onto a libburn pseudo-drive (a regular file), then reading
// the image back: the portable layout, "ПРОЧТИ.txt" and "autorun.inf" with their CR LF lines, the
// volume label; the options of the dialog, a cancelled dialog, a failed preparation and a failed burn.

#include "support/DicomFixtures.h"
#include "support/DiscImageFiles.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TestBench.h"
#include "support/StudyTableRow.h"
#include "support/SyncRecord.h"
#include "support/TestFiles.h"

#include "app/DiscStaging.h"
#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "db/Database.h"
#include "dialogs/BurnDiscDialog.h"
#include "dialogs/DiscBurnWorker.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomFileSummary.h"
#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"
#include "platform/TerminationSignals.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMutex>
#include <QProgressDialog>
#include <QPushButton>
#include <QSemaphore>
#include <QSettings>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace {

QString primaryVolumeId(const QString& image)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(16 * 2048))
        return {};
    return QString::fromLatin1(f.read(2048).mid(40, 32)).trimmed();
}

QStringList stagingFolders()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
        .entryList({QStringLiteral("KalvenorBurn_*")}, QDir::Dirs);
}

// An empty pseudo-drive image at path, offered as the only recorder.
QString blankDisc(const QString& path)
{
    fixtures::writeFile(path, QByteArray());
    platform::setExtraRecorderAddresses({"stdio:" + path});
    return path;
}

// A study of single-frame images written into folder, indexed and listed; an empty study UID on failure.
QString listedStudy(MainWindow& w, const QString& folder, int slices)
{
    fixtures::SeriesLayout layout;
    layout.slices = slices;
    if (!fixtures::writeAndIndexSeries(*w.database(), folder, layout))
        return {};
    w.refreshStudyTable();
    return layout.studyUid;
}

// Accepts every dialog and answers every box with OK; busy progress dialogs are left to close.
void acceptAllButProgress(fixtures::ModalAnswer& answer)
{
    answer.setDialogHandler([](QDialog* d) { return !qobject_cast<QProgressDialog*>(d); });
}

// What happens after the window is closed during a burn: when the user answers the question, or when
// the system asks the program to end (the question left open). The burn is held as its writing begins
// until the question is up.
enum CloseMoment {
    AnsweredAtOnce,
    AnsweredAfterOutcome, // the burn ended and its outcome was read while the question was open
    AtBurnEnd,            // closed in the pass of the event loop that hears the burn's end, not held
    SignalWhileBurning,
    SignalAfterOutcome,
    SignalOverOutcome
};

// Reaches into the burn the window starts: holds its worker as the writing begins until let go, and
// runs a call on the worker's thread right after the window has been sent the worker's end, so that
// what the call posts reaches the window in the pass of the event loop that hears that end.
class BurnWorkerHook : public QObject
{
public:
    BurnWorkerHook() { qApp->installEventFilter(this); }
    ~BurnWorkerHook() override
    {
        qApp->removeEventFilter(this);
        QMutexLocker lock(&m_state->mutex);
        m_state->atEnd = nullptr;
        release();
    }
    void holdWriting(bool hold) { m_state->hold = hold; }
    void atEnd(std::function<void()> call) { m_state->atEnd = std::move(call); }
    bool held() const { return m_state->held; }
    void release() { m_state->gate.release(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The worker is sent this as the window moves it to its thread.
        auto* worker = event->type() == QEvent::ThreadChange ? qobject_cast<disc::DiscBurnWorker*>(watched) : nullptr;
        if (worker)
            connect(worker, &disc::DiscBurnWorker::progressChanged, worker,
                    [state = m_state, worker, first = true](const QString& stage) mutable {
                        // Connected once the burn runs, after the window's own connections.
                        if (std::exchange(first, false))
                            connect(worker, &disc::DiscBurnWorker::finished, worker, [state] {
                                QMutexLocker lock(&state->mutex);
                                if (state->atEnd)
                                    state->atEnd();
                            }, Qt::DirectConnection);
                        if (state->hold && stage.startsWith(QStringLiteral("Запись на диск"))) {
                            state->held = true;
                            state->gate.acquire();
                        }
                    }, Qt::DirectConnection);
        return false;
    }

private:
    struct State
    {
        QMutex mutex;
        QSemaphore gate;
        std::function<void()> atEnd;
        std::atomic_bool hold{false}, held{false};
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

void triggerBurnEntry(MainWindow& w, const QString& studyUid)
{
    QTableWidget* table = w.studyTable();
    const int row = fixtures::studyRow(table, studyUid);
    QVERIFY(row >= 0);
    table->clearSelection();
    std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(table->visualItemRect(table->item(row, 0)).center()));
    QVERIFY(menu);
    QAction* action = menu->findChild<QAction*>(QStringLiteral("burnDiscAction"));
    QVERIFY(action);
    QVERIFY(action->isEnabled());
    action->trigger();
}

} // namespace

class TestDiscBurnFlow : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    QTemporaryDir m_root;
    QTemporaryDir m_program;
    QTemporaryDir m_data;
    QString m_studyUid;

private slots:
    void initTestCase()
    {
        m_bench.reset();
        platform::setSystemRoot(m_root.path());
        fixtures::writeFile(m_program.filePath("VavovIvirur"), QByteArray(1000, 'p'));
        fixtures::writeFile(m_program.filePath("plugins/libq.so"), QByteArray(200, 'q'));
        fixtures::writeFile(m_program.filePath("index.sqlite3"), QByteArray(50, 's'));
        setViewerProgramFolderOverride(m_program.path());
    }
    void cleanupTestCase()
    {
        platform::setExtraRecorderAddresses({});
        platform::setSystemRoot(QStringLiteral("/"));
        setViewerProgramFolderOverride(QString());
    }

    void sizesAndTexts()
    {
        QCOMPARE(folderSize(m_program.path()), qint64(1250));
        QCOMPARE(folderSize(m_data.filePath("nothing-here")), qint64(0));
        QCOMPARE(viewerCopySize(), qint64(1200)); // the index file stays behind
        const QByteArray readme = discReadmeText(false);
        QVERIFY(readme.startsWith(QStringLiteral("Kalvenor — диск с исследованием\r\n%1\r\n\r\n")
                                      .arg(QString(32, QLatin1Char('=')))
                                      .toUtf8()));
        QVERIFY(readme.contains(QStringLiteral("macOS: отдельный просмотрщик для Mac").toUtf8()));
        QVERIFY(!readme.startsWith("\xEF\xBB\xBF"));
        QVERIFY(discReadmeText(true).contains(QStringLiteral("Kalvenor.app двойным щелчком").toUtf8()));
        // Windows reads autorun.inf as Unicode only with the UTF-16 byte-order mark.
        const QByteArray autorun = autorunText(QStringLiteral("Диск_1"));
        QVERIFY(autorun.startsWith("\xFF\xFE"));
        QCOMPARE(QStringDecoder(QStringConverter::Utf16LE)(autorun.mid(2)).operator QString(),
                 QStringLiteral("[autorun]\r\nopen=VavovIvirur.exe\r\nicon=VavovIvirur.exe,0\r\n"
                                "label=Диск_1\r\n"));
    }

    void burn_data()
    {
        QTest::addColumn<bool>("autorun");
        QTest::addColumn<bool>("deleteTemp");
        QTest::addColumn<bool>("anonymise");
        QTest::addColumn<bool>("compress");
        // The study also holds a report, a key-object selection, an image with the name in its pixels and
        // an ultrasound image that does not say whether it carries the name.
        QTest::addColumn<bool>("uncleanable");
        QTest::newRow("autorun, clean up") << true << true << false << false << false;
        QTest::newRow("no autorun, keep staging") << false << false << false << false << false;
        QTest::newRow("anonymised") << true << true << true << false << false;
        QTest::newRow("anonymised, compressed") << true << true << true << true << false;
        QTest::newRow("anonymised, reports and a burned-in image") << true << true << true << true << true;
    }

    void burn()
    {
        QFETCH(bool, autorun);
        QFETCH(bool, deleteTemp);
        QFETCH(bool, anonymise);
        QFETCH(bool, compress);
        QFETCH(bool, uncleanable);
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.patientName = QStringLiteral("Иванов");
        layout.patientId = QStringLiteral("ZK7731");
        layout.birthDate = QStringLiteral("19610407");
        layout.slices = 2;
        // The identity also stands where modalities and archives leave it: the values before an edit
        // and a technician's comment.
        layout.customize = [&layout](DcmDataset& ds, int) {
            DcmItem* original = nullptr;
            ds.findOrCreateSequenceItem(DCM_OriginalAttributesSequence, original, -2);
            DcmItem* modified = nullptr;
            original->findOrCreateSequenceItem(DCM_ModifiedAttributesSequence, modified, -2);
            modified->putAndInsertString(DCM_PatientName, layout.patientName.toUtf8().constData());
            modified->putAndInsertString(DCM_PatientID, layout.patientId.toUtf8().constData());
            ds.putAndInsertString(
                DCM_ImageComments,
                (layout.patientName + QStringLiteral(" ") + layout.birthDate).toUtf8().constData());
        };
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath(QTest::currentDataTag()), layout));
        if (uncleanable) {
            const QDir extra(m_data.filePath(QStringLiteral("%1-extra").arg(QTest::currentDataTag())));
            const QByteArray identity = (layout.patientName + QStringLiteral(" ") + layout.patientId).toUtf8();
            fixtures::SeriesLayout burned = layout;
            burned.seriesUid = fixtures::newUid();
            burned.customize = [](DcmDataset& ds, int) { ds.putAndInsertString(DCM_BurnedInAnnotation, "YES"); };
            fixtures::SeriesLayout ultrasound = burned;
            ultrasound.modality = QStringLiteral("US");
            ultrasound.customize = [](DcmDataset& ds, int) {
                ds.putAndInsertString(DCM_SOPClassUID, UID_UltrasoundImageStorage);
            };
            for (const QString& file :
                 {fixtures::writeSlice(extra.filePath("burned.dcm"), burned, 0),
                  fixtures::writeSlice(extra.filePath("us.dcm"), ultrasound, 0),
                  fixtures::writeTextReport(extra.filePath("sr.dcm"), layout, identity),
                  fixtures::writeKeyObjectSelection(extra.filePath("ko.dcm"), layout, identity,
                                                    UID_CTImageStorage, fixtures::newUid())}) {
                const auto summary = dicom::readFileSummary(file);
                QVERIFY(summary && w.database()->indexFile(*summary));
            }
        }
        w.refreshStudyTable();

        const QString image =
            blankDisc(m_data.filePath(QStringLiteral("%1.iso").arg(QTest::currentDataTag())));
        const QStringList before = stagingFolders();

        QString proposedLabel;
        fixtures::SyncRecord syncs; // what the staging folder held at each sync of its disk
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            if (auto* box = d->findChild<QCheckBox*>("autorunBox"))
                box->setChecked(autorun);
            if (auto* box = d->findChild<QCheckBox*>("deleteTempBox"))
                box->setChecked(deleteTemp);
            if (auto* box = d->findChild<QCheckBox*>("compressBox"))
                box->setChecked(compress);
            if (auto* edit = d->findChild<QLineEdit*>("labelEdit"))
                proposedLabel = edit->text();
            if (auto* box = d->findChild<QCheckBox*>("anonymizeBox"))
                box->setChecked(anonymise);
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        // The message says what the anonymised disc left out.
        dicom::LeftOutCount leftOut;
        leftOut.documents = uncleanable ? 2 : 0;
        leftOut.burnedInImages = uncleanable ? 1 : 0;
        leftOut.unflaggedCaptures = uncleanable ? 1 : 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            answer.texts().contains(QStringLiteral("Диск успешно записан.") + dicom::leftOutNote(leftOut)), 30000);
        QVERIFY(answer.titles().contains(QStringLiteral("Запись на диск")));
        QCOMPARE(proposedLabel, makeSafeFolderName(layout.patientName, layout.patientId));
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(QStringLiteral("discBurnProgress")), 30000);

        const QMap<QString, QByteArray> files = fixtures::imageFiles(image);
        QStringList expected{"DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm", "VavovIvirur", "plugins/libq.so",
                             "portable.marker", QStringLiteral("ПРОЧТИ.txt")};
        if (autorun)
            expected << "autorun.inf";
        expected.sort();
        QStringList keys = files.keys();
        keys.sort();
        QCOMPARE(keys, expected);
        // Every name on the disc was on the disk before the burn was handed the folder: one sync after the last.
        QCOMPARE(syncs.diskSyncs(), QList<QStringList>{expected});
        QCOMPARE(files.value(QStringLiteral("ПРОЧТИ.txt")), discReadmeText(false));
        const QString label = anonymise ? QStringLiteral("ANONYMOUS") : QStringLiteral("Иванов_ZK7731");
        if (autorun)
            QCOMPARE(files.value("autorun.inf"), autorunText(label));
        QCOMPARE(files.value("VavovIvirur"), QByteArray(1000, 'p'));
        QVERIFY(primaryVolumeId(image).contains(anonymise ? QStringLiteral("ANONYMOUS")
                                                          : QStringLiteral("ZK7731")));
        if (anonymise) {
            // Nothing on the medium names the patient: the image holds every path (ISO, Joliet, Rock
            // Ridge), both volume labels and every file's bytes.
            QFile raw(image);
            QVERIFY(raw.open(QIODevice::ReadOnly));
            const QByteArray medium = raw.readAll();
            for (const QString& identity : {layout.patientId, layout.patientName, layout.birthDate})
                for (const auto encoding :
                     {QStringConverter::Utf8, QStringConverter::Utf16LE, QStringConverter::Utf16BE})
                    QVERIFY2(!medium.contains(QStringEncoder(encoding)(identity).operator QByteArray()),
                             qPrintable(identity));
        }

        const QStringList after = stagingFolders();
        QCOMPARE(after.size(), before.size() + (deleteTemp ? 0 : 1));
    }

    void macBundleGoesAlong()
    {
        // A program folder with a macOS bundle next to it: the disc carries the bundle with the study
        // inside and the read-me's macOS lines; the dialog offered the bundle and counted its size.
        QTemporaryDir program;
        fixtures::writeFile(program.filePath("VavovIvirur"), QByteArray(100, 'p'));
        fixtures::writeFile(program.filePath("mac_portable/Kalvenor.app/Contents/MacOS/Kalvenor"), QByteArray(300, 'm'));
        setViewerProgramFolderOverride(program.path());
        auto restore = qScopeGuard([&] { setViewerProgramFolderOverride(m_program.path()); });

        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.slices = 1;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath("mac"), layout));
        w.refreshStudyTable();
        const QString image = blankDisc(m_data.filePath(QStringLiteral("mac.iso")));
        QString macText;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            if (auto* box = d->findChild<QCheckBox*>("macViewerBox"))
                macText = box->text();
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(answer.texts().contains(QStringLiteral("Диск успешно записан.")), 30000);
        QCOMPARE(macText, QStringLiteral("Включить также просмотрщик для macOS (+0.0 МБ)"));
        const QMap<QString, QByteArray> files = fixtures::imageFiles(image);
        QCOMPARE(files.value("Kalvenor.app/Contents/MacOS/Kalvenor"), QByteArray(300, 'm'));
        QVERIFY(files.contains("Kalvenor.app/Contents/MacOS/DICOM/IMG_000001.dcm"));
        QVERIFY(!files.contains("mac_portable/Kalvenor.app/Contents/MacOS/Kalvenor"));
        QCOMPARE(files.value(QStringLiteral("ПРОЧТИ.txt")), discReadmeText(true));
    }

    void cancelledOrFailed()
    {
        MainWindow w;
        w.show();
        const QString study = listedStudy(w, m_data.filePath("gone"), 1);
        QVERIFY(!study.isEmpty());
        const QString image = blankDisc(m_data.filePath(QStringLiteral("unused.iso")));
        const QStringList before = stagingFolders();
        {
            fixtures::ModalAnswer cancel(QMessageBox::Ok, QDialog::Rejected);
            triggerBurnEntry(w, study);
            QCOMPARE(cancel.count(), 1);
        }
        QCOMPARE(stagingFolders(), before);

        // The study's files are gone: the preparation fails, says so, and takes its folder back.
        QVERIFY(QDir(m_data.filePath("gone")).removeRecursively());
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        acceptAllButProgress(answer);
        triggerBurnEntry(w, study);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().count(QStringLiteral("Запись на диск")) >= 1, 30000);
        QVERIFY(!answer.texts().isEmpty());
        QCOMPARE(stagingFolders(), before);
        QCOMPARE(QFileInfo(image).size(), 0);
    }

    // The dialog is told the study's size with a multi-frame file counted once, not once per frame.
    void estimateCountsEachFileOnce()
    {
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 256;
        layout.slices = 4;
        fixtures::completeUids(layout);
        const QString file = fixtures::writeMultiFrame(m_data.filePath("mf/cine.dcm"), layout);
        QVERIFY(fixtures::indexFiles(*w.database(), {file}));
        w.refreshStudyTable();
        QString estimate;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Rejected);
        answer.setDialogHandler([&](QDialog* d) {
            if (auto* box = d->findChild<QCheckBox*>("compressBox"))
                box->setChecked(false);
            if (auto* size = d->findChild<QLabel*>("sizeLabel"))
                estimate = size->text();
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        QCOMPARE(estimate, QStringLiteral("Требуется места: %1")
                               .arg(BurnDiscDialog::formatSize(QFileInfo(file).size() + viewerCopySize())));
    }

    // The estimate guesses the compression; the prepared image is measured before the burn and, when
    // it is larger than the disc, refused with both sizes and nothing written.
    void imageLargerThanTheDiscIsRefused()
    {
        MainWindow w;
        w.show();
        const QString study = listedStudy(w, m_data.filePath("big"), 2);
        QVERIFY(!study.isEmpty());
        const QString image = blankDisc(m_data.filePath(QStringLiteral("small.iso")));
        platform::setPseudoDriveCapacity(64 * 1024); // room for the estimate, not for the image
        auto restore = qScopeGuard([] { platform::setPseudoDriveCapacity(0); });
        const QStringList before = stagingFolders();
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        acceptAllButProgress(answer);
        triggerBurnEntry(w, study);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().count(QStringLiteral("Запись на диск")) == 1, 30000);
        const QString text = answer.texts().last();
        QVERIFY2(text.startsWith(QStringLiteral("На диске недостаточно места (свободно %1, требуется ")
                                     .arg(BurnDiscDialog::formatSize(64 * 1024))),
                 qPrintable(text));
        QCOMPARE(QFileInfo(image).size(), 0);
        QCOMPARE(stagingFolders(), before);
    }

    // Quitting while a disc is burnt asks first; the window closes only once the burn has stopped and
    // its outcome has been read. A request to end from the system waits for nobody's answer: the
    // program ends with 0 as soon as no burn runs, and a running burn is let finish.
    void quittingDuringABurn_data()
    {
        QTest::addColumn<int>("button"); // the answer to the closing question
        QTest::addColumn<bool>("closes");
        QTest::addColumn<int>("moment");
        QTest::newRow("wait for the burn") << int(QMessageBox::Yes) << true << int(AnsweredAtOnce);
        QTest::newRow("cancel the burn") << int(QMessageBox::No) << true << int(AnsweredAtOnce);
        QTest::newRow("keep working") << int(QMessageBox::Cancel) << false << int(AnsweredAtOnce);
        QTest::newRow("wait, the burn ended while asked") << int(QMessageBox::Yes) << true
                                                          << int(AnsweredAfterOutcome);
        QTest::newRow("closed as the burn ends") << int(QMessageBox::NoButton) << true << int(AtBurnEnd);
        QTest::newRow("ended by the system while burning") << int(QMessageBox::NoButton) << true
                                                           << int(SignalWhileBurning);
        QTest::newRow("ended by the system, outcome read") << int(QMessageBox::NoButton) << true
                                                           << int(SignalAfterOutcome);
        QTest::newRow("ended by the system over the outcome") << int(QMessageBox::NoButton) << true
                                                              << int(SignalOverOutcome);
    }

    void quittingDuringABurn()
    {
        QFETCH(int, button);
        QFETCH(bool, closes);
        QFETCH(int, moment);
        const bool bySystem = moment >= SignalWhileBurning;
        std::optional<platform::TerminationSignals> termination;
        if (bySystem) {
            termination.emplace();
            QVERIFY(termination->isActive());
        }
        MainWindow w;
        w.show();
        // As the program connects them.
        if (termination)
            QObject::connect(&*termination, &platform::TerminationSignals::terminationRequested, &w, &QWidget::close);
        const QString study = listedStudy(w, m_data.filePath(QTest::currentDataTag()), 1);
        QVERIFY(!study.isEmpty());
        const QString image = blankDisc(m_data.filePath(QStringLiteral("quit.iso")));
        const QStringList before = stagingFolders();
        BurnWorkerHook hook;
        hook.holdWriting(moment != AtBurnEnd);
        bool closeAsked = false;
        if (moment == AtBurnEnd)
            hook.atEnd([&w, &closeAsked] {
                QMetaObject::invokeMethod(&w, [&w, &closeAsked] {
                    closeAsked = true;
                    w.close();
                }, Qt::QueuedConnection);
            });
        fixtures::ModalAnswer answer(QMessageBox::StandardButton(button), QDialog::Accepted);
        acceptAllButProgress(answer);
        QList<bool> atOutcome; // whether the close had come, and the window was open, as the outcome showed
        answer.setShowHandler([&](QWidget* shown) {
            if (auto* box = qobject_cast<QMessageBox*>(shown); box && box->icon() == QMessageBox::Information)
                atOutcome = {closeAsked, w.isVisible()};
        });
        triggerBurnEntry(w, study);
        const auto asked = [&answer] { return !answer.texts().filter(QStringLiteral("Идёт запись диска")).isEmpty(); };

        if (moment == AtBurnEnd) {
            QTRY_VERIFY_WITH_TIMEOUT(answer.texts().contains(QStringLiteral("Диск успешно записан.")), 30000);
            // Shown once control was back in the event loop, after the close that came with the burn's
            // end, which waited for it rather than ending the program untold.
            QCOMPARE(atOutcome, (QList<bool>{true, true}));
            QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
            QVERIFY(!asked()); // the disc was no longer at stake
            QTRY_COMPARE_WITH_TIMEOUT(stagingFolders(), before, 30000);
            return;
        }

        QTRY_VERIFY_WITH_TIMEOUT(hook.held(), 30000);
        bool heard = false, signalled = false, outcomeRead = false;
        if (termination)
            QObject::connect(&*termination, &platform::TerminationSignals::terminationRequested, &w,
                             [&heard] { heard = true; });
        const auto raiseOnce = [&signalled] {
            if (!signalled)
                signalled = ::raise(SIGTERM) == 0;
        };
        answer.setBoxHandler([&](QMessageBox* box) {
            if (box->icon() != QMessageBox::Warning) { // the burn's outcome
                if (moment == SignalOverOutcome)
                    raiseOnce();
                outcomeRead = moment != SignalOverOutcome && moment != SignalWhileBurning;
                return outcomeRead;
            }
            if (moment == SignalWhileBurning)
                raiseOnce();
            if (moment != SignalWhileBurning || heard)
                hook.release();
            if (moment == SignalAfterOutcome && outcomeRead)
                raiseOnce();
            // The system's rows never answer it.
            return moment == AnsweredAtOnce || (moment == AnsweredAfterOutcome && outcomeRead);
        });
        if (!bySystem) {
            const int titlesBefore = answer.count();
            w.close();
            // The question and the burn's own outcome were both shown: the window waited for the outcome.
            QTRY_COMPARE_WITH_TIMEOUT(answer.titles().mid(titlesBefore).count(QStringLiteral("Запись на диск")), 2,
                                      30000);
            QVERIFY(asked());
            QTRY_COMPARE_WITH_TIMEOUT(w.isVisible(), !closes, 30000);
        } else {
            QTimer::singleShot(0, &w, &QWidget::close); // the user closes the window
            bool stuck = false; // only a program that would not end comes this far
            QTimer::singleShot(60000, &w, [&stuck] {
                stuck = true;
                QCoreApplication::exit(1);
            });
            const int code = QApplication::exec();
            QVERIFY(signalled);
            QVERIFY(!stuck);
            QCOMPARE(code, 0);
            QVERIFY(!w.isVisible());
            QVERIFY(!asked());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(QStringLiteral("discBurnProgress")), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(stagingFolders(), before, 30000);
        // The system's request did not cut the burn: the disc holds the study.
        if (bySystem)
            QVERIFY(fixtures::imageFiles(image).contains(QStringLiteral("DICOM/IMG_000001.dcm")));
    }

    void burnFailureIsReported()
    {
        MainWindow w;
        w.show();
        const QString study = listedStudy(w, m_data.filePath("fails"), 1);
        QVERIFY(!study.isEmpty());
        // The medium is blank when the dialog checks it and used when the worker starts.
        const QString image = blankDisc(m_data.filePath(QStringLiteral("late.iso")));
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            fixtures::writeFile(image, QByteArray(2048, 'u'));
            return true;
        });
        triggerBurnEntry(w, study);
        QTRY_VERIFY_WITH_TIMEOUT(!answer.texts().isEmpty() &&
                                     answer.texts().last().startsWith(QStringLiteral("Ошибка записи на диск")),
                                 30000);
        QCOMPARE(QFileInfo(image).size(), 2048);
    }

    // A label the user typed stays, unless the disc is anonymised and the label names the patient.
    void typedLabelOfAnonymisedDisc_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("anonymise");
        QTest::addColumn<QString>("burnt");
        QTest::newRow("surname in capitals") << "КТ ИВАНОВ" << true << "ANONYMOUS";
        QTest::newRow("given name") << "Пётр 2024" << true << "ANONYMOUS";
        QTest::newRow("patient ID in lower case") << "disc zk7731" << true << "ANONYMOUS";
        QTest::newRow("nothing of the patient") << "КТ_2024" << true << "КТ_2024";
        QTest::newRow("not anonymised") << "КТ ИВАНОВ" << false << "КТ ИВАНОВ";
    }
    void typedLabelOfAnonymisedDisc()
    {
        QFETCH(QString, typed);
        QFETCH(bool, anonymise);
        QFETCH(QString, burnt);
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.patientName = QStringLiteral("Иванов^Пётр");
        layout.patientId = QStringLiteral("ZK7731");
        layout.slices = 1;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath(QTest::currentDataTag()), layout));
        w.refreshStudyTable();
        const QString image = blankDisc(m_data.filePath(QStringLiteral("%1.iso").arg(QTest::currentDataTag())));
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            if (auto* box = d->findChild<QCheckBox*>("autorunBox"))
                box->setChecked(true);
            if (auto* box = d->findChild<QCheckBox*>("anonymizeBox"))
                box->setChecked(anonymise);
            if (auto* edit = d->findChild<QLineEdit*>("labelEdit"))
                edit->setText(typed);
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(answer.texts().contains(QStringLiteral("Диск успешно записан.")), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(QStringLiteral("discBurnProgress")), 30000);
        QCOMPARE(fixtures::imageFiles(image).value("autorun.inf"), autorunText(burnt));
    }
};

QTEST_MAIN(TestDiscBurnFlow)
#include "tst_discburnflow.moc"
