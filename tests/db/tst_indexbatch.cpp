// Files indexed a batch at a time: each file written once, a slow disk gathering files into fewer
// batches rather than committing one after another, and a batch waiting out another program's write
// to the index file.

#include "DbTestSupport.h"

#include "db/Database.h"
#include "db/IndexBatch.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>

class TestIndexBatch : public QObject
{
    Q_OBJECT

private slots:
    void slowBatchesGatherMoreFiles_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("batchMs"); // how long writing a batch takes
        QTest::addColumn<int>("batches");
        QTest::addColumn<bool>("endAtOnce"); // the adder asks for its end right after its last file
        // The first batch took longer than the rest took to come: they go as one, not by the count.
        QTest::newRow("slow, 250 files") << 250 << 300 << 2 << false;
        QTest::newRow("slow, 1000 files") << 1000 << 300 << 2 << false;
        // More than one batch holds came meanwhile: they go in batches of the most it holds, not in one
        // that grows with them, and an end asked for meanwhile waits for the last of them.
        const int cap = db::IndexBatch::kLargestBatch;
        const int burst = 5 * cap + 100;
        const int batches = 1 + (burst - db::IndexBatch::kMaxFiles + cap - 1) / cap;
        QTest::newRow("slow, a burst of five batches' files") << burst << 300 << batches << false;
        QTest::newRow("slow, a burst of five batches' files, end asked at once")
            << burst << 300 << batches << true;
    }

    void slowBatchesGatherMoreFiles()
    {
        QFETCH(int, files);
        QFETCH(int, batchMs);
        QFETCH(int, batches);
        QFETCH(bool, endAtOnce);
        QTemporaryDir dir;
        db::Database index;
        QVERIFY2(index.open(dir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(index.lastError()));
        QList<int> sizes;
        QStringList written;
        db::IndexBatch batch(&index, [&](const QList<dicom::DicomFileSummary>& done, const QStringList& errors) {
            sizes << int(done.size());
            for (qsizetype i = 0; i < done.size(); ++i) {
                QVERIFY2(errors.value(i).isEmpty(), qPrintable(errors.value(i)));
                written << done[i].sopInstanceUid;
            }
            QThread::msleep(ulong(batchMs));
        });
        QStringList added;
        for (int i = 0; i < files; ++i) {
            const QString sop = QStringLiteral("1.2.3.%1").arg(i + 1);
            added << sop;
            batch.add(dbtest::makeSummary(QStringLiteral("1.2"), QStringLiteral("1.2.3"), sop, i + 1,
                                          dir.filePath(QStringLiteral("%1.dcm").arg(i + 1))));
        }
        int writtenAtEnd = -1;
        int ends = 0;
        if (endAtOnce)
            batch.flushThen([&] {
                writtenAtEnd = int(written.size());
                ++ends;
            });
        QTRY_VERIFY_WITH_TIMEOUT(batch.isEmpty() && (!endAtOnce || ends > 0), 60000);
        QCOMPARE(written, added);
        QCOMPARE(sizes.size(), batches);
        QCOMPARE(sizes.first(), int(db::IndexBatch::kMaxFiles));
        QVERIFY2(*std::max_element(sizes.cbegin(), sizes.cend()) <= db::IndexBatch::kLargestBatch,
                 qPrintable(QString::number(*std::max_element(sizes.cbegin(), sizes.cend()))));
        if (endAtOnce) {
            QCOMPARE(writtenAtEnd, files);
            QTest::qWait(0);
            QCOMPARE(ends, 1);
        }
        int rows = 0;
        for (const db::SeriesRecord& series : index.seriesForStudy(QStringLiteral("1.2")))
            rows += series.instanceCount;
        QCOMPARE(rows, files);
    }

    // Another connection to the index file (another copy of the program on the same data folder)
    // holds a write for a while: a batch of 100 that comes meanwhile waits for it within the busy
    // time-out, and fails whole, saying why, only when it is held longer.
    void batchWaitsOutAnotherWriter_data()
    {
        QTest::addColumn<int>("holdMs");
        QTest::addColumn<int>("indexed");
        QTest::newRow("held a second") << 1000 << 100;
        QTest::newRow("held past the time-out") << 8000 << 0;
    }
    void batchWaitsOutAnotherWriter()
    {
        QFETCH(int, holdMs);
        QFETCH(int, indexed);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("index.sqlite3"));
        db::Database index;
        QVERIFY2(index.open(path), qPrintable(index.lastError()));
        // A study already there, so that the batch's first statements read rows before they write.
        QVERIFY(index.indexFile(dbtest::makeSummary("1.2", "1.2.3", "1.2.3.0", 1, dir.filePath("0.dcm"))));
        std::atomic_int holding{0}; // 1 while the other connection holds its write, -1 when it failed
        std::thread other([&path, &holding, holdMs] {
            const QString name = QStringLiteral("other_writer");
            {
                QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                d.setDatabaseName(path);
                QSqlQuery q(d.open() ? d : QSqlDatabase());
                const bool ok = q.exec(QStringLiteral("BEGIN IMMEDIATE"))
                    && q.exec(QStringLiteral("INSERT INTO unfinished_edits (study_instance_uid) VALUES ('9.9')"));
                holding = ok ? 1 : -1;
                QThread::msleep(ulong(holdMs));
                q.exec(QStringLiteral("COMMIT"));
                holding = 0;
                q.finish();
                d.close();
            }
            QSqlDatabase::removeDatabase(name);
        });
        const auto joinOther = qScopeGuard([&other] {
            if (other.joinable())
                other.join();
        });
        QVERIFY(QTest::qWaitFor([&holding] { return holding.load() != 0; }, 30000));
        QCOMPARE(holding.load(), 1);
        QStringList errors;
        db::IndexBatch batch(&index, [&errors](const QList<dicom::DicomFileSummary>&, const QStringList& e) { errors += e; });
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= 100; ++i)
            batch.add(dbtest::makeSummary("1.2", "1.2.3", QStringLiteral("1.2.3.%1").arg(i), i,
                                          dir.filePath(QStringLiteral("%1.dcm").arg(i))));
        QCOMPARE(errors.size(), 100); // written at the hundredth, at once
        const qint64 took = clock.elapsed();
        QCOMPARE(int(errors.count(QString())), indexed);
        if (indexed == 0)
            QVERIFY2(errors.first().contains(QStringLiteral("занята другой программой")), qPrintable(errors.first()));
        else
            QVERIFY2(took < 8000, qPrintable(QString::number(took)));
        int rows = 0;
        for (const db::SeriesRecord& series : index.seriesForStudy(QStringLiteral("1.2")))
            rows += series.instanceCount;
        QCOMPARE(rows, 1 + indexed);
    }
};

QTEST_GUILESS_MAIN(TestIndexBatch)
#include "tst_indexbatch.moc"
