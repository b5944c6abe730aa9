// Names and safety of files written for objects received over the network.

#include "pacs/ReceivedFileWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

using namespace pacs;

namespace {

DcmDataset datasetWithUid(const QByteArray& uid)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    if (!uid.isNull())
        ds.putAndInsertString(DCM_SOPInstanceUID, uid.constData(), Uint32(uid.size()));
    ds.putAndInsertString(DCM_PatientName, "Test^Name");
    return ds;
}

} // namespace

class TestReceivedFileWriter : public QObject
{
    Q_OBJECT

private slots:
    void names_data()
    {
        QTest::addColumn<QByteArray>("uid");
        QTest::addColumn<bool>("namedByUid");
        QTest::newRow("plain UID") << QByteArray("1.2.840.113619.2.55.3") << true;
        QTest::newRow("path climbing") << QByteArray("../../../etc/passwd") << false;
        QTest::newRow("separators") << QByteArray("1.2/3\\4") << false;
        QTest::newRow("leading dot") << QByteArray(".1.2") << false;
        QTest::newRow("no UID") << QByteArray() << false;
    }

    void names()
    {
        QFETCH(QByteArray, uid);
        QFETCH(bool, namedByUid);
        QTemporaryDir root;
        const QString out = root.filePath(QStringLiteral("a/b"));
        DcmDataset ds = datasetWithUid(uid);

        QStringList paths;
        for (int i = 0; i < 3; ++i) {
            QString path;
            QString error;
            QVERIFY2(writeReceivedDataset(ds, out, &path, &error), qPrintable(error));
            paths << path;
            QCOMPARE(QFileInfo(path).absolutePath(), QDir(out).absolutePath());
        }
        // Three arrivals of the same object: three files, none overwritten, nothing half-written left.
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 3);
        for (const QString& path : paths)
            QCOMPARE(QFileInfo(path).size(), QFileInfo(paths[0]).size());
        if (namedByUid) {
            QCOMPARE(QFileInfo(paths[0]).fileName(), QString::fromLatin1(uid) + QStringLiteral(".dcm"));
            QCOMPARE(QFileInfo(paths[1]).fileName(), QString::fromLatin1(uid) + QStringLiteral("_1.dcm"));
        }
        for (const QString& path : paths) {
            DcmFileFormat ff;
            QVERIFY(ff.loadFile(QFile::encodeName(path).constData()).good());
            OFString name;
            QVERIFY(ff.getDataset()->findAndGetOFString(DCM_PatientName, name).good());
            QCOMPARE(QByteArray(name.c_str()), QByteArray("Test^Name"));
        }
        // The caller's dataset is still whole after the writes.
        QVERIFY(ds.tagExists(DCM_PatientName));
    }

    void failures()
    {
        QTemporaryDir root;
        const QString blocker = root.filePath(QStringLiteral("file"));
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        DcmDataset ds = datasetWithUid("1.2.3");
        QString path = QStringLiteral("untouched");
        QString error;
        QVERIFY(!writeReceivedDataset(ds, blocker + QStringLiteral("/sub"), &path, &error));
        QCOMPARE(path, QStringLiteral("untouched"));
        QVERIFY(error.startsWith(QStringLiteral("Не удалось создать папку")));
    }
};

QTEST_GUILESS_MAIN(TestReceivedFileWriter)
#include "tst_receivedfilewriter.moc"
