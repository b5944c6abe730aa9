// The disc back end on libburn pseudo-drives (regular files): recorders and their media, a staging
// folder burnt with its Cyrillic names and volume label and read back from the image with libarchive,
// a used medium, a missing folder, and the worker on its own thread reporting to the GUI thread.

#include "support/DiscImageFiles.h"
#include "support/TestFiles.h"
#include "dialogs/DiscBurnWorker.h"
#include "platform/DiscRecording.h"
#include "platform/OpticalDrives.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

// The volume identifier of the primary descriptor (sector 16) and of the Joliet one.
QPair<QString, QString> volumeIds(const QString& image)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QPair<QString, QString> ids;
    for (int sector = 16; sector < 32; ++sector) {
        f.seek(qint64(sector) * 2048);
        const QByteArray d = f.read(2048);
        if (d.size() < 2048 || quint8(d[0]) == 255)
            break;
        if (d[0] == 1)
            ids.first = QString::fromLatin1(d.mid(40, 32)).trimmed();
        if (d[0] == 2 && d.mid(88, 3) == QByteArray("%/E")) {
            QString joliet;
            for (int i = 0; i < 32; i += 2)
                joliet += QChar(ushort((quint8(d[40 + i]) << 8) | quint8(d[41 + i])));
            ids.second = joliet.trimmed();
        }
    }
    return ids;
}

} // namespace

class TestDiscBurn : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root; // a system root without optical drives
    QTemporaryDir m_dir;

    QString stagingFolder()
    {
        const QString staging = m_dir.filePath(QStringLiteral("staging"));
        QDir(staging).removeRecursively();
        fixtures::writeFile(staging + "/DICOM/IMG_000001.dcm", QByteArray(5000, 'd'));
        fixtures::writeFile(staging + "/DICOM/IMG_000002.dcm", QByteArray(300, 'e'));
        fixtures::writeFile(staging + "/portable.marker", QByteArray());
        fixtures::writeFile(staging + QStringLiteral("/ПРОЧТИ.txt"), QStringLiteral("Kalvenor — диск\r\n").toUtf8());
        fixtures::writeFile(staging + "/autorun.inf", "[autorun]\r\nopen=VavovIvirur.exe\r\n");
        return staging;
    }

private slots:
    void initTestCase() { platform::setSystemRoot(m_root.path()); }
    void cleanupTestCase()
    {
        platform::setExtraRecorderAddresses({});
        platform::setSystemRoot(QStringLiteral("/"));
    }

    void recordersAndMedia()
    {
        const QString blank = m_dir.filePath(QStringLiteral("blank.iso"));
        const QString used = m_dir.filePath(QStringLiteral("used.iso"));
        fixtures::writeFile(blank, QByteArray());
        fixtures::writeFile(used, QByteArray(64 * 2048, 'x'));
        QString error = QStringLiteral("untouched");
        platform::setExtraRecorderAddresses({});
        QVERIFY(disc::enumerateRecorders(&error).isEmpty());
        QCOMPARE(error, QStringLiteral("untouched"));

        platform::setExtraRecorderAddresses({"stdio:" + blank, "stdio:/nonexistent-dir/x.iso", "stdio:" + used});
        const QList<disc::RecorderInfo> list = disc::enumerateRecorders(&error);
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0].id, "stdio:" + blank);
        QVERIFY(list[0].hasMedia && list[0].mediaBlank && list[0].freeBytes > 0);
        QCOMPARE(list[1].id, "stdio:" + used);
        QVERIFY(list[1].hasMedia && !list[1].mediaBlank);
        QCOMPARE(list[1].freeBytes, 0);
    }

    void burnAndReadBack()
    {
        const QString image = m_dir.filePath(QStringLiteral("disc.iso"));
        fixtures::writeFile(image, QByteArray());
        const QString label = QStringLiteral("IVANOV_IVAN_12345_ABCDEFGHIJKLMNOPQRSTUV"); // 40 characters
        disc::DiscBurnWorker worker("stdio:" + image, stagingFolder(), label, false);
        QSignalSpy stages(&worker, &disc::DiscBurnWorker::progressChanged);
        QSignalSpy done(&worker, &disc::DiscBurnWorker::finished);
        worker.run();
        QCOMPARE(done.size(), 1);
        QCOMPARE(done[0][1].toString(), QStringLiteral("Диск успешно записан."));
        QVERIFY(done[0][0].toBool());
        QStringList texts;
        for (const auto& s : stages)
            texts << s[0].toString();
        QCOMPARE(texts, (QStringList{"Подключение к приводу…", "Подготовка образа диска…",
                                     "Запись на диск… НЕ ИЗВЛЕКАЙТЕ носитель"}));

        const QMap<QString, QByteArray> files = fixtures::imageFiles(image);
        QCOMPARE(files.keys(), (QStringList{"DICOM/IMG_000001.dcm", "DICOM/IMG_000002.dcm", "autorun.inf",
                                            "portable.marker", QStringLiteral("ПРОЧТИ.txt")}));
        QCOMPARE(files.value("DICOM/IMG_000001.dcm"), QByteArray(5000, 'd'));
        QCOMPARE(files.value(QStringLiteral("ПРОЧТИ.txt")), QStringLiteral("Kalvenor — диск\r\n").toUtf8());
        QCOMPARE(files.value("autorun.inf"), QByteArray("[autorun]\r\nopen=VavovIvirur.exe\r\n"));
        const auto ids = volumeIds(image);
        QCOMPARE(ids.first, label.left(32));
        QCOMPARE(ids.second, label.left(16)); // Joliet keeps 16 UCS-2 characters

        // The medium is closed now: a second burn onto it is refused and leaves it as it was.
        const QByteArray before = [&] { QFile f(image); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        disc::DiscBurnWorker again("stdio:" + image, stagingFolder(), QStringLiteral("X"), false);
        QSignalSpy again_done(&again, &disc::DiscBurnWorker::finished);
        again.run();
        QCOMPARE(again_done.size(), 1);
        QVERIFY(!again_done[0][0].toBool());
        QVERIFY(again_done[0][1].toString().startsWith(QStringLiteral("Ошибка записи на диск (код 0x")));
        QFile f(image);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("folderExists");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("drive gone") << "stdio:/nonexistent-dir/x.iso" << true
                                    << "Выбранный привод недоступен (возможно, был отключён) — код 0x";
        QTest::newRow("no folder") << "" << false << "Не удалось добавить файлы в образ диска (код 0x";
    }

    void failures()
    {
        QFETCH(QString, address);
        QFETCH(bool, folderExists);
        QFETCH(QString, prefix);
        const QString image = m_dir.filePath(QStringLiteral("fail.iso"));
        fixtures::writeFile(image, QByteArray());
        if (address.isEmpty())
            address = "stdio:" + image;
        const QString folder = folderExists ? stagingFolder() : m_dir.filePath(QStringLiteral("missing"));
        disc::DiscBurnWorker worker(address, folder, QStringLiteral("L"), false);
        QSignalSpy done(&worker, &disc::DiscBurnWorker::finished);
        worker.run();
        QCOMPARE(done.size(), 1);
        QVERIFY(!done[0][0].toBool());
        QVERIFY2(done[0][1].toString().startsWith(prefix), qPrintable(done[0][1].toString()));
        QCOMPARE(QFileInfo(image).size(), 0);
    }

    void workerOnItsThread_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("burns") << false;
        // Asked to stop while it connects (as when the program is quit): it stops before the image.
        QTest::newRow("cancelled") << true;
    }

    void workerOnItsThread()
    {
        QFETCH(bool, cancel);
        const QString image = m_dir.filePath(QStringLiteral("threaded.iso"));
        fixtures::writeFile(image, QByteArray());
        auto* thread = new QThread;
        auto* worker = new disc::DiscBurnWorker("stdio:" + image, stagingFolder(), QStringLiteral("T"), true);
        worker->moveToThread(thread);
        QStringList stages;
        bool success = false;
        QString message;
        connect(thread, &QThread::started, worker, &disc::DiscBurnWorker::run);
        connect(worker, &disc::DiscBurnWorker::progressChanged, this, [&](const QString& s) { stages << s; });
        if (cancel)
            connect(worker, &disc::DiscBurnWorker::progressChanged, worker,
                    [] { QThread::currentThread()->requestInterruption(); }, Qt::DirectConnection);
        connect(worker, &disc::DiscBurnWorker::finished, this, [&, thread](bool ok, const QString& text) {
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            success = ok;
            message = text;
            thread->quit();
        });
        connect(thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        QPointer<QThread> guard(thread);
        thread->start();
        QTRY_VERIFY_WITH_TIMEOUT(!message.isEmpty(), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!guard, 30000);
        QCOMPARE(success, !cancel);
        QCOMPARE(stages.size(), cancel ? 1 : 3);
        if (cancel) {
            QVERIFY2(message.startsWith(QStringLiteral("Запись на диск прервана")), qPrintable(message));
            QCOMPARE(QFileInfo(image).size(), 0);
        } else {
            QVERIFY(fixtures::imageFiles(image).contains("autorun.inf"));
        }
    }
};

QTEST_GUILESS_MAIN(TestDiscBurn)
#include "tst_discburn.moc"
