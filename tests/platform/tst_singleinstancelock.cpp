// The single-instance lock across real processes: this test starts copies of itself that hold it.
#include "platform/SingleInstanceLock.h"
#include "support/SmallFileSystem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <memory>

using platform::SingleInstanceLock;

namespace {

const char kHoldArgument[] = "--hold-single-instance-lock";

QString lockPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QString::fromLatin1(SingleInstanceLock::kDefaultName));
}

void ageFile(const QString& path, int seconds)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-seconds), QFileDevice::FileModificationTime));
}

// A copy of this program that takes the lock and reports whether it got it.
class Holder
{
public:
    Holder()
    {
        process.setProgram(QCoreApplication::applicationFilePath());
        process.setArguments({QString::fromLatin1(kHoldArgument)});
        process.start();
    }
    ~Holder()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    QByteArray firstLine()
    {
        if (!process.waitForReadyRead(30000))
            return QByteArray();
        return process.readLine().trimmed();
    }
    QProcess process;
};

} // namespace

class TestSingleInstanceLock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(lockPath().contains(QStringLiteral("kalvenor-test")));
    }

    void cleanup() { QFile::remove(lockPath()); }

    void firstTakesItAndReleasesIt()
    {
        {
            SingleInstanceLock lock;
            QCOMPARE(lock.filePath(), lockPath());
            QVERIFY(!lock.anotherInstanceRunning());
            QVERIFY(lock.isHeld());
            QVERIFY(QFileInfo::exists(lockPath()));
            QVERIFY(!lock.anotherInstanceRunning()); // asking again keeps it

            SingleInstanceLock second;
            QVERIFY(second.anotherInstanceRunning());
            QVERIFY(!second.isHeld());
            QVERIFY(second.failure().isEmpty()); // held by another copy: nothing failed
        }
        QVERIFY(!QFileInfo::exists(lockPath())); // a clean end leaves nothing behind
    }

    void liveHolderIsNeverTakenOver()
    {
        Holder holder;
        QCOMPARE(holder.firstLine(), QByteArray("HELD"));
        SingleInstanceLock lock;
        QVERIFY(lock.anotherInstanceRunning());
        // However old its file looks, a living holder keeps its lock.
        ageFile(lockPath(), 3600);
        QVERIFY(lock.anotherInstanceRunning());
        QVERIFY(QFileInfo::exists(lockPath()));
        Holder third;
        QCOMPARE(third.firstLine(), QByteArray("RUNNING"));
    }

    void killedHolderDoesNotBlock()
    {
        {
            Holder holder;
            QCOMPARE(holder.firstLine(), QByteArray("HELD"));
            holder.process.kill(); // SIGKILL: no clean-up
            QVERIFY(holder.process.waitForFinished(3000));
        }
        QVERIFY(QFileInfo::exists(lockPath()));
        SingleInstanceLock lock;
        QVERIFY(!lock.anotherInstanceRunning());
        QVERIFY(lock.isHeld());
    }

    void damagedLeftoverDoesNotBlock_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("\x01\x02 not a lock\n");
        // A process id that lives (this test's own) but whose holder is gone: no lock on the file.
        QTest::newRow("reused pid") << QByteArray::number(QCoreApplication::applicationPid()) + "\n" +
                                           QCoreApplication::applicationName().toUtf8() + "\n" + QSysInfo::machineHostName().toUtf8() + "\n";
    }
    void damagedLeftoverDoesNotBlock()
    {
        QFETCH(QByteArray, content);
        QFile file(lockPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        ageFile(lockPath(), 60);
        SingleInstanceLock lock;
        QVERIFY(!lock.anotherInstanceRunning());
        QVERIFY(lock.isHeld());
    }

    void uncreatableLockLetsThisCopyRun_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("inPlace"); // what stands where the name's first part points
        QTest::addColumn<QString>("cause");   // a word of why, as the program names it
        QTest::newRow("missing folder") << "missing/lock" << "" << "нет";
        QTest::newRow("a file for its folder") << "plain/lock" << "file" << "лежит файл";
        QTest::newRow("a folder in its place") << "folder-lock" << "folder" << "лежит другое";
        QTest::newRow("a link to nowhere in its place") << "dangling-lock" << "link" << "лежит другое";
        // Not another copy of the program: the disk has no room.
        QTest::newRow("a full disk") << "full/lock" << "full disk" << "нет места";
    }
    void uncreatableLockLetsThisCopyRun()
    {
        QFETCH(QString, name);
        QFETCH(QString, inPlace);
        QFETCH(QString, cause);
        const QDir runtime(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
        const QString first = runtime.filePath(name.section(QLatin1Char('/'), 0, 0));
        std::unique_ptr<fixtures::SmallFileSystem> disk;
        if (inPlace == "file")
            QVERIFY(QFile(first).open(QIODevice::WriteOnly));
        else if (inPlace == "folder")
            QVERIFY(runtime.mkdir(first));
        else if (inPlace == "link")
            QVERIFY(QFile::link(runtime.filePath(QStringLiteral("nowhere")), first));
        if (inPlace == "full disk") {
            disk = std::make_unique<fixtures::SmallFileSystem>(first, 256 * 1024);
            if (!disk->isMounted())
                QSKIP(qPrintable(disk->why()));
            QVERIFY(disk->fillLeaving(0));
        }
        SingleInstanceLock lock(name);
        // No other copy can hold such a lock: this one goes on as the first, without one, and whatever
        // stands there stays.
        QVERIFY(!lock.anotherInstanceRunning());
        QVERIFY(!lock.isHeld());
        QVERIFY2(lock.failure().contains(cause), qPrintable(lock.failure()));
        const QFileInfo left(first);
        QCOMPARE(left.exists() || left.isSymLink(), !inPlace.isEmpty());
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], kHoldArgument) == 0) {
        QCoreApplication app(argc, argv);
        SingleInstanceLock lock;
        std::printf("%s\n", lock.anotherInstanceRunning() ? "RUNNING" : "HELD");
        std::fflush(stdout);
        for (;;)
            QThread::sleep(1);
    }
    fixtures::enterOwnMountNamespace();
    QCoreApplication app(argc, argv);
    TestSingleInstanceLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstancelock.moc"
