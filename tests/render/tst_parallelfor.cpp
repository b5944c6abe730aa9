#include "render/ParallelFor.h"

#include <QtTest>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

using Range = std::pair<int, int>;

class TestParallelFor : public QObject
{
    Q_OBJECT

private slots:
    void threadCountRule_data()
    {
        QTest::addColumn<unsigned>("reported");
        QTest::addColumn<int>("expected");
        QTest::newRow("unknown counts as four") << 0u << 4;
        QTest::newRow("one") << 1u << 1;
        QTest::newRow("sixteen") << 16u << 16;
        QTest::newRow("thirty-two capped") << 32u << 16;
    }
    void threadCountRule()
    {
        QFETCH(unsigned, reported);
        QFETCH(int, expected);
        QCOMPARE(render::workerThreadCountFor(reported), expected);
    }

    void chunks_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("rows");
        QTest::addColumn<std::vector<Range>>("expected");
        QTest::newRow("1 thread inline") << 1 << 100 << std::vector<Range>{{0, 100}};
        QTest::newRow("2 threads, 3 rows inline") << 2 << 3 << std::vector<Range>{{0, 3}};
        QTest::newRow("2 threads, 4 rows") << 2 << 4 << std::vector<Range>{{0, 2}, {2, 4}};
        QTest::newRow("3 threads, 10 rows") << 3 << 10 << std::vector<Range>{{0, 4}, {4, 8}, {8, 10}};
        QTest::newRow("16 threads, 31 rows inline") << 16 << 31 << std::vector<Range>{{0, 31}};
        // ceil(33/16) = 3 leaves the last chunks empty: only 11 threads start.
        std::vector<Range> eleven;
        for (int i = 0; i < 11; ++i)
            eleven.push_back({3 * i, std::min(3 * i + 3, 33)});
        QTest::newRow("16 threads, 33 rows") << 16 << 33 << eleven;
        QTest::newRow("no rows") << 4 << 0 << std::vector<Range>{{0, 0}};
    }
    void chunks()
    {
        QFETCH(int, threads);
        QFETCH(int, rows);
        QFETCH(std::vector<Range>, expected);
        std::mutex m;
        std::vector<Range> seen;
        std::set<std::thread::id> ids;
        const auto caller = std::this_thread::get_id();
        render::parallelForThreads(threads, rows, [&](int b, int e) {
            std::lock_guard<std::mutex> lock(m);
            seen.push_back({b, e});
            ids.insert(std::this_thread::get_id());
        });
        std::sort(seen.begin(), seen.end());
        QCOMPARE(seen, expected);
        if (expected.size() == 1)
            QVERIFY(ids.count(caller) == 1); // small jobs stay on the calling thread
        else
            QCOMPARE(ids.size(), expected.size());
    }

    void everyRowOnceThroughOverride_data()
    {
        QTest::addColumn<int>("threads");
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("16") << 16;
    }
    void everyRowOnceThroughOverride()
    {
        QFETCH(int, threads);
        render::ScopedWorkerThreadCount scope(threads);
        QCOMPARE(render::workerThreadCount(), threads);
        std::vector<std::atomic<int>> hits(1000);
        render::parallelFor(1000, [&](int b, int e) {
            for (int i = b; i < e; ++i)
                hits[size_t(i)].fetch_add(1);
        });
        for (const auto& h : hits)
            QCOMPARE(h.load(), 1);
    }

    void overrideIsRestored()
    {
        const int before = render::workerThreadCount();
        {
            render::ScopedWorkerThreadCount scope(3);
            QCOMPARE(render::workerThreadCount(), 3);
        }
        QCOMPARE(render::workerThreadCount(), before);
    }
};


QTEST_GUILESS_MAIN(TestParallelFor)
#include "tst_parallelfor.moc"
