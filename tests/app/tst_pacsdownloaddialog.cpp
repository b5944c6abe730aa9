// The PACS search and download dialog against real peers on loopback: two dcmqrscp archives with
// different studies and a scripted C-FIND server that answers slowly. Searches run without freezing
// the window and merge every server's rows; the three download modes leave the index and the
// folders as they should; settings and column widths persist.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "support/TestBench.h"
#include "support/ModalAnswer.h"
#include "app/MainWindow.h"
#include "app/ModalityFilterButton.h"
#include "app/PacsDownloadDialog.h"
#include "app/PacsViewerHooks.h"
#include "db/Database.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/StorageListener.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QThreadPool>
#include <QtTest>

#include <optional>

using namespace pacs;

namespace {

constexpr const char* kOurAe = "KALVDLG";

bool allGone()
{
    return QTest::qWaitFor(
        [] { return PacsRetrieveSession::liveSessions() == 0 && StorageListenerPool::runningThreads() == 0; }, 30000);
}

int instancesOf(db::Database* index, const QString& studyUid)
{
    int n = 0;
    for (const db::SeriesRecord& s : index->seriesForStudy(studyUid))
        n += static_cast<int>(index->instancesForSeries(s.seriesInstanceUid).size());
    return n;
}

int rowOf(QTableWidget* table, const QString& studyUid, const QString& serverLabel = {})
{
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 0)->data(Qt::UserRole).toString() == studyUid
            && (serverLabel.isEmpty() || table->item(r, 8)->text() == serverLabel))
            return r;
    return -1;
}

} // namespace

class TestPacsDownloadDialog : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private:
    QTemporaryDir m_work;
    peers::QrArchive m_first;  // C-GET
    peers::QrArchive m_second; // C-MOVE
    peers::ScriptedScp m_slow; // C-FIND only, slow
    quint16 m_listenPort = 0;
    quint16 m_deadPort = 0;
    std::unique_ptr<MainWindow> m_list;
    db::Database* m_index = nullptr;
    fixtures::SeriesLayout m_a1, m_a2, m_b1, m_shared;

    PacsConfig config(const QList<PacsServer>& servers) const
    {
        return peers::localConfig(m_listenPort, kOurAe, servers);
    }
    QList<PacsServer> allServers() const
    {
        return {m_first.server(1, QStringLiteral("Первый")), m_second.server(0, QStringLiteral("Второй")),
                peers::at(m_slow.port(), QStringLiteral("SCRIPTED"), 1, QStringLiteral("Медленный")),
                peers::at(m_deadPort, QStringLiteral("NOBODY"), 1)};
    }
    void forget(const QString& uid)
    {
        if (m_index->studyExists(uid))
            QVERIFY(m_index->deleteStudy(uid));
        QDir(QDir(pacsDownloadsRoot()).filePath(uid)).removeRecursively();
    }
    // Ticks exactly the servers named by position and searches; returns once every server answered.
    void search(PacsDownloadDialog& dialog, const QList<int>& ticked)
    {
        for (int i = 0; i < dialog.serverList()->count(); ++i)
            dialog.serverList()->item(i)->setCheckState(ticked.contains(i) ? Qt::Checked : Qt::Unchecked);
        QTest::mouseClick(dialog.findButton(), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isSearching(); }, 30000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        m_listenPort = fixtures::freeLoopbackPort();
        m_deadPort = fixtures::freeLoopbackPort();
        m_second.addMoveDestination(QString::fromLatin1(kOurAe), m_listenPort);

        auto make = [](fixtures::SeriesLayout& layout, const QString& patient, const QString& date, const QString& modality, int slices) {
            layout.patientName = patient;
            layout.patientId = patient.left(4).toUpper();
            layout.studyDate = date;
            layout.modality = modality;
            layout.slices = slices;
            layout.studyDescription = QStringLiteral("Исследование %1").arg(patient);
            layout.specificCharacterSet = QStringLiteral("ISO_IR 192");
        };
        make(m_a1, QStringLiteral("Test^Alpha"), QStringLiteral("20240301"), QStringLiteral("CT"), 3);
        make(m_a2, QStringLiteral("Other^Beta"), QStringLiteral("20230115"), QStringLiteral("MR"), 2);
        make(m_b1, QStringLiteral("Test^Gamma"), QStringLiteral("20240520"), QStringLiteral("CT"), 4);
        make(m_shared, QStringLiteral("Test^Shared"), QStringLiteral("20220707"), QStringLiteral("CT"), 2);
        QVERIFY(!m_first.add(m_a1).isEmpty());
        QVERIFY(!m_first.add(m_a2).isEmpty());
        QVERIFY(!m_first.add(m_shared).isEmpty());
        QVERIFY(!m_second.add(m_b1).isEmpty());
        QVERIFY(!m_second.add(m_shared).isEmpty());
        QVERIFY(m_first.start());
        QVERIFY(m_second.start());

        // The slow server answers one study, without counts, after a pause.
        auto row = std::make_unique<DcmDataset>();
        row->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        row->putAndInsertString(DCM_PatientName, "Test^Slow");
        row->putAndInsertString(DCM_PatientID, "SLOW");
        row->putAndInsertString(DCM_StudyDate, "20210101");
        row->putAndInsertString(DCM_StudyTime, "0930");
        row->putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.99.1");
        row->putAndInsertString(DCM_ModalitiesInStudy, "US");
        row->putAndInsertString(DCM_NumberOfStudyRelatedInstances, "12");
        m_slow.findRows.push_back(std::move(row));
        auto small = std::make_unique<DcmDataset>();
        small->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        small->putAndInsertString(DCM_PatientName, "Test^Small");
        small->putAndInsertString(DCM_StudyDate, "20200101");
        small->putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.99.2");
        small->putAndInsertString(DCM_NumberOfStudyRelatedSeries, "1");
        small->putAndInsertString(DCM_NumberOfStudyRelatedInstances, "9");
        m_slow.findRows.push_back(std::move(small));
        m_slow.stallMs = 1500;
        QVERIFY(m_slow.start());

        savePacsConfig(config(allServers()));
        m_list = std::make_unique<MainWindow>();
        m_index = m_list->database();
        installPacsViewerHooks();
    }

    void cleanupTestCase()
    {
        m_list.reset();
        QVERIFY(allGone());
    }

    void init()
    {
        PacsDownloadDialog::lastSearchResults().clear();
        QSettings().remove(QStringLiteral("pacsDialog"));
        QSettings().remove(QStringLiteral("pacsDownloadDialog"));
        savePacsConfig(config(allServers()));
    }

    void cleanup()
    {
        QVERIFY(allGone());
    }

    void serversListedAndSingleServerTicked()
    {
        {
            PacsDownloadDialog dialog(m_index);
            QCOMPARE(dialog.windowTitle(), QStringLiteral("Поиск и загрузка исследований с PACS"));
            QCOMPARE(dialog.serverList()->count(), 4);
            QCOMPARE(dialog.serverList()->item(0)->text(), QStringLiteral("Первый — C-GET"));
            QCOMPARE(dialog.serverList()->item(1)->text(), QStringLiteral("Второй — C-MOVE"));
            QCOMPARE(dialog.serverList()->item(3)->text(), QStringLiteral("127.0.0.1:%1 (NOBODY) — C-GET").arg(m_deadPort));
            for (int i = 0; i < 4; ++i)
                QCOMPARE(dialog.serverList()->item(i)->checkState(), Qt::Unchecked);
            dialog.selectAllServers()->setChecked(true);
            for (int i = 0; i < 4; ++i)
                QCOMPARE(dialog.serverList()->item(i)->checkState(), Qt::Checked);
            QCOMPARE(dialog.statusLabel()->text(), QStringLiteral("Готово"));
            fixtures::ModalAnswer answer;
            dialog.selectAllServers()->setChecked(false);
            QTest::mouseClick(dialog.findButton(), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(answer.texts(), QStringList{QStringLiteral("Отметьте хотя бы один сервер.")}, 30000);
        }
        savePacsConfig(config({m_first.server(1, QStringLiteral("Первый"))}));
        {
            PacsDownloadDialog dialog(m_index);
            QCOMPARE(dialog.serverList()->item(0)->checkState(), Qt::Checked);
        }
        savePacsConfig(config({}));
        {
            PacsDownloadDialog dialog(m_index);
            QCOMPARE(dialog.statusLabel()->text(),
                     QStringLiteral("Список серверов пуст — сначала добавьте сервер в «PACS… → Конфигурация»."));
            QVERIFY(!dialog.findButton()->isEnabled());
            QVERIFY(!dialog.downloadButton()->isEnabled());
        }
    }

    void searchMergesServersWithoutFreezing()
    {
        PacsDownloadDialog dialog(m_index);
        dialog.show();
        dialog.patientNameEdit()->setText(QStringLiteral(" Test "));
        // A timer keeps ticking while the servers are asked: the window is not blocked.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(50);
        fixtures::ModalAnswer answer;
        dialog.selectAllServers()->setChecked(true);
        QTest::mouseClick(dialog.findButton(), Qt::LeftButton);
        QVERIFY(dialog.isSearching());
        QVERIFY(dialog.busyBar()->isVisible());
        QVERIFY(!dialog.findButton()->isEnabled());
        // The fast archives' rows show while the slow server is still thinking.
        QVERIFY(QTest::qWaitFor([&] { return dialog.resultsTable()->rowCount() >= 4; }, 10000));
        QVERIFY(dialog.isSearching());
        QVERIFY(QTest::qWaitFor([&] { return !dialog.isSearching(); }, 30000));
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QCOMPARE(dialog.lastQuery().patientName, QStringLiteral("*Test*"));
        std::unique_ptr<DcmDataset> sent = m_slow.lastQuery();
        QVERIFY(sent);
        OFString name;
        sent->findAndGetOFString(DCM_PatientName, name);
        QCOMPARE(QString::fromLatin1(name.c_str()), QStringLiteral("*Test*"));

        // a1, shared (first), b1, shared (second), the slow server's two; Other^Beta does not match.
        QTableWidget* table = dialog.resultsTable();
        QCOMPARE(table->rowCount(), 6);
        QCOMPARE(dialog.statusLabel()->text(),
                 QStringLiteral("Найдено исследований: 6 (по 4 серверам) — список неполный"));
        QVERIFY(!dialog.busyBar()->isVisible());
        QVERIFY(dialog.findButton()->isEnabled());
        // The dead server's failure stands next to the others' rows, without a box.
        QVERIFY(dialog.searchProblemsLabel()->text().startsWith(QStringLiteral("Поиск не удался — 127.0.0.1: ")));
        QCOMPARE(answer.count(), 0);
        QVERIFY(rowOf(table, m_shared.studyUid, QStringLiteral("Первый")) >= 0);
        QVERIFY(rowOf(table, m_shared.studyUid, QStringLiteral("Второй")) >= 0);
        // Newest first; the date column reads year to seconds.
        QCOMPARE(table->item(0, 0)->data(Qt::UserRole).toString(), m_b1.studyUid);
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("2024-05-20 10:15:00"));
        const int slow = rowOf(table, QStringLiteral("1.2.826.0.1.99.1"));
        QCOMPARE(table->item(slow, 2)->text(), QStringLiteral("2021-01-01"));
        // A count the server leaves out shows "?".
        QCOMPARE(table->item(slow, 5)->text(), QStringLiteral("?"));
        QCOMPARE(table->item(slow, 6)->text(), QStringLiteral("12"));
        QCOMPARE(table->item(slow, 8)->text(), QStringLiteral("Медленный"));
        QCOMPARE(table->item(rowOf(table, m_b1.studyUid), 0)->data(Qt::UserRole + 1).toInt(), 1);
        // Counts sort as numbers: 9 before 12.
        table->sortItems(6, Qt::AscendingOrder);
        QVERIFY(rowOf(table, QStringLiteral("1.2.826.0.1.99.2")) < rowOf(table, QStringLiteral("1.2.826.0.1.99.1")));
        table->sortItems(6, Qt::DescendingOrder);
        QVERIFY(rowOf(table, QStringLiteral("1.2.826.0.1.99.2")) > rowOf(table, QStringLiteral("1.2.826.0.1.99.1")));
        QCOMPARE(PacsDownloadDialog::lastSearchResults().size(), 6);

        table->sortItems(2, Qt::DescendingOrder);
        table->selectRow(0);
        dialog.resize(1000, 560);
    }

    void closedDuringSearch_data()
    {
        QTest::addColumn<bool>("keepsAnswering");
        QTest::newRow("a server slow to answer") << false;
        // Its answers would go on for minutes: the search is abandoned, and the program could end at once.
        QTest::newRow("a server that keeps answering") << true;
    }

    void closedDuringSearch()
    {
        QFETCH(bool, keepsAnswering);
        peers::ScriptedScp endless;
        if (keepsAnswering) {
            for (int i = 0; i < 10000; ++i) {
                auto row = std::make_unique<DcmDataset>();
                row->putAndInsertString(DCM_StudyInstanceUID, QStringLiteral("1.2.826.0.1.98.%1").arg(i).toLatin1());
                endless.findRows.push_back(std::move(row));
            }
            endless.findRowPauseMs = 20;
            QVERIFY(endless.start());
            savePacsConfig(config(QList<PacsServer>{peers::at(endless.port(), QStringLiteral("SCRIPTED"), 1)}));
        }
        auto* dialog = new PacsDownloadDialog(m_index);
        for (int i = 0; i < dialog->serverList()->count(); ++i)
            dialog->serverList()->item(i)->setCheckState(i == (keepsAnswering ? 0 : 2) ? Qt::Checked : Qt::Unchecked);
        QTest::mouseClick(dialog->findButton(), Qt::LeftButton);
        QVERIFY(dialog->isSearching());
        if (keepsAnswering)
            QVERIFY(QTest::qWaitFor([&] { return endless.findRowsSent() > 0; }, 30000));
        delete dialog;
        // The answer comes to nobody: wait for the search itself to end, then for its delivery.
        QVERIFY(QThreadPool::globalInstance()->waitForDone(keepsAnswering ? 3000 : 60000));
        QCoreApplication::processEvents();
        QVERIFY(PacsDownloadDialog::lastSearchResults().isEmpty());
        // Abandoned, not released after the last answer.
        QCOMPARE(endless.releasesReceived(), 0);
    }

    // A search that failed never reads as one that found nothing, and a list a server cut short, or
    // that lacks the answer of a server that failed, says so next to the count.
    void searchProblems_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("finalStatus");
        QTest::addColumn<int>("abortAfter");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<bool>("alsoDeadServer");
        QTest::addColumn<QString>("status");    // what the status line starts with
        QTest::addColumn<QStringList>("notes"); // what the problem lines hold
        QTest::addColumn<bool>("box");
        QTest::addColumn<int>("shownRows");
        const QString failed = QStringLiteral("Поиск не удался — Скрипт: ");
        const QString cut = QStringLiteral("Найдено исследований: %1 (по %2 серверам) — список неполный");
        QTest::newRow("refused port") << -1 << 0 << -1 << 0 << false
                                      << QStringLiteral("Поиск не удался — Мёртвый: подключение отклонено")
                                      << QStringList() << true << 0;
        QTest::newRow("stalled search")
            << 2 << 0 << -1 << 4000 << false << failed + QStringLiteral("сервер не ответил за 1 с")
            << QStringList() << true << 0;
        QTest::newRow("refusal status") << 0 << 0xA700 << -1 << 0 << false << failed + QStringLiteral("Сервер отказал")
                                        << QStringList() << true << 0;
        QTest::newRow("abort after 3 answers")
            << 5 << 0 << 3 << 0 << false << cut.arg(3).arg(1)
            << QStringList{pacs::incompleteSearchText(3), QStringLiteral("прервал")} << false << 3;
        QTest::newRow("cancel status after matches")
            << 4 << 0xFE00 << -1 << 0 << false << cut.arg(4).arg(1)
            << QStringList{QStringLiteral("Скрипт: ") + pacs::incompleteSearchText(4),
                           QStringLiteral("0xFE00")}
            << false << 4;
        QTest::newRow("one of two servers failed")
            << 2 << 0 << -1 << 0 << true << cut.arg(2).arg(2)
            << QStringList{QStringLiteral("Поиск не удался — Мёртвый: ")} << false << 2;
        QTest::newRow("nothing found, other server failed")
            << 0 << 0 << -1 << 0 << true << QStringLiteral("Ничего не найдено на серверах, которые ответили.")
            << QStringList{QStringLiteral("Поиск не удался — Мёртвый: ")} << true << 0;
    }

    void searchProblems()
    {
        QFETCH(int, rows);
        QFETCH(int, finalStatus);
        QFETCH(int, abortAfter);
        QFETCH(int, stallMs);
        QFETCH(bool, alsoDeadServer);
        QFETCH(QString, status);
        QFETCH(QStringList, notes);
        QFETCH(bool, box);
        QFETCH(int, shownRows);
        const pacs::NetworkTimeouts saved = pacs::networkTimeouts();
        pacs::setNetworkTimeouts({5, 5, 1});
        auto restore = qScopeGuard([&] { pacs::setNetworkTimeouts(saved); });
        peers::ScriptedScp scp;
        for (int i = 0; i < rows; ++i) {
            auto row = std::make_unique<DcmDataset>();
            row->putAndInsertString(DCM_PatientName, "Test^Cut");
            row->putAndInsertString(DCM_StudyInstanceUID,
                                    QByteArray("1.2.826.0.1.98.").append(QByteArray::number(i)).constData());
            scp.findRows.push_back(std::move(row));
        }
        scp.findFinalStatus = Uint16(finalStatus);
        scp.findAbortAfter = abortAfter;
        scp.stallMs = stallMs;
        QList<PacsServer> servers;
        if (rows >= 0) {
            QVERIFY(scp.start());
            servers << peers::at(scp.port(), QStringLiteral("SCRIPTED"), 1, QStringLiteral("Скрипт"));
        }
        if (rows < 0 || alsoDeadServer)
            servers << peers::at(m_deadPort, QStringLiteral("NOBODY"), 1, QStringLiteral("Мёртвый"));
        savePacsConfig(config(servers));
        PacsDownloadDialog dialog(m_index);
        fixtures::ModalAnswer answer;
        QList<int> all;
        for (int i = 0; i < servers.size(); ++i)
            all << i;
        search(dialog, all);
        const QString shown = dialog.statusLabel()->text();
        QVERIFY2(shown.startsWith(status), qPrintable(shown));
        QVERIFY2(!shown.contains(QStringLiteral("Ничего не найдено.")), qPrintable(shown));
        QCOMPARE(dialog.searchProblemsLabel()->isVisibleTo(&dialog), !notes.isEmpty());
        for (const QString& note : notes)
            QVERIFY2(dialog.searchProblemsLabel()->text().contains(note),
                     qPrintable(dialog.searchProblemsLabel()->text()));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), box ? 1 : 0, 30000);
        QCOMPARE(dialog.resultsTable()->rowCount(), shownRows);
    }

    void filtersGoIntoTheQuery_data()
    {
        QTest::addColumn<int>("period");
        QTest::addColumn<QStringList>("modalities");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sentName");
        QTest::addColumn<int>("rows");
        // An empty name goes out as the universal match.
        const QString any = QStringLiteral("*");
        QTest::newRow("any") << 0 << QStringList() << QString() << any << 3;
        QTest::newRow("two modalities") << 0 << QStringList{QStringLiteral("CT"), QStringLiteral("MR")} << QString() << any << 3;
        QTest::newRow("wildcard as typed") << 0 << QStringList() << QStringLiteral("Oth?r*") << QStringLiteral("Oth?r*") << 1;
        QTest::newRow("range") << 5 << QStringList() << QString() << any << 1;
        QTest::newRow("exact day") << 6 << QStringList() << QString() << any << 1;
    }

    void filtersGoIntoTheQuery()
    {
        QFETCH(int, period);
        QFETCH(QStringList, modalities);
        QFETCH(QString, name);
        QFETCH(QString, sentName);
        QFETCH(int, rows);
        PacsDownloadDialog dialog(m_index);
        dialog.modalityButton()->setSelectedModalities(modalities);
        dialog.patientNameEdit()->setText(name);
        dialog.periodCombo()->setCurrentIndex(period);
        QCOMPARE(dialog.dateFromEdit()->isEnabled(), period == 5 || period == 6);
        QCOMPARE(dialog.dateToEdit()->isEnabled(), period == 5);
        dialog.dateFromEdit()->setDate(period == 6 ? QDate(2024, 3, 1) : QDate(2024, 1, 1));
        dialog.dateToEdit()->setDate(QDate(2024, 3, 31));
        search(dialog, {0, 2});
        // The first archive's studies (the scripted server answers the same two whatever is asked).
        QCOMPARE(dialog.resultsTable()->rowCount(), rows + 2);
        std::unique_ptr<DcmDataset> sent = m_slow.lastQuery();
        QVERIFY(sent);
        OFString value;
        sent->findAndGetOFStringArray(DCM_ModalitiesInStudy, value);
        QCOMPARE(QString::fromLatin1(value.c_str()), modalities.join(QLatin1Char('\\')));
        sent->findAndGetOFString(DCM_PatientName, value);
        QCOMPARE(QString::fromLatin1(value.c_str()), sentName);
        sent->findAndGetOFString(DCM_StudyDate, value);
        const QString expectedDate = period == 5 ? QStringLiteral("20240101-20240331")
                                     : period == 6 ? QStringLiteral("20240301-20240301") : QString();
        QCOMPARE(QString::fromLatin1(value.c_str()), expectedDate);
    }

    void dateRangesAndTexts()
    {
        PacsDownloadDialog dialog(m_index);
        const QDate today = QDate::currentDate();
        const QString f = QStringLiteral("yyyyMMdd");
        const std::pair<QString, QString> expected[] = {
            {},
            {today.toString(f), today.toString(f)},
            {today.addDays(-1).toString(f), today.addDays(-1).toString(f)},
            {today.addDays(-10).toString(f), today.toString(f)},
            {today.addMonths(-1).toString(f), today.toString(f)},
        };
        for (int i = 0; i < 5; ++i) {
            dialog.periodCombo()->setCurrentIndex(i);
            QCOMPARE(dialog.selectedDateRange(), expected[i]);
        }
    }

    void downloadModes_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("fromSecond");
        // First a download that fails at once (the archive does not know our AE title), its box
        // answered only after the retrieve's thread has ended; then the download proper.
        QTest::addColumn<bool>("failedFirst");
        // Started by the export of the results' menu, which waits for the download: its folder question
        // opens once the retrieve is gone, not inside its end.
        QTest::addColumn<bool>("byExport");
        QTest::newRow("archive by C-GET") << int(PacsDownloadDialog::ToArchive) << false << false << false;
        QTest::newRow("archive by C-MOVE") << int(PacsDownloadDialog::ToArchive) << true << false << false;
        QTest::newRow("open by C-MOVE") << int(PacsDownloadDialog::DownloadAndOpen) << true << false << false;
        QTest::newRow("view only by C-GET") << int(PacsDownloadDialog::ViewOnly) << false << false << false;
        QTest::newRow("view only by C-MOVE") << int(PacsDownloadDialog::ViewOnly) << true << false << false;
        QTest::newRow("archive after a failed one") << int(PacsDownloadDialog::ToArchive) << true << true << false;
        QTest::newRow("open after a failed one") << int(PacsDownloadDialog::DownloadAndOpen) << true << true << false;
        QTest::newRow("export after a failed one") << int(PacsDownloadDialog::ToArchive) << true << true << true;
    }

    void downloadModes()
    {
        QFETCH(int, mode);
        QFETCH(bool, fromSecond);
        QFETCH(bool, failedFirst);
        QFETCH(bool, byExport);
        // The shared study, from the row of the server named.
        forget(m_shared.studyUid);
        PacsDownloadDialog dialog(m_index);
        search(dialog, {0, 1});
        QTableWidget* table = dialog.resultsTable();
        const int row = rowOf(table, m_shared.studyUid, fromSecond ? QStringLiteral("Второй") : QStringLiteral("Первый"));
        QVERIFY(row >= 0);
        table->setCurrentCell(row, 0);
        QPushButton* button = mode == PacsDownloadDialog::ToArchive         ? dialog.downloadButton()
                              : mode == PacsDownloadDialog::DownloadAndOpen ? dialog.downloadOpenButton()
                                                                            : dialog.viewButton();
        const auto start = [&] {
            if (byExport)
                dialog.runStudyAction(table->currentRow(), [](const QString& uid) {
                    MainWindow::s_instance->exportStudiesToArchive({uid});
                });
            else
                QTest::mouseClick(button, Qt::LeftButton);
        };
        if (failedFirst) {
            savePacsConfig(peers::localConfig(m_listenPort, "KALVNONE", allServers()));
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            // Answered the turn after the retrieve's thread was seen to end: whatever that end let go
            // of has gone by then.
            bool threadEnded = false;
            answer.setBoxHandler([&](QMessageBox*) {
                return std::exchange(threadEnded, !PacsRetrieveSession::isReceiving(m_shared.studyUid));
            });
            QSignalSpy failed(dialog.coordinator(), &PacsOpenCoordinator::finished);
            start();
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Скачивание")});
            QCOMPARE(answer.loopLevels(), QList<int>{0});
            QCOMPARE(failed.size(), 1);
            QVERIFY(!failed.first().at(0).toBool());
            QVERIFY(dialog.findButton()->isEnabled());
            QVERIFY(allGone());
            savePacsConfig(config(allServers()));
            table->setCurrentCell(rowOf(table, m_shared.studyUid, QStringLiteral("Второй")), 0);
        }
        QSignalSpy imported(&dialog, &PacsDownloadDialog::studiesImported);
        QSignalSpy finished(dialog.coordinator(), &PacsOpenCoordinator::finished);
        QList<QPointer<ViewerWindow>> viewers;
        connect(dialog.coordinator(), &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) { viewers << v; });
        // The export's folder question, left unanswered; whether a retrieve still held the study as it
        // opened (inside the retrieve's end, it does).
        std::optional<fixtures::ModalAnswer> noFolder;
        QList<bool> receivingAtQuestion;
        if (byExport) {
            noFolder.emplace(QMessageBox::Cancel, QDialog::Rejected);
            noFolder->setShowHandler(
                [&](QWidget*) { receivingAtQuestion << PacsRetrieveSession::isReceiving(m_shared.studyUid); });
        }
        start();
        QVERIFY(!dialog.findButton()->isEnabled());
        QVERIFY(dialog.statusLabel()->text().endsWith(fromSecond ? QStringLiteral("(C-MOVE)…") : QStringLiteral("(C-GET)…")));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QVERIFY(dialog.findButton()->isEnabled());
        QVERIFY(!dialog.busyBar()->isVisible());

        const bool viewOnly = mode == PacsDownloadDialog::ViewOnly;
        const QString folder = QDir(viewOnly ? viewOnlyRoot() : pacsDownloadsRoot()).filePath(m_shared.studyUid);
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 2);
        QCOMPARE(instancesOf(m_index, m_shared.studyUid), 2);
        QCOMPARE(imported.size(), viewOnly ? 0 : 3);
        QCOMPARE(dialog.statusLabel()->text(),
                 viewOnly ? QStringLiteral("Готово: открыто файлов — 2 (без сохранения в архив)")
                          : QStringLiteral("Готово: скачано и импортировано файлов — 2"));
        QCOMPARE(viewers.size(), mode == PacsDownloadDialog::ToArchive ? 0 : 1);
        if (byExport) {
            QTRY_COMPARE_WITH_TIMEOUT(receivingAtQuestion, QList<bool>{false}, 30000);
            QTRY_COMPARE_WITH_TIMEOUT(noFolder->count(), 1, 30000);
        }
        if (viewers.isEmpty())
            return;
        QVERIFY(viewers.first()->isVisible());
        viewers.first()->close();
        QTRY_VERIFY_WITH_TIMEOUT(viewers.first().isNull(), 30000);
        if (viewOnly) {
            QTRY_VERIFY_WITH_TIMEOUT(!m_index->studyExists(m_shared.studyUid), 30000);
            QVERIFY(!QFileInfo::exists(folder));
        } else {
            QVERIFY(m_index->studyExists(m_shared.studyUid));
        }
    }

    void rowKeepsItsServerWhenTheListChanges()
    {
        forget(m_b1.studyUid);
        {
            PacsDownloadDialog dialog(m_index);
            search(dialog, {1});
            QCOMPARE(dialog.resultsTable()->rowCount(), 2);
        }
        // The servers are reordered and one is removed: the kept results still name the second
        // archive, and downloading uses it.
        QList<PacsServer> servers = allServers();
        savePacsConfig(config({servers.at(3), servers.at(1)}));
        PacsDownloadDialog dialog(m_index);
        QCOMPARE(dialog.statusLabel()->text(), QStringLiteral("Показаны результаты предыдущего поиска — 2"));
        QTableWidget* table = dialog.resultsTable();
        const int row = rowOf(table, m_b1.studyUid);
        QCOMPARE(table->item(row, 8)->text(), QStringLiteral("Второй"));
        table->setCurrentCell(row, 0);
        QSignalSpy finished(dialog.coordinator(), &PacsOpenCoordinator::finished);
        QTest::mouseClick(dialog.downloadButton(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(instancesOf(m_index, m_b1.studyUid), 4);

        // A server no longer configured: "?" and the buttons do nothing.
        savePacsConfig(config({servers.at(3)}));
        PacsDownloadDialog later(m_index);
        const int gone = rowOf(later.resultsTable(), m_b1.studyUid);
        QCOMPARE(later.resultsTable()->item(gone, 8)->text(), QStringLiteral("?"));
        later.resultsTable()->setCurrentCell(gone, 0);
        QTest::mouseClick(later.downloadButton(), Qt::LeftButton);
        QVERIFY(!later.coordinator()->isRunning());
        QVERIFY(later.findButton()->isEnabled());
    }

    void studyActionWaitsForDownload()
    {
        forget(m_a1.studyUid);
        PacsDownloadDialog dialog(m_index);
        search(dialog, {0});
        QStringList ran;
        // Once the retrieve has let go of the study, or the study's exports would refuse it.
        bool receiving = false;
        dialog.runStudyAction(rowOf(dialog.resultsTable(), m_a1.studyUid), [&](const QString& uid) {
            ran << uid;
            receiving = PacsRetrieveSession::isReceiving(uid);
        });
        QVERIFY(ran.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(ran, QStringList{m_a1.studyUid}, 30000);
        QVERIFY(!receiving);
        QVERIFY(m_index->studyExists(m_a1.studyUid));
        // Now indexed: at once.
        dialog.runStudyAction(rowOf(dialog.resultsTable(), m_a1.studyUid), [&](const QString& uid) { ran << uid; });
        QCOMPARE(ran.size(), 2);
    }

    void closedDuringDownload_data()
    {
        QTest::addColumn<int>("mode");
        // The download fails at once, and the dialog is closed while its box is up.
        QTest::addColumn<bool>("failed");
        QTest::newRow("archive") << int(PacsDownloadDialog::ToArchive) << false;
        QTest::newRow("view only") << int(PacsDownloadDialog::ViewOnly) << false;
        QTest::newRow("failed, closed under its box") << int(PacsDownloadDialog::ToArchive) << true;
    }

    void closedDuringDownload()
    {
        QFETCH(int, mode);
        QFETCH(bool, failed);
        forget(m_b1.studyUid);
        auto* dialog = new PacsDownloadDialog(m_index);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        search(*dialog, {1});
        dialog->resultsTable()->setCurrentCell(rowOf(dialog->resultsTable(), m_b1.studyUid), 0);
        QPointer<PacsDownloadDialog> guard(dialog);
        bool threadEnded = false;
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        if (failed) {
            savePacsConfig(peers::localConfig(m_listenPort, "KALVNONE", allServers()));
            answer.setBoxHandler([&](QMessageBox*) {
                if (std::exchange(threadEnded, !PacsRetrieveSession::isReceiving(m_b1.studyUid)) && guard)
                    guard->close();
                return false;
            });
        }
        QTest::mouseClick(mode == PacsDownloadDialog::ToArchive ? dialog->downloadButton() : dialog->viewButton(), Qt::LeftButton);
        if (!failed)
            dialog->close();
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
        QVERIFY(allGone());
        QCOMPARE(StorageListenerPool::runningThreads(), 0);
        if (failed) {
            QTRY_VERIFY_WITH_TIMEOUT(!QApplication::activeModalWidget(), 30000);
            QVERIFY(!m_index->studyExists(m_b1.studyUid));
            savePacsConfig(config(allServers()));
        } else if (mode == PacsDownloadDialog::ToArchive) {
            // The download went on without the window.
            QCOMPARE(instancesOf(m_index, m_b1.studyUid), 4);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!m_index->studyExists(m_b1.studyUid), 30000);
            QVERIFY(!QFileInfo::exists(QDir(viewOnlyRoot()).filePath(m_b1.studyUid)));
        }
    }

    void settingsAndWidthsPersist()
    {
        {
            PacsDownloadDialog dialog(m_index);
            dialog.modalityButton()->setSelectedModalities({QStringLiteral("CT"), QStringLiteral("MR")});
            dialog.periodCombo()->setCurrentIndex(5);
            dialog.dateFromEdit()->setDate(QDate(2020, 2, 3));
            dialog.dateToEdit()->setDate(QDate(2024, 5, 6));
            search(dialog, {0, 2});
            dialog.resultsTable()->setColumnWidth(3, 217);
            dialog.resultsTable()->setColumnWidth(8, 91);
        }
        QSettings().setValue(QStringLiteral("pacsDialog/checkedServerIndices"), QVariantList{0, 2, 17});
        PacsDownloadDialog dialog(m_index);
        QCOMPARE(dialog.serverList()->item(0)->checkState(), Qt::Checked);
        QCOMPARE(dialog.serverList()->item(1)->checkState(), Qt::Unchecked);
        QCOMPARE(dialog.serverList()->item(2)->checkState(), Qt::Checked);
        QCOMPARE(dialog.modalityButton()->selectedModalities(), (QStringList{QStringLiteral("CT"), QStringLiteral("MR")}));
        QCOMPARE(dialog.periodCombo()->currentIndex(), 5);
        QVERIFY(dialog.dateFromEdit()->isEnabled());
        QVERIFY(dialog.dateToEdit()->isEnabled());
        QCOMPARE(dialog.dateFromEdit()->date(), QDate(2020, 2, 3));
        QCOMPARE(dialog.dateToEdit()->date(), QDate(2024, 5, 6));
        QCOMPARE(dialog.resultsTable()->columnWidth(3), 217);
        QCOMPARE(dialog.resultsTable()->columnWidth(8), 91);
    }

    void studyListOpensTheDialog()
    {
        auto* action = m_list->findChild<QAction*>(QStringLiteral("pacsDownloadAction"));
        QVERIFY(action);
        QVERIFY(action->isEnabled());
        m_list->show();
        action->trigger();
        auto* dialog = m_list->findChild<PacsDownloadDialog*>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!m_list->isVisible());
        QPointer<PacsDownloadDialog> guard(dialog);
        QPushButton* back = nullptr;
        for (QPushButton* b : dialog->findChildren<QPushButton*>())
            if (b->text() == QStringLiteral("К локальному архиву"))
                back = b;
        QVERIFY(back);
        QTest::mouseClick(back, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 30000);
        QVERIFY(m_list->isVisible());
    }
};

QTEST_MAIN(TestPacsDownloadDialog)

#include "tst_pacsdownloaddialog.moc"
