// Differential fuzz target of the readers ("make fuzz", libFuzzer with the sanitizers): every input
// is read as a file by the summary, tag-list, dose, frame and HU readers, as an entry of a ZIP archive
// by the archive import, and as a search answer in both syntaxes a search agrees on. Whatever it is,
// nothing may crash, hang (-timeout) or take gigabytes (-rss_limit_mb); and where the check lets a
// data set through, the tree DCMTK builds of it must be no deeper and hold no more objects than the
// walk counted, or the walk has read the bytes otherwise than DCMTK and the input is kept as a crash.
//
// An input that starts as a P-DATA-TF PDU (type 04) is instead what a peer sends once an association
// is agreed: the answer of a server to a search, and what a sender sends to the storage listener,
// each through the program's own requester and acceptor over loopback TCP on an association of its
// own. The peer then ends its side of the connection: the program must read the stream to its end or
// refuse it, and end the association, without crashing or waiting out a time-out.
//
// An empty corpus folder (the first argument that is no option) is seeded with the images the tests
// write in every syntax, the hostile shapes a few levels deep, pydicom's test files where installed,
// and search answers and C-STOREs cut and packed into PDUs in several ways.

#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"
#include "dicom/DicomTagList.h"
#include "dicom/DoseReaders.h"
#include "dicom/FrameDecoder.h"
#include "dicom/GuardedDicomStream.h"
#include "dicom/ZipImportWorker.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/StorageListener.h"
#include "render/HuImage.h"
#include "support/DicomFixtures.h"
#include "support/HostileShapes.h"
#include "support/PacsTestPeers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/oflog/oflog.h>

#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Elements and items of a tree DCMTK built, counted without recursion.
qint64 treeObjects(DcmItem& top)
{
    qint64 objects = 0;
    std::vector<DcmItem*> pending{&top};
    while (!pending.empty()) {
        DcmItem* item = pending.back();
        pending.pop_back();
        for (DcmObject* element = item->nextInContainer(nullptr); element; element = item->nextInContainer(element)) {
            ++objects;
            if (element->ident() != EVR_SQ)
                continue;
            auto* sequence = static_cast<DcmSequenceOfItems*>(element);
            for (DcmObject* child = sequence->nextInContainer(nullptr); child; child = sequence->nextInContainer(child)) {
                ++objects;
                if (child->ident() == EVR_item || child->ident() == EVR_dirRecord)
                    pending.push_back(static_cast<DcmItem*>(child));
            }
        }
    }
    return objects;
}

void disagree(const char* what, qint64 dcmtk, qint64 walk)
{
    std::fprintf(stderr, "DCMTK read %s %lld where the walk counted %lld\n", what, static_cast<long long>(dcmtk),
                 static_cast<long long>(walk));
    __builtin_trap();
}

// DCMTK's tree of bytes the walk let through must be within what the walk counted.
void compare(const dicom::WalkFigures& walk, DcmItem& tree)
{
    if (walk.hazard != dicom::ParseHazard::None)
        return;
    const int depth = dicom::treeSequenceDepth(tree);
    if (depth > walk.depth)
        disagree("levels", depth, walk.depth);
    const qint64 objects = treeObjects(tree);
    if (objects > walk.objects)
        disagree("objects", objects, walk.objects);
}

void readAsFile(const QString& path)
{
    DcmFileFormat file;
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    dicom::loadDicomFile(file, path, dicom::ValueLoading::Lazy, &hazard);
    if (hazard == dicom::ParseHazard::None)
        compare(dicom::walkFigures(path), *file.getDataset());

    dicom::readFileSummary(path);
    dicom::readTagList(path);
    dicom::readCtdiVol(path);
    dicom::readDoseReportDlp(path);
    QString error;
    dicom::decodeFrame(path, 0, std::nullopt, &error);
    render::HuImage hu;
    render::loadHuFrame(hu, path, 0, &error);
}

void readAsAnswer(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (E_TransferSyntax syntax : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
        DcmDataset dataset;
        dicom::ParseHazard hazard = dicom::ParseHazard::None;
        dicom::readDicomDataset(dataset, bytes, syntax, &hazard);
        if (hazard == dicom::ParseHazard::None)
            compare(dicom::walkFigures(data, qint64(size), syntax), dataset);
    }
}

void readAsArchiveEntry(const QString& folder, const QString& file)
{
    const QString archivePath = folder + QStringLiteral("/input.zip");
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(archivePath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive)
        return;
    zip_source_t* source = zip_source_file(archive, QFile::encodeName(file).constData(), 0, -1);
    if (!source || zip_file_add(archive, "DICOM/input.dcm", source, 0) < 0 || zip_close(archive) != 0) {
        zip_discard(archive);
        return;
    }
    const QString store = folder + QStringLiteral("/store");
    {
        dicom::ZipImportWorker worker(archivePath, store);
        worker.setFreeSpaceReserve(0);
        worker.run();
    }
    QDir(store).removeRecursively();
    QFile::remove(archivePath);
}

constexpr quint8 kDataPdu = 0x04;

// The search's server (a scripted peer that answers the C-FIND with the input) and a storage listener
// that keeps what it is sent, for the life of the process.
class PeerStreamTargets
{
public:
    PeerStreamTargets()
    {
        // Nothing a stream leaves unfinished is waited for long.
        pacs::setNetworkTimeouts({5, 5, 5});
        m_server.start();
        m_listenerPort = fixtures::freeLoopbackPort();
        m_thread.setStackSize(dicom::kParsingThreadStackSize); // as the listener pool runs it
        m_listener = new pacs::StorageListener(m_listenerPort, QStringLiteral("KALVFUZZ"), m_work.filePath("kept"));
        m_listener->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::started, m_listener, &pacs::StorageListener::run);
        m_thread.start();
        while (!m_listener->isListening())
            QThread::msleep(10);
    }

    // Before the process's statics go, which the threads still use.
    void stop()
    {
        m_listener->stop();
        m_thread.wait();
        delete m_listener;
        m_server.stop();
    }

    void search(const QByteArray& stream)
    {
        m_server.findRawStream = stream;
        QString error;
        pacs::findStudies(peers::at(m_server.port(), QStringLiteral("SCRIPTED")), pacs::PacsConfig(), {}, &error);
    }

    void listener(const QByteArray& stream)
    {
        DcmSCU scu;
        if (!peers::associateForStorage(scu, m_listenerPort, "KALVFUZZ", "FUZZER"))
            return;
        T_ASC_Association* association = pacs::associationOf(scu);
        peers::sendRaw(association, stream);
        peers::endSending(association);
        // What the listener answers, to the end: it ends the association once it has read the stream.
        DcmTransportConnection* connection = DUL_getTransportConnection(association->DULassociation);
        char answer[4096];
        while (connection && connection->read(answer, sizeof answer) > 0) {
        }
        scu.abortAssociation();
        QDir kept(m_work.filePath("kept"));
        for (const QString& name : kept.entryList(QDir::Files | QDir::Hidden))
            kept.remove(name);
    }

private:
    QTemporaryDir m_work;
    peers::ScriptedScp m_server;
    quint16 m_listenerPort = 0;
    QThread m_thread;
    pacs::StorageListener* m_listener = nullptr;
};

PeerStreamTargets* g_peerStreamTargets = nullptr;

void readAsPeerStream(const uint8_t* data, size_t size)
{
    if (!g_peerStreamTargets) {
        g_peerStreamTargets = new PeerStreamTargets;
        std::atexit([] { g_peerStreamTargets->stop(); });
    }
    const QByteArray stream(reinterpret_cast<const char*>(data), qsizetype(size));
    g_peerStreamTargets->search(stream);
    g_peerStreamTargets->listener(stream);
}

// Search answers and C-STOREs as the PDUs a peer sends, cut and packed in several ways; and the hostile
// messages the framing watch refuses.
void seedPeerStreams(const QString& folder, const fixtures::SeriesLayout& layout)
{
    DcmDataset answer;
    answer.putAndInsertString(DCM_PatientName, "Fuzz^Answer");
    answer.putAndInsertString(DCM_StudyInstanceUID, "1.2.3.4");
    const QByteArray identifier = peers::dataSetBytes(answer, UID_LittleEndianExplicitTransferSyntax);
    const char* find = UID_FINDStudyRootQueryRetrieveInformationModel;
    const std::vector<peers::DimsePart> answers{
        {peers::commandSet(DIMSE_C_FIND_RSP, 1, find, STATUS_Pending, true), true},
        {identifier, false},
        {peers::commandSet(DIMSE_C_FIND_RSP, 1, find, STATUS_Success, false), true}};
    const QString slice = folder + QStringLiteral("/store_source.dcm");
    fixtures::writeSlice(slice, layout, 0);
    std::unique_ptr<DcmDataset> object = fixtures::loadDataset(slice);
    QFile::remove(slice);
    if (!object)
        return;
    OFString sopInstance;
    object->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    const std::vector<peers::DimsePart> store{
        {peers::storeCommandSet(1, UID_CTImageStorage, sopInstance.c_str()), true},
        {peers::dataSetBytes(*object, UID_LittleEndianExplicitTransferSyntax), false}};
    const std::vector<std::pair<const char*, peers::PduPacking>> packings{
        {"dcmtk", {}}, {"one_pdu", {0, 8, 0}}, {"fragments_100", {100, 64, 0}}, {"random1", {0, 1, 1}},
        {"random2", {0, 1, 2}}};
    for (const auto& [name, packing] : packings) {
        fixtures::writeBytes(folder + QStringLiteral("/pdus_find_") + QLatin1String(name),
                             peers::packPdus(1, answers, packing, 128 * 1024));
        fixtures::writeBytes(folder + QStringLiteral("/pdus_store_") + QLatin1String(name),
                             peers::packPdus(1, store, packing, 128 * 1024));
    }
    const QByteArray pending = peers::commandSet(DIMSE_C_FIND_RSP, 1, find, STATUS_Pending, false);
    fixtures::writeBytes(folder + QStringLiteral("/pdus_nested_command"),
                         peers::packPdus(1, {{pending + peers::nestedItems(8, true), true}}, {}, 128 * 1024));
    fixtures::writeBytes(folder + QStringLiteral("/pdus_data_for_command"),
                         peers::packPdus(1, {{peers::nestedItems(8, true), false}}, {}, 128 * 1024));
}

QString corpusFolder(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-')
            return QString::fromLocal8Bit(argv[i]);
    }
    return {};
}

void seed(const QString& folder)
{
    // A single input given to run again is no corpus.
    if (QFileInfo(folder).isFile())
        return;
    QDir().mkpath(folder);
    if (!QDir(folder).isEmpty())
        return;
    fixtures::SeriesLayout layout;
    layout.slices = 2;
    layout.rows = layout.columns = 8;
    const auto path = [&](const QString& name) { return folder + QLatin1Char('/') + name + QStringLiteral(".dcm"); };
    fixtures::writeSlice(path(QStringLiteral("explicit")), layout, 0);
    fixtures::writeEnhancedMultiFrame(path(QStringLiteral("enhanced")), layout);
    for (auto [name, compression] : {std::pair{"rle", fixtures::Compression::Rle},
                                     std::pair{"jpegls", fixtures::Compression::JpegLsLossless}}) {
        fixtures::SeriesLayout compressed = layout;
        compressed.compression = compression;
        fixtures::writeSlice(path(QString::fromLatin1(name)), compressed, 0);
    }
    for (auto [name, syntax] : {std::pair{"implicit", EXS_LittleEndianImplicit}, std::pair{"bigendian", EXS_BigEndianExplicit},
                                std::pair{"deflated", EXS_DeflatedLittleEndianExplicit},
                                std::pair{"private", EXS_PrivateGE_LEI_WithBigEndianPixelData}}) {
        DcmFileFormat file;
        const QByteArray local = QFile::encodeName(path(QString::fromLatin1(name)));
        fixtures::writeSlice(QString::fromLocal8Bit(local), layout, 0);
        if (file.loadFile(local.constData()).good() && file.loadAllDataIntoMemory().good())
            file.saveFile(local.constData(), syntax);
    }
    for (int shape = 0; shape <= int(fixtures::HostileShape::DeflatedWithoutPreamble); ++shape) {
        const auto hostile = fixtures::HostileShape(shape);
        fixtures::writeHostileShape(path(QStringLiteral("shape%1").arg(shape)), hostile, 3);
        fixtures::writeBytes(folder + QStringLiteral("/answer%1").arg(shape), fixtures::hostileShapeAnswer(hostile, 3));
    }
    seedPeerStreams(folder, layout);
    const QDir pydicom(QStringLiteral("/usr/lib/python3/dist-packages/pydicom/data/test_files"));
    for (const QFileInfo& info : pydicom.entryInfoList({QStringLiteral("*.dcm")}, QDir::Files)) {
        if (info.size() <= 256 * 1024)
            QFile::copy(info.filePath(), folder + QStringLiteral("/pydicom_") + info.fileName());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static int qtArgc = 1;
    static char* qtArgv[] = {(*argv)[0], nullptr};
    new QCoreApplication(qtArgc, qtArgv);
    dicom::registerMetaTypes();
    new dicom::CodecRegistrationScope;
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    // A peer's side of a connection that the other side closed is written to no more.
    std::signal(SIGPIPE, SIG_IGN);
    const QString corpus = corpusFolder(*argc, *argv);
    if (!corpus.isEmpty())
        seed(corpus);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0 && data[0] == kDataPdu) {
        readAsPeerStream(data, size);
        return 0;
    }
    static QTemporaryDir work;
    static quint64 round = 0;
    ++round;
    // A new name each round: no reader's cache may answer for an earlier input.
    const QString path = work.filePath(QStringLiteral("input%1.dcm").arg(round));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        return 0;
    file.close();
    readAsFile(path);
    dicom::releaseFrameDecoderCache();
    render::clearHuFrameCache();
    readAsAnswer(data, size);
    // The archive import copies the entry before it reads it: every eighth input is enough for it.
    if (round % 8 == 0)
        readAsArchiveEntry(work.path(), path);
    QFile::remove(path);
    return 0;
}
