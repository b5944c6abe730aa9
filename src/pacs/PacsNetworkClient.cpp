#include "pacs/PacsNetworkClient.h"

#include "pacs/FindStudiesSCU.h"
#include "pacs/FramedTransportLayer.h"
#include "pacs/GetStudySCU.h"
#include "pacs/NetworkTuning.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/RetrieveStallClock.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StoreSpace.h"
#include "dicom/CompressedFrameCheck.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomItemLists.h"
#include "dicom/DicomNesting.h"
#include "dicom/GuardedDicomStream.h"
#include "dicom/DicomText.h"

#include <QFile>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <array>
#include <cstring>
#include <memory>

namespace pacs {

namespace {

const char* const kFindStudyRoot = "1.2.840.10008.5.1.4.1.2.2.1";
const char* const kMoveStudyRoot = "1.2.840.10008.5.1.4.1.2.2.2";
const char* const kGetStudyRoot = "1.2.840.10008.5.1.4.1.2.2.3";
const char* const kVerification = "1.2.840.10008.1.1";

// What one association can carry.
constexpr int kMaxPresentationContexts = 128;

OFList<OFString> transferSyntaxList(const QStringList& syntaxes = networkTransferSyntaxes())
{
    OFList<OFString> list;
    for (const QString& ts : syntaxes)
        list.push_back(OFString(ts.toLatin1().constData()));
    return list;
}

// The image classes a workstation meets most, and encapsulated PDF.
const QStringList& commonStorageSopClasses()
{
    static const QStringList classes{
        QStringLiteral("1.2.840.10008.5.1.4.1.1.2"),     QStringLiteral("1.2.840.10008.5.1.4.1.1.4"),
        QStringLiteral("1.2.840.10008.5.1.4.1.1.6.1"),   QStringLiteral("1.2.840.10008.5.1.4.1.1.7"),
        QStringLiteral("1.2.840.10008.5.1.4.1.1.1.1"),   QStringLiteral("1.2.840.10008.5.1.4.1.1.1"),
        QStringLiteral("1.2.840.10008.5.1.4.1.1.12.1"),  QStringLiteral("1.2.840.10008.5.1.4.1.1.128"),
        QStringLiteral("1.2.840.10008.5.1.4.1.1.20"),    QStringLiteral("1.2.840.10008.5.1.4.1.1.104.1"),
    };
    return classes;
}

OFString utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return OFString(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// What a failed exchange means, in Russian, with the toolkit's own words kept for the administrator.
QString conditionText(const OFCondition& cond)
{
    const QString detail = QString::fromUtf8(cond.text());
    const auto says = [&](const char* words) { return detail.contains(QLatin1String(words), Qt::CaseInsensitive); };
    const NetworkTimeouts timeouts = networkTimeouts();
    QString meaning;
    if (cond.module() == OFM_dcmnet) {
        switch (cond.code()) {
        case DULC_TCPINITERROR:
        case DULC_REQUESTASSOCIATIONFAILED:
            if (says("refused"))
                meaning = QStringLiteral("подключение отклонено: на этом адресе и порту сервер не принимает "
                                         "соединения");
            else if (says("timed out") || says("timeout"))
                meaning = QStringLiteral("сервер не ответил на подключение за %1 с").arg(timeouts.connectSeconds);
            else
                meaning = QStringLiteral("не удалось подключиться к серверу");
            break;
        case DULC_UNKNOWNHOST:
            meaning = QStringLiteral("адрес сервера не найден");
            break;
        case DULC_ASSOCIATIONREJECTED:
            meaning = QStringLiteral("сервер отклонил соединение — проверьте AE-заголовки в настройках PACS");
            break;
        case DULC_READTIMEOUT:
            meaning = QStringLiteral("сервер не ответил за %1 с").arg(timeouts.acseSeconds);
            break;
        case DIMSEC_NODATAAVAILABLE:
            meaning = QStringLiteral("сервер не ответил за %1 с").arg(timeouts.dimseSeconds);
            break;
        case DULC_PEERABORTEDASSOCIATION:
            meaning = QStringLiteral("сервер прервал соединение");
            break;
        case DIMSEC_BADMESSAGE:
        case DIMSEC_BADCOMMANDTYPE:
        case DIMSEC_PARSEFAILED:
            meaning = QStringLiteral("сервер прислал сообщение DIMSE недопустимого вида");
            break;
        case DULC_NETWORKCLOSED:
        case DULC_TCPIOERROR:
        case DIMSEC_READPDVFAILED:
        case DIMSEC_RECEIVEFAILED:
        case DIMSEC_SENDFAILED:
            meaning = says("No data available") ? QStringLiteral("сервер не ответил за %1 с").arg(timeouts.dimseSeconds)
                                                : QStringLiteral("соединение с сервером оборвалось");
            break;
        default:
            break;
        }
    }
    if (meaning.isEmpty())
        meaning = QStringLiteral("ошибка обмена с сервером");
    return QStringLiteral("%1 (%2)").arg(meaning, detail);
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

// An empty or non-ASCII title would only come back as the network layer's "Illegal service parameter".
bool validPeer(const PacsServer& server, const PacsConfig& config, QString* error)
{
    if (server.port < 1 || server.port > 65535) {
        setError(error, QStringLiteral("Некорректный порт сервера %1: %2").arg(server.host).arg(server.port));
        return false;
    }
    if (!isValidAeTitle(server.aeTitle)) {
        setError(error, QStringLiteral("Недопустимый AE-заголовок сервера %1: «%2» — исправьте его в настройках PACS")
                            .arg(server.host, server.aeTitle));
        return false;
    }
    if (!isValidAeTitle(config.localAeTitle)) {
        setError(error, QStringLiteral("Недопустимый «Мой AE-заголовок»: «%1» — исправьте его в настройках PACS")
                            .arg(config.localAeTitle));
        return false;
    }
    return true;
}

void setIdentity(DcmSCU& scu, const PacsServer& server, const PacsConfig& config)
{
    configureRequester(scu);
    scu.setAETitle(utf8(config.localAeTitle));
    scu.setPeerAETitle(utf8(server.aeTitle));
    scu.setPeerHostName(utf8(server.host));
    scu.setPeerPort(static_cast<Uint16>(server.port));
}

// A condition after which the association cannot carry anything more: a time-out, a broken or
// closed connection, an abort by the peer, or a response DCMTK refused (malformed, of another kind),
// whose data set it would leave unread and parse as the next command.
bool associationLost(const OFCondition& cond)
{
    if (cond.good() || cond.module() != OFM_dcmnet)
        return false;
    const unsigned short code = cond.code();
    return code == DIMSEC_NODATAAVAILABLE || code == DIMSEC_READPDVFAILED || code == DIMSEC_RECEIVEFAILED
        || code == DIMSEC_SENDFAILED || code == DIMSEC_BADMESSAGE || code == DIMSEC_BADCOMMANDTYPE
        || code == DIMSEC_PARSEFAILED || (code >= 0x300 && code < 0x400);
}

// Releases a working association; aborts a broken one at once instead of waiting for a release
// answer that a stalled or vanished peer would never send.
void closeAssociation(DcmSCU& scu, const OFCondition& lastExchange)
{
    if (!scu.isConnected())
        return;
    if (associationLost(lastExchange))
        scu.abortAssociation();
    else
        scu.releaseAssociation();
}

// The peer's framing as the watch on its connection found it.
using Framing = std::shared_ptr<const FramingVerdict>;

// What a failed exchange means: the watch's refusal when it cut the connection, else the toolkit's
// condition.
QString exchangeText(const OFCondition& cond, const Framing& framing)
{
    const QString refusal = framing ? framingRefusalText(framing->load(), QStringLiteral("Сервер")) : QString();
    return refusal.isEmpty() ? conditionText(cond) : refusal;
}

// `unsupported`: what to say when the server accepts the association but none of its contexts. Every
// association the program requests is read through the framing watch; `framing` receives its verdict.
// stopWaiting: the caller no longer wants the answer; every wait for the peer ends.
bool negotiate(DcmSCU& scu, QString* error, const QString& unsupported = {}, Framing* framing = nullptr,
               std::function<bool()> stopWaiting = {})
{
    OFCondition cond = scu.initNetwork();
    Framing watch;
    if (cond.good()) {
        watch = watchPduFraming(scu, std::move(stopWaiting));
        if (!watch) {
            setError(error, QStringLiteral("Не удалось подготовить соединение с сервером"));
            return false;
        }
        cond = scu.negotiateAssociation();
    }
    if (cond.bad()) {
        const bool refusedAll = cond == NET_EC_NoAcceptablePresentationContexts;
        setError(error, refusedAll && !unsupported.isEmpty() ? unsupported : exchangeText(cond, watch));
        if (scu.isConnected())
            scu.abortAssociation();
        return false;
    }
    if (framing)
        *framing = std::move(watch);
    return true;
}

bool isAscii(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() > 0x7f)
            return false;
    return true;
}

// Stops waiting for further C-MOVE responses once the caller cancels, or once the server has only
// answered "pending" for the DIMSE time-out. The objects go to the listener, not here: the server's
// counts of its sub-operations tell whether it is getting on.
class MoveStudySCU : public DcmSCU
{
public:
    const std::atomic_bool* cancel = nullptr;
    bool stalled = false;

    // DCMTK's own loop parses the data set a response may carry (the server's list of objects it failed
    // to send) on this thread, however deep a peer nests it; only the counts are used here, so it is
    // read past unparsed.
    OFCondition sendMOVERequest(const T_ASC_PresentationContextID presID, const OFString& moveDestinationAETitle,
                                DcmDataset* dataset, OFList<RetrieveResponse*>* responses) override
    {
        m_stall.start(int(getDIMSETimeout()));
        if (!isConnected())
            return DIMSE_ILLEGALASSOCIATION;
        if (!dataset)
            return DIMSE_NULLKEY;
        OFString abstractSyntax;
        OFString transferSyntax;
        findPresentationContext(presID, abstractSyntax, transferSyntax);
        if (abstractSyntax.empty() || transferSyntax.empty())
            return DIMSE_NOVALIDPRESENTATIONCONTEXTID;

        T_DIMSE_Message request;
        std::memset(&request, 0, sizeof request);
        request.CommandField = DIMSE_C_MOVE_RQ;
        T_DIMSE_C_MoveRQ& move = request.msg.CMoveRQ;
        move.MessageID = ++m_messageId;
        move.DataSetType = DIMSE_DATASET_PRESENT;
        move.Priority = DIMSE_PRIORITY_MEDIUM;
        OFStandard::strlcpy(move.MoveDestination, moveDestinationAETitle.c_str(), sizeof move.MoveDestination);
        OFStandard::strlcpy(move.AffectedSOPClassUID, abstractSyntax.c_str(), sizeof move.AffectedSOPClassUID);
        OFCondition cond = sendDIMSEMessage(presID, &request, dataset);
        if (cond.bad())
            return cond;
        for (OFBool waitForNextResponse = OFTrue; waitForNextResponse;) {
            T_ASC_PresentationContextID pcid = presID;
            T_DIMSE_Message message;
            std::memset(&message, 0, sizeof message);
            auto response = std::make_unique<RetrieveResponse>();
            cond = receiveDIMSECommand(&pcid, &message, &response->m_statusDetail);
            if (cond.bad())
                return cond;
            if (message.CommandField != DIMSE_C_MOVE_RSP)
                return DIMSE_BADCOMMANDTYPE;
            const T_DIMSE_C_MoveRSP& answer = message.msg.CMoveRSP;
            if (answer.DataSetType != DIMSE_DATASET_NULL && (cond = dropDataSet(*this)).bad())
                return cond;
            copyRetrieveCounts(*response, answer);
            // As DCMTK does: a response the handler cannot take is left out, its verdict on waiting kept.
            cond = handleMOVEResponse(pcid, response.get(), waitForNextResponse);
            if (cond.good() && responses)
                responses->push_back(response.release());
        }
        return cond;
    }

    OFCondition handleMOVEResponse(const T_ASC_PresentationContextID presID, RetrieveResponse* response,
                                   OFBool& waitForNextResponse) override
    {
        const OFCondition cond = DcmSCU::handleMOVEResponse(presID, response, waitForNextResponse);
        if (!waitForNextResponse)
            return cond;
        const std::array<Uint16, 4> counts{response->m_numberOfRemainingSubops, response->m_numberOfCompletedSubops,
                                           response->m_numberOfFailedSubops, response->m_numberOfWarningSubops};
        if (counts != m_counts) {
            m_counts = counts;
            m_stall.progressed();
        }
        if (m_stall.endsSession(cancel, &stalled))
            waitForNextResponse = OFFalse;
        return cond;
    }

private:
    RetrieveStallClock m_stall;
    std::array<Uint16, 4> m_counts{};
    Uint16 m_messageId = 0;
};

// A retrieve the server kept answering "pending" without sending anything, in the words of its operation.
QString stalledRetrieveText(const PacsServer& server, const QString& operation, int seconds)
{
    return QStringLiteral("Сервер %1 (%2:%3) отвечает на %4 «выполняется», но за %5 с не прислал ни одного объекта — "
                          "загрузка прервана")
        .arg(server.aeTitle, server.host)
        .arg(server.port)
        .arg(operation)
        .arg(seconds);
}

QString statusHex(Uint16 status)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(status, 4, 16, QLatin1Char('0')).toUpper();
}

// The reply's attributes in one pass over its top level (thousands of replies come in a second),
// multiple values joined by backslashes, read as the reply's character set says.
StudyQueryRow decodeResponse(DcmDataset& dataset)
{
    const dicom::DicomTextDecoder decoder(dataset);
    StudyQueryRow row;
    const std::pair<DcmTagKey, QString StudyQueryRow::*> fields[] = {
        {DCM_PatientName, &StudyQueryRow::patientName},
        {DCM_PatientID, &StudyQueryRow::patientId},
        {DCM_StudyDate, &StudyQueryRow::studyDate},
        {DCM_StudyTime, &StudyQueryRow::studyTime},
        {DCM_StudyDescription, &StudyQueryRow::studyDescription},
        {DCM_ModalitiesInStudy, &StudyQueryRow::modalitiesInStudy},
        {DCM_StudyInstanceUID, &StudyQueryRow::studyInstanceUid},
        {DCM_AccessionNumber, &StudyQueryRow::accessionNumber},
        {DCM_NumberOfStudyRelatedSeries, &StudyQueryRow::numberOfSeries},
        {DCM_NumberOfStudyRelatedInstances, &StudyQueryRow::numberOfInstances},
    };
    for (DcmElement* element : dicom::elementsOf(dataset)) {
        for (const auto& [tag, field] : fields) {
            if (element->getTag() == tag) {
                row.*field = decoder.valueText(*element);
                break;
            }
        }
    }
    return row;
}

struct RetrieveOutcome
{
    bool haveFinal = false;
    Uint16 status = 0;
    int completed = 0;
    int failed = 0;
    int warning = 0;
};

RetrieveOutcome outcomeOf(const OFList<RetrieveResponse*>& responses)
{
    RetrieveOutcome outcome;
    for (RetrieveResponse* rsp : responses) {
        if (DICOM_PENDING_STATUS(rsp->m_status))
            continue;
        outcome.haveFinal = true;
        outcome.status = rsp->m_status;
        outcome.completed = rsp->m_numberOfCompletedSubops;
        outcome.failed = rsp->m_numberOfFailedSubops;
        outcome.warning = rsp->m_numberOfWarningSubops;
    }
    return outcome;
}

void freeResponses(OFList<RetrieveResponse*>& responses)
{
    for (RetrieveResponse* rsp : responses)
        delete rsp;
    responses.clear();
}

// Empty when the server says every object was delivered; otherwise what went wrong. A warning
// sub-operation still delivered its object, so only failures make a retrieve incomplete.
// receiverRefused: objects of the study that reached the program's own receiver and were refused there.
QString retrieveProblem(const QString& operation, const RetrieveOutcome& outcome, const QString& moveDestination,
                        int listenerPort = 0, int receiverRefused = 0)
{
    if (!outcome.haveFinal)
        return QStringLiteral("Сервер не прислал итоговый ответ %1").arg(operation);
    const Uint16 s = outcome.status;
    if ((s == STATUS_Success || s == STATUS_GET_Warning_SubOperationsCompleteOneOrMoreFailures) && outcome.failed == 0)
        return {};
    if (s == STATUS_Success || s == STATUS_GET_Warning_SubOperationsCompleteOneOrMoreFailures)
        return QStringLiteral("Исследование получено не полностью (%1): успешно %2, с ошибкой %3, с предупреждением %4")
            .arg(operation)
            .arg(outcome.completed)
            .arg(outcome.failed)
            .arg(outcome.warning);
    if (s == STATUS_GET_Cancel_SubOperationsTerminatedDueToCancelIndication)
        return QStringLiteral("Сервер прервал %1: получено %2, с ошибкой %3")
            .arg(operation)
            .arg(outcome.completed + outcome.warning)
            .arg(outcome.failed);
    if (s == STATUS_MOVE_Failed_MoveDestinationUnknown)
        return QStringLiteral("Сервер не знает получателя C-MOVE «%1» — добавьте его AE-title в настройки PACS-сервера")
            .arg(moveDestination);
    // On a C-MOVE this says the archive could not get the objects to the program: every one it sent
    // failed. The archive answers so when its connection to the program's own listener failed, and
    // also when the listener took the connection and refused what came, which is then the cause.
    if (s == STATUS_MOVE_Refused_OutOfResourcesSubOperations && !moveDestination.isEmpty() && receiverRefused > 0)
        return QStringLiteral("Сервер не смог передать исследование программе (%1, статус %2): её приёмник «%3» "
                              "отклонил присланные объекты (получено %4, с ошибкой %5)")
            .arg(operation, statusHex(s), moveDestination)
            .arg(outcome.completed + outcome.warning)
            .arg(outcome.failed);
    if (s == STATUS_MOVE_Refused_OutOfResourcesSubOperations && !moveDestination.isEmpty())
        return QStringLiteral("Сервер не смог передать исследование программе (%1, статус %2): не удалось подключиться "
                              "к её приёмнику «%3» на порту %4 этого компьютера (получено %5, с ошибкой %6). "
                              "Проверьте адрес и порт этого AE-заголовка в настройках PACS-сервера и что порт %4 "
                              "не закрыт брандмауэром.")
            .arg(operation, statusHex(s), moveDestination)
            .arg(listenerPort)
            .arg(outcome.completed + outcome.warning)
            .arg(outcome.failed);
    return QStringLiteral("Сервер отказал в выполнении %1: статус %2 (успешно %3, с ошибкой %4)")
        .arg(operation, statusHex(s))
        .arg(outcome.completed + outcome.warning)
        .arg(outcome.failed);
}

bool storedStatus(Uint16 status)
{
    // Warnings of a C-STORE (coercion of data elements, elements discarded, data set does not
    // match the SOP class) still mean the object was kept.
    return status == STATUS_Success || status == STATUS_STORE_Warning_CoercionOfDataElements
        || status == STATUS_STORE_Warning_ElementsDiscarded || status == STATUS_STORE_Warning_DataSetDoesNotMatchSOPClass;
}

// The SOP Class UID of a file, read into `file` without its large elements; empty when it cannot be read.
QString sopClassOf(const QString& path, DcmFileFormat& file,
                   dicom::ValueLoading loading = dicom::ValueLoading::Lazy, const dicom::RowObject& row = {},
                   dicom::RowFileTaken* taken = nullptr)
{
    dicom::FileOpening opening; // what a read of the values left in the file would be checked against
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    if (dicom::loadDicomFile(file, path, loading, &hazard, nullptr, &opening, row).bad()) {
        if (taken)
            *taken = dicom::refusalOfLoad(row, opening, hazard);
        return {};
    }
    // Sending may decode the pixels for the negotiated syntax; data DCMTK's JPEG decoder would never
    // return from is not sent at all.
    if (!dicom::compressedFramesProblem(*file.getDataset()).isEmpty())
        return {};
    OFString uid;
    if (file.getDataset()->findAndGetOFString(DCM_SOPClassUID, uid).bad())
        return {};
    return QString::fromLatin1(uid.c_str()).trimmed();
}

QString sopClassOf(const QString& path)
{
    DcmFileFormat file;
    return sopClassOf(path, file);
}

// The SOP class a file's meta header names, read without its data set (the header guarded as every
// read of it); empty when it names none.
QString metaSopClassOf(const QString& path)
{
    dicom::useReadingConventions();
    dicom::GuardedReading reading;
    dicom::GuardedFileStream stream(reading, OFFilename(QFile::encodeName(path).constData()));
    OFCondition status = stream.status();
    DcmMetaInfo meta;
    dicom::DatasetStart start;
    OFString uid;
    if (status.bad() || dicom::readMetaHeader(meta, stream, reading, start, status) != dicom::ParseHazard::None
        || status.bad() || meta.findAndGetOFString(DCM_MediaStorageSOPClassUID, uid).bad())
        return {};
    return QString::fromLatin1(uid.c_str()).trimmed();
}

// What to say when the server accepts the association but not the one service it was asked for.
QString unsupportedServiceText(const QString& abstractSyntax)
{
    if (abstractSyntax == QLatin1String(kFindStudyRoot))
        return QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-FIND)");
    if (abstractSyntax == QLatin1String(kGetStudyRoot))
        return QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-GET)");
    if (abstractSyntax == QLatin1String(kMoveStudyRoot))
        return QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-MOVE)");
    if (abstractSyntax == QLatin1String(kVerification))
        return QStringLiteral("Сервер не поддерживает C-ECHO (Verification SOP Class)");
    return {};
}

} // namespace

const QStringList& storageSopClasses()
{
    // The classes DCMTK offers as a storage user within one association, after the ones a
    // workstation sees most; a C-GET adds its query/retrieve context to them.
    static const QStringList classes = [] {
        QStringList list = commonStorageSopClasses();
        for (int i = 0; i < numberOfDcmLongSCUStorageSOPClassUIDs; ++i) {
            const QString uid = QString::fromLatin1(dcmLongSCUStorageSOPClassUIDs[i]);
            if (!list.contains(uid))
                list << uid;
        }
        while (list.size() > kMaxPresentationContexts - 1)
            list.removeLast();
        return list;
    }();
    return classes;
}

const QStringList& networkTransferSyntaxes()
{
    static const QStringList syntaxes{QStringLiteral("1.2.840.10008.1.2.1"), QStringLiteral("1.2.840.10008.1.2")};
    return syntaxes;
}

const QStringList& storageTransferSyntaxes()
{
    // Lossless compression first, so that a server that honours our order sends what it holds
    // compressed as it is; lossy syntaxes come after the uncompressed ones, so that nobody is
    // invited to compress an image lossily on our account.
    static const QStringList syntaxes{
        QStringLiteral("1.2.840.10008.1.2.4.80"), // JPEG-LS lossless
        QStringLiteral("1.2.840.10008.1.2.4.70"), // JPEG lossless, first-order prediction
        QStringLiteral("1.2.840.10008.1.2.4.57"), // JPEG lossless
        QStringLiteral("1.2.840.10008.1.2.5"),    // RLE lossless
        QStringLiteral("1.2.840.10008.1.2.1"),    // explicit VR little endian
        QStringLiteral("1.2.840.10008.1.2"),      // implicit VR little endian
        QStringLiteral("1.2.840.10008.1.2.4.50"), // JPEG baseline
        QStringLiteral("1.2.840.10008.1.2.4.51"), // JPEG extended
        QStringLiteral("1.2.840.10008.1.2.4.81"), // JPEG-LS near-lossless
    };
    return syntaxes;
}

namespace {

bool associate(DcmSCU& scu, const PacsServer& server, const PacsConfig& config, const QString& abstractSyntax,
               QString* error, Framing* framing, std::function<bool()> stopWaiting = {})
{
    if (!validPeer(server, config, error))
        return false;
    setIdentity(scu, server, config);
    scu.addPresentationContext(utf8(abstractSyntax), transferSyntaxList());
    return negotiate(scu, error, unsupportedServiceText(abstractSyntax), framing, std::move(stopWaiting));
}

} // namespace

bool openAssociation(DcmSCU& scu, const PacsServer& server, const PacsConfig& config,
                     const QString& abstractSyntax, QString* error)
{
    return associate(scu, server, config, abstractSyntax, error, nullptr);
}

QString incompleteSearchText(int shownRows)
{
    return QStringLiteral("Сервер вернул не все результаты (%1 из них показано) — уточните запрос.").arg(shownRows);
}

QList<StudyQueryRow> findStudies(const PacsServer& server, const PacsConfig& config, const StudyQuery& query,
                                 QString* error, bool* incomplete, const std::atomic_bool* cancel)
{
    QList<StudyQueryRow> rows;
    FindStudiesSCU scu;
    scu.cancel = cancel;
    Framing framing;
    const auto cancelled = [cancel] { return cancel && cancel->load(); };
    if (!associate(scu, server, config, QString::fromLatin1(kFindStudyRoot), error, &framing,
                   cancel ? std::function<bool()>(cancelled) : std::function<bool()>()))
        return rows;
    const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(kFindStudyRoot, "");
    if (pcid == 0) {
        setError(error, QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-FIND)"));
        scu.releaseAssociation();
        return rows;
    }

    QString dateKey;
    if (!query.dateFrom.isEmpty() || !query.dateTo.isEmpty())
        dateKey = QStringLiteral("%1-%2").arg(query.dateFrom, query.dateTo);

    DcmDataset identifier;
    // Non-ASCII keys travel as UTF-8, and the server must be told so, or it matches the bytes
    // against its own character set and finds nothing.
    if (!isAscii(query.patientName) || !isAscii(query.patientId) || !isAscii(query.modalities))
        identifier.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    identifier.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    identifier.putAndInsertString(DCM_PatientName,
                                  utf8(query.patientName.isEmpty() ? QStringLiteral("*") : query.patientName).c_str());
    identifier.putAndInsertString(DCM_PatientID, utf8(query.patientId).c_str());
    identifier.putAndInsertString(DCM_StudyDate, utf8(dateKey).c_str());
    identifier.putAndInsertString(DCM_StudyTime, "");
    identifier.putAndInsertString(DCM_StudyDescription, "");
    identifier.putAndInsertString(DCM_StudyInstanceUID, "");
    identifier.putAndInsertString(DCM_ModalitiesInStudy, utf8(query.modalities).c_str());
    identifier.putAndInsertString(DCM_AccessionNumber, "");
    identifier.putAndInsertString(DCM_NumberOfStudyRelatedSeries, "");
    identifier.putAndInsertString(DCM_NumberOfStudyRelatedInstances, "");

    scu.rowOf = [](DcmDataset& match) -> std::optional<StudyQueryRow> {
        StudyQueryRow row = decodeResponse(match);
        if (row.studyInstanceUid.isEmpty())
            return std::nullopt;
        return row;
    };
    OFList<QRResponse*> responses;
    const OFCondition cond = scu.sendFINDRequest(pcid, &identifier, &responses);
    closeAssociation(scu, cond);
    rows = std::move(scu.rows);

    Uint16 finalStatus = STATUS_Success;
    const bool haveFinal = !responses.empty();
    for (QRResponse* rsp : responses) {
        finalStatus = rsp->m_status;
        delete rsp;
    }

    // We never cancel a search: a cancel status means the server stopped matching on its own, as
    // servers that answer at most so many matches do.
    QString problem;
    if (cond.bad())
        problem = exchangeText(cond, framing);
    else if (haveFinal && finalStatus == STATUS_FIND_Cancel_MatchingTerminatedDueToCancelRequest)
        problem = QStringLiteral("Сервер прекратил поиск досрочно: статус %1").arg(statusHex(finalStatus));
    else if (haveFinal && finalStatus != STATUS_Success)
        problem = QStringLiteral("Сервер отказал в выполнении C-FIND: статус %1").arg(statusHex(finalStatus));
    else if (scu.refusedResponses > 0)
        problem = QStringLiteral("Отклонено ответов сервера на C-FIND: %1. %2")
                      .arg(scu.refusedResponses)
                      .arg(scu.lastRefusal);
    if (!problem.isEmpty()) {
        setError(error, problem);
        if (incomplete && !rows.isEmpty())
            *incomplete = true;
    }
    return rows;
}

bool getStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid,
              const QString& outputDirectory, int* receivedCount, QString* error,
              std::function<void(const QString&)> onFileStored, const std::atomic_bool* cancel,
              std::shared_ptr<ReceivedObjectAdmission> admission)
{
    if (!validPeer(server, config, error))
        return false;
    GetStudySCU scu(outputDirectory, studyUid, std::move(onFileStored));
    scu.cancel = cancel;
    scu.admission = std::move(admission);
    setIdentity(scu, server, config);
    scu.addPresentationContext(kGetStudyRoot, transferSyntaxList());
    // The objects come back as C-STORE requests from the server on this association, so we
    // must offer to play the storage SCP role; without it a conforming server refuses every
    // sub-operation.
    const OFList<OFString> storageSyntaxes = transferSyntaxList(storageTransferSyntaxes());
    for (const QString& sopClass : storageSopClasses())
        scu.addPresentationContext(utf8(sopClass), storageSyntaxes, ASC_SC_ROLE_SCP);
    Framing framing;
    if (!negotiate(scu, error, unsupportedServiceText(QString::fromLatin1(kGetStudyRoot)), &framing))
        return false;

    const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(kGetStudyRoot, "");
    if (pcid == 0) {
        setError(error, QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-GET)"));
        scu.releaseAssociation();
        return false;
    }

    DcmDataset identifier;
    identifier.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    identifier.putAndInsertString(DCM_StudyInstanceUID, utf8(studyUid).c_str());

    OFList<RetrieveResponse*> responses;
    const OFCondition cond = scu.sendCGETRequest(pcid, &identifier, &responses);
    const bool cancelled = cancel && cancel->load();
    if (cancelled || scu.stalled) {
        // The server may still be sending; a release would wait for it.
        if (scu.isConnected())
            scu.abortAssociation();
        freeResponses(responses);
        if (receivedCount)
            *receivedCount = scu.receivedCount;
        setError(error, cancelled ? retrieveCancelledText()
                                  : stalledRetrieveText(server, QStringLiteral("C-GET"), int(scu.getDIMSETimeout())));
        return false;
    }
    closeAssociation(scu, cond);
    const RetrieveOutcome outcome = outcomeOf(responses);
    freeResponses(responses);

    if (receivedCount)
        *receivedCount = scu.receivedCount;
    // What went wrong here is told before what the server reports about it.
    if (scu.diskFull) {
        const int sent = outcome.haveFinal ? outcome.completed + outcome.failed + outcome.warning
                                           : scu.receivedCount + scu.failedWrites + scu.foreignObjects;
        setError(error, localDiskFullText(outputDirectory, scu.receivedCount, sent));
        return false;
    }
    if (cond.bad()) {
        setError(error, exchangeText(cond, framing));
        return false;
    }
    if (scu.foreignObjects > 0 && scu.receivedCount == 0) {
        setError(error, foreignStudyText(QStringLiteral("C-GET"), scu.foreignStudyUid, studyUid));
        return false;
    }
    QString problem = retrieveProblem(QStringLiteral("C-GET"), outcome, {});
    if (problem.isEmpty() && scu.failedWrites > 0)
        problem = QStringLiteral("Исследование получено не полностью (C-GET): успешно %1, с ошибкой %2")
                      .arg(scu.receivedCount)
                      .arg(scu.failedWrites);
    if (!problem.isEmpty()) {
        if (scu.failedWrites > 0)
            problem += QStringLiteral(". ") + scu.lastWriteError;
        if (scu.foreignObjects > 0)
            problem += QStringLiteral(". Отклонено объектов другого исследования (%1): %2")
                           .arg(scu.foreignStudyUid)
                           .arg(scu.foreignObjects);
        if (scu.reusedUids > 0)
            problem += QStringLiteral(". ") + reusedUidsText(scu.reusedUids);
        setError(error, problem);
        return false;
    }
    return true;
}

QString foreignStudyText(const QString& operation, const QString& sentStudyUid, const QString& askedStudyUid)
{
    return QStringLiteral("Сервер прислал по %1 объекты другого исследования (%2) вместо запрошенного (%3); "
                          "они не сохранены.")
        .arg(operation, sentStudyUid, askedStudyUid);
}

QString retrieveCancelledText()
{
    return QStringLiteral("Загрузка отменена");
}

bool moveStudy(const PacsServer& server, const PacsConfig& config, const QString& studyUid, QString* error,
               const std::atomic_bool* cancel, const std::function<int()>& receiverRefused)
{
    MoveStudySCU scu;
    scu.cancel = cancel;
    Framing framing;
    if (!associate(scu, server, config, QString::fromLatin1(kMoveStudyRoot), error, &framing))
        return false;
    const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(kMoveStudyRoot, "");
    if (pcid == 0) {
        setError(error, QStringLiteral("Сервер не поддерживает Study Root Query/Retrieve (C-MOVE)"));
        scu.releaseAssociation();
        return false;
    }

    DcmDataset identifier;
    identifier.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    identifier.putAndInsertString(DCM_StudyInstanceUID, utf8(studyUid).c_str());
    const QString destination =
        config.moveDestinationAeTitle.isEmpty() ? config.localAeTitle : config.moveDestinationAeTitle;

    OFList<RetrieveResponse*> responses;
    const OFCondition cond = scu.sendMOVERequest(pcid, utf8(destination), &identifier, &responses);
    const bool cancelled = cancel && cancel->load();
    if (cancelled || scu.stalled) {
        if (scu.isConnected())
            scu.abortAssociation();
        freeResponses(responses);
        setError(error, cancelled ? retrieveCancelledText()
                                  : stalledRetrieveText(server, QStringLiteral("C-MOVE"), int(scu.getDIMSETimeout())));
        return false;
    }
    closeAssociation(scu, cond);
    const RetrieveOutcome outcome = outcomeOf(responses);
    freeResponses(responses);

    if (cond.bad()) {
        setError(error, exchangeText(cond, framing));
        return false;
    }
    // Read only now: the listener refuses an object before the archive hears of it, and the archive
    // sends its final answer after the last of them.
    const QString problem = retrieveProblem(QStringLiteral("C-MOVE"), outcome, destination, config.localPort,
                                            receiverRefused ? receiverRefused() : 0);
    if (!problem.isEmpty()) {
        setError(error, problem);
        return false;
    }
    return true;
}

bool sendFiles(const PacsServer& server, const PacsConfig& config, const QStringList& files, QString* error,
               std::function<void(int, int)> progress)
{
    return sendFiles(server, config, dicom::filesForThemselves(files), error, std::move(progress), nullptr);
}

bool sendFiles(const PacsServer& server, const PacsConfig& config, const QList<dicom::RowFile>& files,
               QString* error, std::function<void(int, int)> progress, int* otherObjects, int* changedFiles)
{
    if (otherObjects)
        *otherObjects = 0;
    if (changedFiles)
        *changedFiles = 0;
    if (files.isEmpty()) {
        setError(error, QStringLiteral("Нет файлов для отправки"));
        return false;
    }
    if (!validPeer(server, config, error))
        return false;

    // Propose the usual classes plus every class the files carry, each once: the class a file's meta
    // header names, which is its data set's in a file written as the standard asks; the data set is
    // read for it only without one (each file is read whole once, as it is sent).
    QStringList abstractSyntaxes = commonStorageSopClasses();
    for (const dicom::RowFile& file : files) {
        QString sopClass = metaSopClassOf(file.path);
        if (sopClass.isEmpty())
            sopClass = sopClassOf(file.path);
        if (!sopClass.isEmpty() && !abstractSyntaxes.contains(sopClass))
            abstractSyntaxes.append(sopClass);
    }

    DcmSCU scu;
    setIdentity(scu, server, config);
    // Files stored compressed are decompressed to the negotiated transfer syntax on the way.
    scu.setDatasetConversionMode(OFTrue);
    const OFList<OFString> syntaxes = transferSyntaxList();
    for (const QString& sopClass : abstractSyntaxes)
        scu.addPresentationContext(utf8(sopClass), syntaxes);
    Framing framing;
    if (!negotiate(scu, error, {}, &framing))
        return false;

    const int total = static_cast<int>(files.size());
    int sent = 0;
    int failed = 0;
    OFCondition last = EC_Normal;
    for (int i = 0; i < total; ++i) {
        const QString& path = files.at(i).path;
        bool ok = false;
        if (!associationLost(last)) {
            // Read again (the file may have changed meanwhile), and sent as read and checked here, not
            // read a third time by DCMTK: whole, since a value left in the file would be read during the
            // send, and a file replaced by then would go out without its pixels yet count as sent. What
            // is read must be the row's object: the listing is older than this read.
            DcmFileFormat file;
            dicom::RowFileTaken taken = dicom::RowFileTaken::Taken;
            const QString sopClass =
                sopClassOf(path, file, dicom::ValueLoading::Whole, files.at(i).object, &taken);
            if (otherObjects && taken == dicom::RowFileTaken::OtherObject)
                ++*otherObjects;
            if (changedFiles && taken == dicom::RowFileTaken::Changed)
                ++*changedFiles;
            const T_ASC_PresentationContextID pcid =
                sopClass.isEmpty() ? T_ASC_PresentationContextID(0) : scu.findPresentationContextID(utf8(sopClass), "");
            if (pcid != 0) {
                Uint16 status = 0;
                const OFCondition cond = scu.sendSTORERequest(pcid, OFFilename(), file.getDataset(), status, "", 0);
                ok = cond.good() && storedStatus(status);
                if (associationLost(cond))
                    last = cond; // the rest cannot go; do not wait a time-out for each of them
            }
        }
        ok ? ++sent : ++failed;
        if (progress)
            progress(i + 1, total);
    }
    closeAssociation(scu, last);

    if (failed == 0)
        return true;
    QString text = QStringLiteral("Отправлено %1 из %2 — не удалось отправить %3 файлов").arg(sent).arg(total).arg(failed);
    if (associationLost(last))
        text += QStringLiteral(" (%1)").arg(exchangeText(last, framing));
    setError(error, text);
    return false;
}

bool echoServer(const PacsServer& server, const PacsConfig& config, QString* error)
{
    DcmSCU scu;
    Framing framing;
    if (!associate(scu, server, config, QString::fromLatin1(kVerification), error, &framing))
        return false;
    const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(kVerification, "");
    if (pcid == 0) {
        setError(error, QStringLiteral("Сервер не поддерживает C-ECHO (Verification SOP Class)"));
        scu.releaseAssociation();
        return false;
    }
    const OFCondition cond = scu.sendECHORequest(pcid);
    closeAssociation(scu, cond);
    if (cond.bad()) {
        setError(error, exchangeText(cond, framing));
        return false;
    }
    return true;
}

} // namespace pacs
