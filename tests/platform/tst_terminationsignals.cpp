// The system's requests to end reach the program as a Qt signal instead of ending it on the spot,
// and only while the watcher lives.
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using platform::TerminationSignals;

class TestTerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void requestBecomesASignal_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("logout or shutdown") << int(SIGTERM);
        QTest::newRow("terminal closed") << int(SIGHUP);
        QTest::newRow("Ctrl+C") << int(SIGINT);
    }
    void requestBecomesASignal()
    {
        QFETCH(int, number);
        struct sigaction before = {};
        QCOMPARE(::sigaction(number, nullptr, &before), 0);
        {
            TerminationSignals watcher;
            QVERIFY(watcher.isActive());
            QSignalSpy spy(&watcher, &TerminationSignals::terminationRequested);
            QVERIFY(!TerminationSignals::requested());
            QCOMPARE(::raise(number), 0);
            // Known at once, before the event loop has handled its signal: long work of the start
            // ends early on it.
            QVERIFY(TerminationSignals::requested());
            QVERIFY(spy.wait(30000));
            QCOMPARE(spy.size(), 1);
            QCOMPARE(spy.first().first().toInt(), number);
        }
        // Afterwards the handling it had before is back.
        QVERIFY(!TerminationSignals::requested());
        struct sigaction now = {};
        QCOMPARE(::sigaction(number, nullptr, &now), 0);
        QVERIFY(now.sa_handler == before.sa_handler);
    }

    // One watcher at a time: a second one takes nothing over and leaves the first working.
    void secondWatcherStaysInactive()
    {
        TerminationSignals first;
        QSignalSpy spy(&first, &TerminationSignals::terminationRequested);
        {
            TerminationSignals second;
            QVERIFY(!second.isActive());
        }
        QCOMPARE(::raise(SIGTERM), 0);
        QVERIFY(spy.wait(30000));
    }
};

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
