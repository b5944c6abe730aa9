// Sending a study from the study list to a PACS server: the server menu, C-STORE to a real
// storescp on 127.0.0.1 under the progress dialog, and the result and refusal boxes.

#include "support/TestBench.h"
#include "support/PacsTestPeers.h"

#include "support/ChangeBeforeValues.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/PopupMenuAnswer.h"
#include "support/TestFiles.h"

#include "app/MainWindow.h"
#include "app/PacsDownloadDialog.h"
#include "db/Database.h"
#include "pacs/PacsConfig.h"

#include <QAction>
#include <QFutureWatcher>
#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString Title = QStringLiteral("Отправка на PACS");

pacs::PacsServer loopbackServer(quint16 port)
{
    return peers::at(port, QStringLiteral("RECEIVER"), 0, QStringLiteral("Тестовый архив"));
}

void configure(const QList<pacs::PacsServer>& servers)
{
    pacs::PacsConfig config;
    config.servers = servers;
    pacs::savePacsConfig(config);
}

// Three single-frame files in one series and one four-frame file in another: seven index rows,
// four files.
QString addStudy(db::Database* index, const QString& dir)
{
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 16;
    layout.slices = 3;
    if (!fixtures::writeAndIndexSeries(*index, dir + QStringLiteral("/single"), layout))
        return {};
    fixtures::SeriesLayout multi = layout;
    multi.seriesUid.clear();
    multi.seriesNumber = QStringLiteral("2");
    multi.slices = 4;
    QDir().mkpath(dir);
    const QString path = fixtures::writeMultiFrame(dir + QStringLiteral("/multi.dcm"), multi);
    if (path.isEmpty() || !fixtures::indexFiles(*index, {path}))
        return {};
    return layout.studyUid;
}

} // namespace

class TestPacsSend : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    void contextMenuEntryWithoutServers()
    {
        QTemporaryDir dir;
        MainWindow w;
        w.resize(1000, 600);
        const QString uid = addStudy(w.database(), dir.path());
        QVERIFY(!uid.isEmpty());
        w.refreshStudyTable();
        QTableWidget* t = w.studyTable();
        QCOMPARE(t->rowCount(), 1);
        std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(t->visualItemRect(t->item(0, 0)).center()));
        QVERIFY(menu);
        auto* send = menu->findChild<QAction*>(QStringLiteral("sendToPacsAction"));
        QVERIFY(send);
        QVERIFY(send->isEnabled());
        QCOMPARE(send->text(), QStringLiteral("Отправить на PACS-сервер…"));

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        fixtures::PopupMenuAnswer popup(-1);
        send->trigger();
        QCOMPARE(answer.titles(), QStringList{Title});
        QCOMPARE(answer.texts(),
                 QStringList{QStringLiteral("Нет настроенных PACS-серверов — добавьте сервер в настройках PACS.")});
        QCOMPARE(popup.shown, 0);
    }

    void dismissedMenuSendsNothing()
    {
        pacs::PacsServer archive;
        archive.host = QStringLiteral("10.0.0.5"); // listed only: the menu is dismissed
        archive.aeTitle = QStringLiteral("ARCHIVE");
        configure({loopbackServer(104), archive});

        QTemporaryDir dir;
        MainWindow w;
        const QString uid = addStudy(w.database(), dir.path());
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        fixtures::PopupMenuAnswer popup(-1);
        w.sendStudyToPacs(uid);
        QCOMPARE(popup.shown, 1);
        QCOMPARE(popup.entries,
                 (QStringList{QStringLiteral("Тестовый архив (127.0.0.1:104)"), QStringLiteral("ARCHIVE (10.0.0.5:104)")}));
        QCoreApplication::processEvents();
        QCOMPARE(answer.count(), 0);
        QVERIFY(!w.findChild<QProgressDialog*>());
    }

    // Another study's file renamed over one of the study's after it was listed: not sent as the study's,
    // and the study named. One of the study's own files caught half written as it was read (the same
    // disc copied over the folder again): not sent either, and told as changed, not as another's image.
    void sendsEveryFileOnceWithProgress_data()
    {
        QTest::addColumn<bool>("hide");
        QTest::addColumn<QString>("change");
        QTest::newRow("watched") << false << "";
        QTest::newRow("hidden") << true << "";
        QTest::newRow("watched, another study's file renamed over one") << false << "renamed over";
        QTest::newRow("watched, one of its own files half written") << false << "own half";
    }

    void sendsEveryFileOnceWithProgress()
    {
        QFETCH(bool, hide);
        QFETCH(QString, change);
        const bool replaced = !change.isEmpty();
        peers::StoreReceiver receiver;
        // One second per object keeps the dialog up long enough to be read.
        QVERIFY(receiver.start(QStringLiteral("RECEIVER"), {QStringLiteral("--sleep-during"), QStringLiteral("1")}));
        pacs::PacsServer other = loopbackServer(fixtures::freeLoopbackPort());
        other.description = QStringLiteral("Другой");
        configure({other, loopbackServer(receiver.port())});

        QTemporaryDir dir;
        MainWindow w;
        w.show();
        const QString uid = addStudy(w.database(), dir.path());
        QVERIFY(!uid.isEmpty());
        std::unique_ptr<fixtures::ChangeBeforeValues> changing;
        if (replaced) {
            fixtures::SeriesLayout another;
            another.rows = another.columns = 16;
            const QString other =
                fixtures::writeSlice(QDir(dir.path()).filePath(QStringLiteral("other.dcm")), another, 0);
            const QString listed = w.database()->studyFilePaths(uid).first();
            const QByteArray own = fixtures::readFile(listed);
            changing = std::make_unique<fixtures::ChangeBeforeValues>(listed, [=] {
                QVERIFY(change == QLatin1String("own half")
                            ? fixtures::replaceFileBytes(listed, own.left(own.size() / 2))
                            : fixtures::renameOver(other, listed));
            });
        }

        QString label;
        QString buttonText;
        int maximum = -1;
        int highest = -1;
        bool hiddenSeen = false;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        answer.setDialogHandler([&](QDialog* d) {
            auto* progress = qobject_cast<QProgressDialog*>(d);
            if (!progress)
                return true;
            label = progress->labelText();
            maximum = progress->maximum();
            highest = std::max(highest, progress->value());
            if (auto* button = progress->findChild<QPushButton*>())
                buttonText = button->text();
            if (hide && !hiddenSeen) {
                hiddenSeen = true;
                progress->findChild<QPushButton*>()->click();
            }
            return false;
        });
        fixtures::PopupMenuAnswer popup(1);
        w.sendStudyToPacs(uid);
        auto* progress = w.findChild<QProgressDialog*>(QStringLiteral("pacsSendProgress"));
        QVERIFY(progress);
        QVERIFY(progress->isModal() || progress->windowModality() == Qt::WindowModal);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().contains(Title), 30000);
        if (replaced) {
            QVERIFY(changing->happened());
            const QString told = answer.texts().last();
            const bool own = change == QLatin1String("own half");
            // Told as what it is, with its count: changed, or another image.
            QVERIFY2(told.startsWith(QStringLiteral("Исследование отправлено на 127.0.0.1 не полностью.")) &&
                         told.contains(QStringLiteral("не те снимки")) != own &&
                         told.contains(QStringLiteral("изменившихся во время отправки")) == own &&
                         told.contains(QStringLiteral(": 1. Эти файлы не отправлены")),
                     qPrintable(told));
        } else {
            QCOMPARE(answer.texts().last(), QStringLiteral("Исследование успешно отправлено на 127.0.0.1."));
        }
        QCOMPARE(label, QStringLiteral("Отправка на 127.0.0.1…"));
        QCOMPARE(buttonText, QStringLiteral("Скрыть"));
        QCOMPARE(maximum, 4);
        if (hide) {
            // After "Скрыть" the dialog stays hidden: the handler saw it once, at value 0.
            QVERIFY(hiddenSeen);
            QCOMPARE(highest, 0);
        } else {
            QVERIFY2(highest >= 1, qPrintable(QString::number(highest)));
        }
        QCOMPARE(receiver.files().size(), replaced ? 3 : 4);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QFutureWatcher<bool>*>(), 30000);
    }

    void pacsDownloadDialogSendsAnIndexedStudy()
    {
        // The archive answers the search; the study is indexed here already, so it goes at once.
        QTemporaryDir dir;
        MainWindow w;
        peers::QrArchive archive;
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 16;
        layout.slices = 2;
        const QStringList stored = archive.add(layout);
        QVERIFY(!stored.isEmpty() && archive.start());
        QVERIFY(fixtures::indexFiles(*w.database(), stored));
        peers::StoreReceiver receiver;
        QVERIFY(receiver.start(QStringLiteral("RECEIVER")));
        configure({archive.server(0, QStringLiteral("Архив")), loopbackServer(receiver.port())});

        PacsDownloadDialog dialog(w.database());
        dialog.show();
        for (int i = 0; i < dialog.serverList()->count(); ++i)
            dialog.serverList()->item(i)->setCheckState(i == 0 ? Qt::Checked : Qt::Unchecked);
        QTest::mouseClick(dialog.findButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isSearching(); }, 30000));
        QTableWidget* results = dialog.resultsTable();
        QCOMPARE(results->rowCount(), 1);

        fixtures::ModalAnswer answer(QMessageBox::Ok);
        answer.setDialogHandler([](QDialog* d) { return !qobject_cast<QProgressDialog*>(d); });
        fixtures::PopupMenuAnswer popup(QList<int>{3, 1});
        emit results->customContextMenuRequested(results->visualItemRect(results->item(0, 0)).center());
        QCOMPARE(popup.shown, 2);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().contains(Title), 30000);
        QCOMPARE(answer.texts(), QStringList{QStringLiteral("Исследование успешно отправлено на 127.0.0.1.")});
        QCOMPARE(receiver.files().size(), 2);
    }

    void refusals_data()
    {
        QTest::addColumn<bool>("emptyStudy");
        QTest::addColumn<QString>("box");
        QTest::newRow("unreachable") << false
                                     << QStringLiteral("Не удалось полностью отправить исследование на 127.0.0.1 — "
                                                       "проверьте настройки сервера и соединение.");
        QTest::newRow("no files") << true << QStringLiteral("В исследовании не найдено файлов.");
    }

    void refusals()
    {
        QFETCH(bool, emptyStudy);
        QFETCH(QString, box);
        configure({loopbackServer(fixtures::freeLoopbackPort())}); // nobody listens there

        QTemporaryDir dir;
        MainWindow w;
        const QString uid = emptyStudy ? QStringLiteral("1.2.3.4.5.404") : addStudy(w.database(), dir.path());
        QVERIFY(!uid.isEmpty());
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        answer.setDialogHandler([](QDialog* d) { return !qobject_cast<QProgressDialog*>(d); });
        fixtures::PopupMenuAnswer popup(0);
        w.sendStudyToPacs(uid);
        QTRY_VERIFY_WITH_TIMEOUT(answer.titles().contains(Title), 30000);
        QCOMPARE(answer.texts(), QStringList{box});
        QTRY_VERIFY_WITH_TIMEOUT(!w.findChild<QProgressDialog*>(), 30000);
    }
};

QTEST_MAIN(TestPacsSend)
#include "tst_pacssend.moc"
