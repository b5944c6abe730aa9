// Names and safety of files written for objects received over the network.

#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QTest>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrobow.h>

#include <memory>

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

// A CT-like object: text, numbers, nested and empty sequences, a private element and pixel data.
std::unique_ptr<DcmDataset> richDataset(bool unknownVr)
{
    auto ds = std::make_unique<DcmDataset>();
    ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.10.1501.77.5");
    ds->putAndInsertString(DCM_PatientName, "Иванов^Пётр");
    ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    ds->putAndInsertUint16(DCM_Rows, 4);
    ds->putAndInsertUint16(DCM_Columns, 4);
    ds->putAndInsertString(DCM_PixelSpacing, "0.7\\0.7");
    DcmItem* item = nullptr;
    ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item, 0);
    item->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3.4");
    DcmItem* inner = nullptr;
    item->findOrCreateSequenceItem(DCM_PurposeOfReferenceCodeSequence, inner, 0);
    inner->putAndInsertString(DCM_CodeValue, "121311");
    ds->findOrCreateSequenceItem(DCM_ReferencedImageSequence, item, 1); // an empty item
    ds->insertEmptyElement(DCM_ProcedureCodeSequence);
    ds->putAndInsertString(DcmTag(0x0009, 0x0010, EVR_LO), "KALVENOR TEST");
    if (unknownVr) {
        auto* un = new DcmOtherByteOtherWord(DcmTag(0x0009, 0x1001, EVR_UN));
        const Uint8 bytes[4] = {1, 2, 3, 4};
        un->putUint8Array(bytes, 4);
        ds->insert(un);
    }
    Uint16 pixels[16];
    for (int i = 0; i < 16; ++i)
        pixels[i] = Uint16(i * 300);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels, 16);
    return ds;
}

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

    // A received file is stored with the bytes and name the data set writer gives its parsed form,
    // whether its encoding lets it be kept as it is or it must be encoded again, and whatever meta
    // header it came with (longer or shorter than the new one).
    void receivedFilesStoreAsTheWriterWrites_data()
    {
        QTest::addColumn<int>("transferSyntax");
        QTest::addColumn<int>("encoding");
        QTest::addColumn<int>("groupLengths");
        QTest::addColumn<int>("padding");
        QTest::addColumn<bool>("unknownVr");
        QTest::addColumn<int>("meta"); // 0 as written, 1 longer (source AE), 2 shortest possible
        const int ex = EXS_LittleEndianExplicit, undefined = EET_UndefinedLength, noGl = EGL_withoutGL,
                  noPad = EPD_noChange;
        QTest::newRow("explicit, undefined lengths") << ex << undefined << noGl << noPad << false << 0;
        QTest::newRow("with the receiver's longer meta") << ex << undefined << noGl << noPad << false << 1;
        QTest::newRow("with a shorter meta") << ex << undefined << noGl << noPad << false << 2;
        QTest::newRow("sequences of defined length") << ex << int(EET_ExplicitLength) << noGl << noPad << false << 1;
        QTest::newRow("group lengths") << ex << undefined << int(EGL_withGL) << noPad << false << 1;
        QTest::newRow("trailing padding") << ex << undefined << noGl << int(EPD_withPadding) << false << 0;
        QTest::newRow("unknown VR") << ex << undefined << noGl << noPad << true << 1;
        QTest::newRow("implicit VR") << int(EXS_LittleEndianImplicit) << undefined << noGl << noPad << false << 0;
    }
    void receivedFilesStoreAsTheWriterWrites()
    {
        QFETCH(int, transferSyntax);
        QFETCH(int, encoding);
        QFETCH(int, groupLengths);
        QFETCH(int, padding);
        QFETCH(bool, unknownVr);
        QFETCH(int, meta);
        QTemporaryDir root;
        const QString received = root.filePath(QStringLiteral("in/.receiving.part"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("in"))));
        {
            DcmFileFormat file(richDataset(unknownVr).release(), OFFalse);
            if (meta == 1)
                file.getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, "VAVOVIVIRUR");
            QVERIFY(file.saveFile(QFile::encodeName(received).constData(), E_TransferSyntax(transferSyntax),
                                  E_EncodingType(encoding), E_GrpLenEncoding(groupLengths),
                                  E_PaddingEncoding(padding), 256, 0, EWM_updateMeta)
                        .good());
        }
        if (meta == 2) {
            // Only the transfer syntax: a meta header shorter than any DCMTK writes.
            QByteArray bytes = contentOf(received);
            const quint32 oldLength = qFromLittleEndian<quint32>(bytes.constData() + 140);
            QByteArray header(128, '\0');
            header += "DICM";
            header += QByteArray::fromHex("02000000554c04001c000000"); // group length 28
            header += QByteArray::fromHex("0200100055491400") + QByteArray("1.2.840.10008.1.2.1", 20);
            bytes.replace(0, int(144 + oldLength), header);
            QFile out(received);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        }
        QString error;
        std::unique_ptr<DcmFileFormat> reference = pacs::openReceivedObject(received, &error);
        std::unique_ptr<DcmFileFormat> parsed = pacs::openReceivedObject(received, &error);
        QVERIFY2(reference && parsed, qPrintable(error));
        QString expectedPath, storedPath;
        QVERIFY(writeReceivedDataset(*reference->getDataset(), root.filePath(QStringLiteral("old")), &expectedPath, &error));
        QVERIFY2(storeReceivedFile(received, *parsed, root.filePath(QStringLiteral("new")), &storedPath, &error),
                 qPrintable(error));
        QCOMPARE(QFileInfo(storedPath).fileName(), QFileInfo(expectedPath).fileName());
        QCOMPARE(contentOf(storedPath), contentOf(expectedPath));
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
