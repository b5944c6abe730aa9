// The PACS download dialog's results menu hands an indexed study to the study list's disc burn and
// e-mail flows: the burn lands on a libburn pseudo-drive, the e-mail flow ends with the archive's
// folder handed to the desktop services (captured, nothing launched).

#include "support/TestBench.h"
#include "support/PacsTestPeers.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/PopupMenuAnswer.h"
#include "support/UrlCatcher.h"

#include "app/MainWindow.h"
#include "app/PacsDownloadDialog.h"
#include "app/PortableExport.h"
#include "db/Database.h"
#include "pacs/PacsConfig.h"
#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QListWidget>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

class TestPacsResultsDiscMail : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

    QTemporaryDir m_root;
    QTemporaryDir m_program;
    QTemporaryDir m_out;

private slots:
    void initTestCase()
    {
        m_bench.reset();
        platform::setSystemRoot(m_root.path());
        QFile program(QDir(m_program.path()).filePath(QStringLiteral("VavovIvirur")));
        QVERIFY(program.open(QIODevice::WriteOnly));
        program.write("program");
        program.close();
        setViewerProgramFolderOverride(m_program.path());
    }
    void cleanupTestCase()
    {
        platform::setExtraRecorderAddresses({});
        platform::setSystemRoot(QStringLiteral("/"));
        setViewerProgramFolderOverride(QString());
    }

    void resultsMenuBurnsAndMails()
    {
        MainWindow w;
        peers::QrArchive archive;
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 16;
        layout.slices = 2;
        const QStringList stored = archive.add(layout);
        QVERIFY(!stored.isEmpty() && archive.start());
        QVERIFY(fixtures::indexFiles(*w.database(), stored));
        pacs::PacsConfig config;
        config.servers = {archive.server(0, QStringLiteral("Архив"))};
        pacs::savePacsConfig(config);

        PacsDownloadDialog dialog(w.database());
        dialog.show();
        for (int i = 0; i < dialog.serverList()->count(); ++i)
            dialog.serverList()->item(i)->setCheckState(Qt::Checked);
        QTest::mouseClick(dialog.findButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isSearching(); }, 30000));
        QTableWidget* results = dialog.resultsTable();
        QCOMPARE(results->rowCount(), 1);
        const QPoint cell = results->visualItemRect(results->item(0, 0)).center();

        // E-mail: the folder chooser, the ZIP, the chooser dismissed, the folder shown.
        {
            fixtures::UrlCatcher urls;
            fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
            const QString folder = m_out.path();
            answer.setDialogHandler([folder](QDialog* d) {
                if (qobject_cast<QProgressDialog*>(d))
                    return false;
                if (auto* fd = qobject_cast<QFileDialog*>(d))
                    fd->setDirectory(folder);
                return true;
            });
            fixtures::PopupMenuAnswer popup(QList<int>{4, -1});
            emit results->customContextMenuRequested(cell);
            QTRY_VERIFY_WITH_TIMEOUT(!urls.urls.isEmpty(), 20000);
            QCOMPARE(popup.shown, 2);
            QCOMPARE(popup.enabledEntries.size(), 5);
            QVERIFY(urls.urls.first().isLocalFile());
            QVERIFY(QFileInfo::exists(
                QDir(folder).filePath(makeSafeFolderName(layout.patientName, layout.patientId) + ".zip")));
        }
        // Disc: the burn dialog accepted on a blank pseudo-drive, the burn reported.
        {
            const QString image = m_out.filePath(QStringLiteral("disc.iso"));
            QFile(image).open(QIODevice::WriteOnly);
            platform::setExtraRecorderAddresses({"stdio:" + image});
            fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
            answer.setDialogHandler([](QDialog* d) { return !qobject_cast<QProgressDialog*>(d); });
            fixtures::PopupMenuAnswer popup(QList<int>{2});
            emit results->customContextMenuRequested(cell);
            QTRY_VERIFY_WITH_TIMEOUT(answer.texts().contains(QStringLiteral("Диск успешно записан.")), 30000);
            QVERIFY(QFileInfo(image).size() > 0);
        }
    }
};

QTEST_MAIN(TestPacsResultsDiscMail)
#include "tst_pacsresultsdiscmail.moc"
