// Files indexed a batch at a time: each file written once, and a slow disk gathering files into
// fewer batches rather than committing one after another.

#include "DbTestSupport.h"

#include "db/Database.h"
#include "db/IndexBatch.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestIndexBatch : public QObject
{
    Q_OBJECT

private slots:
    void slowBatchesGatherMoreFiles_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("batchMs"); // how long writing a batch takes
        QTest::addColumn<int>("batches");
        // The first batch took longer than the rest took to come: they go as one, not by the count.
        QTest::newRow("slow, 250 files") << 250 << 300 << 2;
        QTest::newRow("slow, 1000 files") << 1000 << 300 << 2;
    }

    void slowBatchesGatherMoreFiles()
    {
        QFETCH(int, files);
        QFETCH(int, batchMs);
        QFETCH(int, batches);
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
        QTRY_VERIFY_WITH_TIMEOUT(batch.isEmpty(), 30000);
        QCOMPARE(written, added);
        QCOMPARE(sizes.size(), batches);
        QCOMPARE(sizes.first(), int(db::IndexBatch::kMaxFiles));
        int rows = 0;
        for (const db::SeriesRecord& series : index.seriesForStudy(QStringLiteral("1.2")))
            rows += series.instanceCount;
        QCOMPARE(rows, files);
    }
};

QTEST_GUILESS_MAIN(TestIndexBatch)
#include "tst_indexbatch.moc"
