// Names and safety of files written for objects received over the network.

#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectFile.h"

#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"
#include "platform/OwnFileDoor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
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
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>

#include <sys/xattr.h>
#include <xxhash.h>

using namespace pacs;

namespace {

// An object without pixels, of a kind that holds none (an image without its pixels is not listed).
DcmDataset datasetWithUid(const QByteArray& uid)
{
    DcmDataset ds;
    ds.putAndInsertString(DCM_SOPClassUID, UID_RawDataStorage);
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
    ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.10.1501.77");
    ds->putAndInsertString(DCM_SeriesInstanceUID, "1.2.826.0.1.3680043.10.1501.77.1");
    ds->putAndInsertString(DCM_PatientName, "Иванов^Пётр");
    ds->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    ds->putAndInsertUint16(DCM_Rows, 4);
    ds->putAndInsertUint16(DCM_Columns, 4);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
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

// XXH3-128 of a file's bytes, as the library gives it (its canonical, big-endian form).
QByteArray xxh3Of(const QByteArray& bytes)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.constData(), size_t(bytes.size())));
    return QByteArray(reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest);
}

// Whether files in the folder can bear an extended attribute of the user's.
bool keepsMarks(const QString& folder)
{
    QFile probe(QDir(folder).filePath(QStringLiteral("mark probe")));
    const bool kept = probe.open(QIODevice::WriteOnly) &&
                      ::fsetxattr(probe.handle(), "user.kalvenor.probe", "1", 1, 0) == 0;
    probe.remove();
    return kept;
}

// What follows the preamble and meta header of a Part-10 file.
QByteArray datasetBytes(const QByteArray& file)
{
    if (file.size() < 144)
        return {};
    return file.mid(144 + qFromLittleEndian<quint32>(file.constData() + 140));
}

// A file as DCMTK writes one while receiving it, for this data set in this transfer syntax.
bool writeReceived(const QString& path, DcmDataset& dataset, E_TransferSyntax syntax,
                   E_EncodingType encoding = EET_UndefinedLength, E_GrpLenEncoding groupLengths = EGL_withoutGL,
                   E_PaddingEncoding padding = EPD_noChange, bool longerMeta = false)
{
    DcmFileFormat file(&dataset); // a copy: compression changes it
    if (longerMeta)
        file.getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, "VAVOVIVIRUR");
    if (syntax != EXS_LittleEndianExplicit && syntax != EXS_LittleEndianImplicit
        && file.getDataset()->chooseRepresentation(syntax, nullptr).bad())
        return false;
    return file.saveFile(QFile::encodeName(path).constData(), syntax, encoding, groupLengths, padding, 256, 0,
                         EWM_updateMeta)
        .good();
}

} // namespace

class TestReceivedFileWriter : public QObject
{
    Q_OBJECT
    dicom::CodecRegistrationScope m_codecs;

private slots:
    void initTestCase() { fixtures::registerCodecs(); }

    void names_data()
    {
        QTest::addColumn<QByteArray>("uid");
        QTest::addColumn<bool>("namedByUid");
        QTest::addColumn<bool>("withoutLinks"); // copied, as on a file system without hard links (FAT)
        QTest::newRow("plain UID") << QByteArray("1.2.840.113619.2.55.3") << true << false;
        QTest::newRow("path climbing") << QByteArray("../../../etc/passwd") << false << false;
        QTest::newRow("separators") << QByteArray("1.2/3\\4") << false << false;
        QTest::newRow("leading dot") << QByteArray(".1.2") << false << false;
        QTest::newRow("no UID") << QByteArray() << false << false;
        // Each of these would pass the test of digits and dots alone.
        QTest::newRow("empty UID") << QByteArray("") << false << false;
        QTest::newRow("over-long UID") << QByteArray("1.2.840.113619.2.55.3.604688119.969.1268071029.320.1234567890123456") << false << false;
        QTest::newRow("plain UID, without hard links") << QByteArray("1.2.840.113619.2.55.3") << true << true;
        QTest::newRow("no UID, without hard links") << QByteArray() << false << true;
    }

    void names()
    {
        QFETCH(QByteArray, uid);
        QFETCH(bool, namedByUid);
        QFETCH(bool, withoutLinks);
        QTemporaryDir root;
        const QString out = root.filePath(QStringLiteral("a/b"));
        DcmDataset ds = datasetWithUid(uid);
        // Cut mid-copy (the program killed there): nothing new may lie under a final name yet.
        QList<int> namedWhileCopying;
        if (withoutLinks)
            copyWithoutLinksForTest([&](const QString&) {
                namedWhileCopying << int(QDir(out).entryList({QStringLiteral("*.dcm")}, QDir::Files).size());
            });
        const auto linksAgain = qScopeGuard([] { copyWithoutLinksForTest({}); });

        QStringList paths;
        for (int i = 0; i < 3; ++i) {
            const QString received = root.filePath(QStringLiteral(".receiving-%1.part").arg(i));
            QVERIFY(writeReceived(received, ds, EXS_LittleEndianExplicit));
            QString error;
            std::unique_ptr<DcmFileFormat> parsed = pacs::openReceivedObject(received, &error);
            QVERIFY2(parsed, qPrintable(error));
            QString path;
            QVERIFY2(storeReceivedFile(received, *parsed, out, &path, &error), qPrintable(error));
            paths << path;
            QCOMPARE(QFileInfo(path).absolutePath(), QDir(out).absolutePath());
        }
        QCOMPARE(namedWhileCopying, withoutLinks ? (QList<int>{0, 1, 2}) : QList<int>());
        // Three arrivals of the same object: three files, none overwritten, nothing half-written left.
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 3);
        for (const QString& path : paths)
            QCOMPARE(QFileInfo(path).size(), QFileInfo(paths[0]).size());
        if (namedByUid) {
            QCOMPARE(QFileInfo(paths[0]).fileName(), QString::fromLatin1(uid) + QStringLiteral(".dcm"));
            QCOMPARE(QFileInfo(paths[1]).fileName(), QString::fromLatin1(uid) + QStringLiteral("_1.dcm"));
        } else {
            // Named after the moment it came: no part of the UID reaches the name.
            static const QRegularExpression timeName(QStringLiteral("^[0-9]+(_[0-9]+)?\\.dcm$"));
            for (const QString& path : paths)
                QVERIFY2(timeName.match(QFileInfo(path).fileName()).hasMatch(), qPrintable(path));
        }
        for (const QString& path : paths) {
            DcmFileFormat ff;
            QVERIFY(ff.loadFile(QFile::encodeName(path).constData()).good());
            OFString name;
            QVERIFY(ff.getDataset()->findAndGetOFString(DCM_PatientName, name).good());
            QCOMPARE(QByteArray(name.c_str()), QByteArray("Test^Name"));
        }
    }

    // An object that comes again, to a folder where an earlier retrieve stored a copy under its name:
    // nothing there is ever replaced. The copy that holds these very bytes is the object's file, and
    // nothing is written; anything else there (other content under the same UIDs included) stays as
    // it is, and the object gets a name of its own.
    void objectStoredAgain_data()
    {
        QTest::addColumn<QString>("there"); // what lies under the object's name
        QTest::addColumn<int>("files");
        QTest::newRow("the same bytes") << "same" << 1;
        QTest::newRow("this very object with other content") << "other content" << 2;
        QTest::newRow("another series under its UID") << "other series" << 2;
        QTest::newRow("a file that is not DICOM") << "not dicom" << 2;
    }
    void objectStoredAgain()
    {
        QFETCH(QString, there);
        QFETCH(int, files);
        QTemporaryDir root;
        const QString out = root.filePath(QStringLiteral("1.2.826.0.1.3680043.10.1501.8"));
        const auto object = [](const char* series, const char* name) {
            DcmDataset ds = datasetWithUid("1.2.826.0.1.3680043.10.1501.8.1.1");
            ds.putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.10.1501.8");
            ds.putAndInsertString(DCM_SeriesInstanceUID, series);
            ds.putAndInsertString(DCM_PatientName, name);
            return ds;
        };
        const auto store = [&root, &out](DcmDataset ds) {
            const QString received = root.filePath(QStringLiteral(".receiving.part"));
            QString error, path;
            std::unique_ptr<DcmFileFormat> parsed;
            if (writeReceived(received, ds, EXS_LittleEndianExplicit))
                parsed = pacs::openReceivedObject(received, &error);
            if (!parsed || !storeReceivedFile(received, *parsed, out, &path, &error))
                qWarning() << "not stored:" << error;
            QFile::remove(received);
            return path;
        };
        const QString own = QDir(out).filePath(QStringLiteral("1.2.826.0.1.3680043.10.1501.8.1.1.dcm"));
        if (there == "not dicom") {
            QVERIFY(QDir().mkpath(out));
            QFile user(own);
            QVERIFY(user.open(QIODevice::WriteOnly) && user.write("notes") == 5);
        } else {
            QCOMPARE(store(object(there == "other series" ? "1.2.826.0.1.3680043.10.1501.8.2" : "1.2.826.0.1.3680043.10.1501.8.1",
                                  there == "same" ? "Second^Arrival" : "First^Arrival")),
                     own);
            QVERIFY(takeStoredFile(own).known);
        }
        const QByteArray before = contentOf(own);
        const QFileInfo beforeInfo(own);
        const QString path = store(object("1.2.826.0.1.3680043.10.1501.8.1", "Second^Arrival"));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), files);
        QCOMPARE(path == own, there == "same");
        QCOMPARE(contentOf(own), before);
        QCOMPARE(QFileInfo(own).lastModified(), beforeInfo.lastModified());
        // Only a file made here is taken by the retrieve told of it, once.
        QCOMPARE(takeStoredFile(path).known, there != "same");
        QVERIFY(!takeStoredFile(path).known);
        DcmFileFormat ff;
        QVERIFY(ff.loadFile(QFile::encodeName(path).constData()).good());
        OFString name;
        QVERIFY(ff.getDataset()->findAndGetOFString(DCM_PatientName, name).good());
        QCOMPARE(QByteArray(name.c_str()), QByteArray("Second^Arrival"));
    }

    // A received object is stored as the peer sent it: its data set byte for byte, in whatever
    // transfer syntax and encoding it came, behind a new meta header that names that syntax, whatever
    // meta header it came with (longer or shorter than the new one). The digest it is recorded with is
    // that of the stored bytes, whether taken from what the receive wrote or read again.
    void receivedDataSetsKeepTheirBytes_data()
    {
        QTest::addColumn<int>("transferSyntax");
        QTest::addColumn<int>("encoding");
        QTest::addColumn<int>("groupLengths");
        QTest::addColumn<int>("padding");
        QTest::addColumn<bool>("unknownVr");
        QTest::addColumn<int>("meta"); // 0 as written, 1 longer (source AE), 2 shortest possible, 3 that naming
                                       // explicit VR whatever the data set is in, 4 naming another
                                       // instance in a UID of the same length
        QTest::addColumn<bool>("headerPassed"); // the receive wrote the header too, not only the data set
        const int ex = EXS_LittleEndianExplicit, undefined = EET_UndefinedLength, noGl = EGL_withoutGL,
                  noPad = EPD_noChange;
        QTest::newRow("explicit, undefined lengths") << ex << undefined << noGl << noPad << false << 0 << true;
        QTest::newRow("with the receiver's longer meta") << ex << undefined << noGl << noPad << false << 1 << true;
        QTest::newRow("with a shorter meta") << ex << undefined << noGl << noPad << false << 2 << true;
        QTest::newRow("sequences of defined length") << ex << int(EET_ExplicitLength) << noGl << noPad << false << 1 << true;
        QTest::newRow("group lengths") << ex << undefined << int(EGL_withGL) << noPad << false << 1 << true;
        QTest::newRow("trailing padding") << ex << undefined << noGl << int(EPD_withPadding) << false << 0 << true;
        QTest::newRow("unknown VR") << ex << undefined << noGl << noPad << true << 1 << true;
        QTest::newRow("implicit VR") << int(EXS_LittleEndianImplicit) << undefined << noGl << noPad << false << 0 << true;
        QTest::newRow("implicit VR under a header naming explicit")
            << int(EXS_LittleEndianImplicit) << undefined << noGl << noPad << false << 3 << true;
        QTest::newRow("JPEG-LS lossless") << int(EXS_JPEGLSLossless) << undefined << noGl << noPad << false << 1 << true;
        QTest::newRow("RLE lossless") << int(EXS_RLELossless) << undefined << noGl << noPad << false << 0 << true;
        QTest::newRow("header the receive did not write") << ex << undefined << noGl << noPad << false << 0 << false;
        QTest::newRow("header of the same length, rewritten") << ex << undefined << noGl << noPad << false << 4 << true;
    }
    void receivedDataSetsKeepTheirBytes()
    {
        QFETCH(int, transferSyntax);
        QFETCH(int, encoding);
        QFETCH(int, groupLengths);
        QFETCH(int, padding);
        QFETCH(bool, unknownVr);
        QFETCH(int, meta);
        QFETCH(bool, headerPassed);
        QTemporaryDir root;
        const QString received = root.filePath(QStringLiteral("in/.receiving.part"));
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("in"))));
        QVERIFY(writeReceived(received, *richDataset(unknownVr), E_TransferSyntax(transferSyntax),
                              E_EncodingType(encoding), E_GrpLenEncoding(groupLengths), E_PaddingEncoding(padding),
                              meta == 1));
        if (meta == 4) {
            QByteArray bytes = contentOf(received);
            const qsizetype at = bytes.indexOf("1.2.826.0.1.3680043.10.1501.77.5");
            QVERIFY(at > 0 && at < 144 + qFromLittleEndian<quint32>(bytes.constData() + 140));
            bytes[at + 31] = '6';
            QFile out(received);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        } else if (meta >= 2) {
            // Only the transfer syntax: a meta header shorter than any DCMTK writes.
            QByteArray bytes = contentOf(received);
            const quint32 oldLength = qFromLittleEndian<quint32>(bytes.constData() + 140);
            const E_TransferSyntax named = meta == 3 ? EXS_LittleEndianExplicit : E_TransferSyntax(transferSyntax);
            const QByteArray syntax(DcmXfer(named).getXferID());
            QByteArray header(128, '\0');
            header += "DICM";
            header += QByteArray::fromHex("02000000554c0400") + QByteArray(4, '\0');
            QByteArray element = QByteArray::fromHex("0200100055490000") + syntax;
            if (syntax.size() % 2)
                element += '\0';
            element[6] = char(element.size() - 8);
            header += element;
            qToLittleEndian<quint32>(quint32(element.size()), header.data() + 140);
            bytes.replace(0, int(144 + oldLength), header);
            QFile out(received);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(bytes);
        }
        const QByteArray sent = datasetBytes(contentOf(received));
        QVERIFY(!sent.isEmpty());
        pacs::WrittenBytes written;
        const QByteArray passed = headerPassed ? contentOf(received) : sent;
        written.add(passed.constData(), passed.size());
        QString error;
        std::unique_ptr<DcmFileFormat> parsed = pacs::openReceivedObject(received, &error);
        QVERIFY2(parsed, qPrintable(error));
        QString storedPath;
        const QString out = root.filePath(QStringLiteral("new"));
        QVERIFY2(storeReceivedFile(received, *parsed, out, &storedPath, &error, true, nullptr, &written),
                 qPrintable(error));
        parsed.reset();
        QCOMPARE(QFileInfo(storedPath).fileName(), QStringLiteral("1.2.826.0.1.3680043.10.1501.77.5.dcm"));
        // What the receiver read off the object is what the stored file reads as, header included.
        const pacs::StoredFile handedOver = takeStored(storedPath);
        QCOMPARE(handedOver.digest.toHex(), platform::ContentDigest::of(storedPath).toHex());
        // A new copy is recorded by XXH3-128, and its mark, where the file system keeps one, is that
        // digest and proves the file.
        QCOMPARE(handedOver.digest.toHex(), xxh3Of(contentOf(storedPath)).toHex());
        if (keepsMarks(out))
            QCOMPARE(platform::ContentDigest::provenMark(storedPath).toHex(), handedOver.digest.toHex());
        const std::optional<dicom::DicomFileSummary> handed = handedOver.summary;
        QVERIFY(handed);
        QCOMPARE(*handed, *dicom::readFileSummary(storedPath));
        QCOMPARE(datasetBytes(contentOf(storedPath)), sent);
        DcmFileFormat stored;
        QVERIFY(stored.loadFile(QFile::encodeName(storedPath).constData()).good());
        OFString value;
        stored.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, value);
        QCOMPARE(QByteArray(value.c_str()), QByteArray(DcmXfer(E_TransferSyntax(transferSyntax)).getXferID()));
        stored.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, value);
        QCOMPARE(QByteArray(value.c_str()), QByteArray("1.2.826.0.1.3680043.10.1501.77.5"));
        QVERIFY(stored.getMetaInfo()->findAndGetOFString(DCM_SourceApplicationEntityTitle, value).bad());
        stored.getDataset()->findAndGetOFString(DCM_PatientName, value);
        QCOMPARE(QString::fromUtf8(value.c_str()), QStringLiteral("Иванов^Пётр"));
        // One byte of the copy changed where it lies: neither its record nor its mark proves it now.
        const platform::OwnProof recorded =
            platform::OwnProof::recorded(storedPath, QFileInfo(storedPath).size(), handedOver.digest);
        QFile changed(storedPath);
        QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(changed.size() - 1));
        const char last = changed.peek(1).at(0);
        QVERIFY(changed.putChar(char(last ^ 0x01)) && changed.flush());
        changed.close();
        QVERIFY(platform::ContentDigest::provenMark(storedPath).isEmpty());
        const platform::OwnFileDoor door({QFileInfo(storedPath).path()});
        QCOMPARE(int(door.remove(storedPath, recorded)), int(platform::OwnFileDoor::Outcome::Refused));
        // Its bytes as recorded again: the program's copy, which the door removes.
        QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(changed.size() - 1) &&
                changed.putChar(last));
        changed.close();
        QCOMPARE(int(door.remove(storedPath, recorded)), int(platform::OwnFileDoor::Outcome::Done));
    }

    void incomingFilesGoWhateverBecameOfTheirFolder_data()
    {
        QTest::addColumn<bool>("folderBecomesLink");
        QTest::newRow("folder removed and made again") << false;
        QTest::newRow("folder replaced by a link") << true;
    }

    // An object's temporary name goes after its receive also when the folder it was received into
    // is no longer the one an earlier object of the same thread was received into.
    void incomingFilesGoWhateverBecameOfTheirFolder()
    {
        QFETCH(bool, folderBecomesLink);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("study"));
        const auto receiveOne = [&] {
            ReceivedObjectFile incoming({folder});
            QFile file(incoming.path());
            if (!file.open(QIODevice::WriteOnly))
                return false;
            file.close();
            incoming.remove();
            return !QFileInfo::exists(incoming.path()) && QDir(folder).entryList(QDir::Files | QDir::Hidden).isEmpty();
        };
        QVERIFY(receiveOne());
        QVERIFY(QDir(folder).removeRecursively());
        if (folderBecomesLink) {
            QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("elsewhere"))));
            QVERIFY(QFile::link(root.filePath(QStringLiteral("elsewhere")), folder));
        }
        QVERIFY(receiveOne());
    }

    void failures()
    {
        QTemporaryDir root;
        const QString blocker = root.filePath(QStringLiteral("file"));
        QFile f(blocker);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        DcmDataset ds = datasetWithUid("1.2.3");
        const QString received = root.filePath(QStringLiteral(".receiving.part"));
        QVERIFY(writeReceived(received, ds, EXS_LittleEndianExplicit));
        QString error;
        std::unique_ptr<DcmFileFormat> parsed = pacs::openReceivedObject(received, &error);
        QVERIFY(parsed);
        QString path = QStringLiteral("untouched");
        QVERIFY(!storeReceivedFile(received, *parsed, blocker + QStringLiteral("/sub"), &path, &error));
        QCOMPARE(path, QStringLiteral("untouched"));
        QVERIFY(error.startsWith(QStringLiteral("Не удалось создать папку")));
    }
};

QTEST_GUILESS_MAIN(TestReceivedFileWriter)
#include "tst_receivedfilewriter.moc"
