// Burning a study from the context menu onto a libburn pseudo-drive (a regular file), then reading
// the image back: the portable layout, "ПРОЧТИ.txt" and "autorun.inf" with their CR LF lines, the
// volume label; the options of the dialog, a cancelled dialog, a failed preparation and a failed burn.

#include "DiscImageFiles.h"
#include "IndexFixtures.h"
#include "ModalAnswer.h"
#include "ProgramTestSetup.h"
#include "StudyTableRow.h"
#include "TestFiles.h"

#include "app/DiscStaging.h"
#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

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

    QTemporaryDir m_root;
    QTemporaryDir m_program;
    QTemporaryDir m_data;
    QString m_studyUid;

private slots:
    void initTestCase()
    {
        fixtures::prepareWindowTest();
        fixtures::clearProgramData();
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
        QCOMPARE(autorunText(QStringLiteral("Диск_1")),
                 QStringLiteral("[autorun]\r\nopen=VavovIvirur.exe\r\nicon=VavovIvirur.exe,0\r\nlabel=Диск_1\r\n").toUtf8());
    }

    void burn_data()
    {
        QTest::addColumn<bool>("autorun");
        QTest::addColumn<bool>("deleteTemp");
        QTest::newRow("autorun, clean up") << true << true;
        QTest::newRow("no autorun, keep staging") << false << false;
    }

    void burn()
    {
        QFETCH(bool, autorun);
        QFETCH(bool, deleteTemp);
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.patientName = QStringLiteral("Иванов");
        layout.patientId = QStringLiteral("77");
        layout.slices = 2;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath(QTest::currentDataTag()), layout));
        w.refreshStudyTable();

        const QString image = m_data.filePath(QStringLiteral("%1.iso").arg(autorun));
        fixtures::writeFile(image, QByteArray());
        platform::setExtraRecorderAddresses({"stdio:" + image});
        const QStringList before = stagingFolders();

        QString proposedLabel;
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            if (auto* box = d->findChild<QCheckBox*>("autorunBox"))
                box->setChecked(autorun);
            if (auto* box = d->findChild<QCheckBox*>("deleteTempBox"))
                box->setChecked(deleteTemp);
            if (auto* box = d->findChild<QCheckBox*>("compressBox"))
                box->setChecked(false);
            if (auto* edit = d->findChild<QLineEdit*>("labelEdit"))
                proposedLabel = edit->text();
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(answer.texts().contains(QStringLiteral("Диск успешно записан.")), 30000);
        QVERIFY(answer.titles().contains(QStringLiteral("Запись на диск")));
        QCOMPARE(proposedLabel, makeSafeFolderName(layout.patientName, layout.patientId));
        QTRY_VERIFY(!w.findChild<QProgressDialog*>(QStringLiteral("discBurnProgress")));

        const QMap<QString, QByteArray> files = fixtures::imageFiles(image);
        QStringList expected{"DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm", "VavovIvirur", "plugins/libq.so",
                             "portable.marker", QStringLiteral("ПРОЧТИ.txt")};
        if (autorun)
            expected << "autorun.inf";
        expected.sort();
        QStringList keys = files.keys();
        keys.sort();
        QCOMPARE(keys, expected);
        QCOMPARE(files.value(QStringLiteral("ПРОЧТИ.txt")), discReadmeText(false));
        if (autorun)
            QCOMPARE(files.value("autorun.inf"), autorunText(QStringLiteral("Иванов_77")));
        QCOMPARE(files.value("VavovIvirur"), QByteArray(1000, 'p'));
        QVERIFY(!primaryVolumeId(image).isEmpty());

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
        const QString image = m_data.filePath(QStringLiteral("mac.iso"));
        fixtures::writeFile(image, QByteArray());
        platform::setExtraRecorderAddresses({"stdio:" + image});
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
        fixtures::SeriesLayout layout;
        layout.slices = 1;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath("gone"), layout));
        w.refreshStudyTable();
        const QString image = m_data.filePath(QStringLiteral("unused.iso"));
        fixtures::writeFile(image, QByteArray());
        platform::setExtraRecorderAddresses({"stdio:" + image});
        const QStringList before = stagingFolders();
        {
            fixtures::ModalAnswer cancel(QMessageBox::Ok, QDialog::Rejected);
            triggerBurnEntry(w, layout.studyUid);
            QCOMPARE(cancel.count(), 1);
        }
        QCOMPARE(stagingFolders(), before);

        // The study's files are gone: the preparation fails, says so, and takes its folder back.
        QVERIFY(QDir(m_data.filePath("gone")).removeRecursively());
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([](QDialog* d) { return !qobject_cast<QProgressDialog*>(d); });
        triggerBurnEntry(w, layout.studyUid);
        QTRY_VERIFY(answer.titles().count(QStringLiteral("Запись на диск")) >= 1);
        QVERIFY(!answer.texts().isEmpty());
        QCOMPARE(stagingFolders(), before);
        QCOMPARE(QFileInfo(image).size(), 0);
    }

    void burnFailureIsReported()
    {
        MainWindow w;
        w.show();
        fixtures::SeriesLayout layout;
        layout.slices = 1;
        QVERIFY(fixtures::writeAndIndexSeries(*w.database(), m_data.filePath("fails"), layout));
        w.refreshStudyTable();
        // The medium is blank when the dialog checks it and used when the worker starts.
        const QString image = m_data.filePath(QStringLiteral("late.iso"));
        fixtures::writeFile(image, QByteArray());
        platform::setExtraRecorderAddresses({"stdio:" + image});
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        answer.setDialogHandler([&](QDialog* d) {
            if (qobject_cast<QProgressDialog*>(d))
                return false;
            fixtures::writeFile(image, QByteArray(2048, 'u'));
            return true;
        });
        triggerBurnEntry(w, layout.studyUid);
        QTRY_VERIFY_WITH_TIMEOUT(!answer.texts().isEmpty() &&
                                     answer.texts().last().startsWith(QStringLiteral("Ошибка записи на диск")),
                                 30000);
        QCOMPARE(QFileInfo(image).size(), 2048);
    }
};

QTEST_MAIN(TestDiscBurnFlow)
#include "tst_discburnflow.moc"
