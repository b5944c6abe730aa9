// What the study list does at start about PACS retrieves that an earlier run did not finish: the
// half-received objects go, and the status line names the studies whose retrieve was cut short.

#include "AppTestSupport.h"
#include "support/TestBench.h"

#include "pacs/PacsRequestChecks.h"
#include "pacs/UnfinishedRetrieves.h"

#include <QApplication>

using fixtures::TestBench;

class TestUnfinishedRetrieves : public QObject
{
    Q_OBJECT
    TestBench m_bench;

private slots:
    void startNamesCutDownloadsAndRemovesHalfReceivedFiles()
    {
        TestBench::reset();
        QString cut, whole;
        {
            db::Database index;
            QDir().mkpath(TestBench::dataPath());
            QVERIFY(index.open(TestBench::dataPath(QStringLiteral("index.sqlite3"))));
            fixtures::SeriesLayout cutLayout = apptest::small();
            cutLayout.patientName = QStringLiteral("Прерванный^Пациент");
            cutLayout.patientId = QStringLiteral("CUT1");
            cutLayout.studyUid = fixtures::newUid();
            cut = apptest::addStudy(&index, QDir(pacs::pacsDownloadsRoot()).filePath(cutLayout.studyUid), cutLayout);
            whole = apptest::addStudy(&index, QDir(pacs::pacsDownloadsRoot()).filePath(QStringLiteral("whole")));
            QVERIFY(!cut.isEmpty() && !whole.isEmpty());
        }
        const QString gone = fixtures::newUid(); // marked, but nothing of it in the index
        QVERIFY(pacs::markRetrieveUnfinished(cut));
        QVERIFY(pacs::markRetrieveUnfinished(gone));
        const QStringList halfReceived{
            QDir(pacs::pacsDownloadsRoot()).filePath(QStringLiteral(".receiving-1.part")),
            QDir(pacs::pacsDownloadsRoot()).filePath(cut + QStringLiteral("/.receiving-2.part")),
            QDir(pacs::pacsDownloadsRoot()).filePath(cut + QStringLiteral("/.writing-3.part")),
            QDir(pacs::viewOnlyRoot()).filePath(QStringLiteral("x/.receiving-4.part")),
        };
        for (const QString& path : halfReceived) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            fixtures::writeBytes(path, QByteArray(1000, 'x'));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        // The killed session's mark, laid when it began: those of the store go with its sweep.
        fixtures::writeBytes(TestBench::dataPath(QStringLiteral("store_sweep_due")), "");
        // Outside the downloads, whose files no row names go at start anyway.
        const QString kept = QDir(pacs::viewOnlyRoot()).filePath(QStringLiteral("x/receiving-notes.part"));
        fixtures::writeBytes(kept, "x");

        MainWindow w;
        QVERIFY2(w.statusText().startsWith(
                     QStringLiteral("Прерванные загрузки с PACS: Прерванный^Пациент (15.01.2024)")),
                 qPrintable(w.statusText()));
        QVERIFY(!w.statusText().contains(whole));
        for (const QString& path : halfReceived)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
        QVERIFY(QFileInfo::exists(kept));
        QCOMPARE(pacs::unfinishedRetrieves(), QStringList{cut});
    }
};

QTEST_MAIN(TestUnfinishedRetrieves)
#include "tst_unfinishedretrieves.moc"
