#include "remote/RemoteProtocol.h"

#include "db/StudyRecord.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"

#include <QIODevice>
#include <QJsonDocument>

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace remoteproto {

bool isSha256Hex(const QByteArray& text)
{
    return text.size() == 64
           && std::all_of(text.cbegin(), text.cend(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Sha256::Sha256()
    : context(EVP_MD_CTX_new())
{
    failed = !context || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::add(QByteArrayView bytes)
{
    if (!failed && !bytes.isEmpty())
        failed = EVP_DigestUpdate(context, bytes.data(), size_t(bytes.size())) != 1;
}

bool Sha256::add(QIODevice* device)
{
    for (;;) {
        const QByteArray block = device->read(fileChunkBytes);
        if (block.isEmpty())
            return device->atEnd();
        add(block);
    }
}

QByteArray Sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed || EVP_DigestFinal_ex(context, digest, &length) != 1)
        return {};
    failed = true; // finished: a second call has nothing left to give
    return QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex();
}

QJsonObject message(const QString& type, const QJsonObject& keys)
{
    QJsonObject result = keys;
    result.insert(QStringLiteral("type"), type);
    return result;
}

QJsonObject errorMessage(const QString& text)
{
    return message(QStringLiteral("error"), {{QStringLiteral("message"), text}});
}

QJsonObject finalErrorMessage(const QString& text)
{
    QJsonObject result = errorMessage(text);
    result.insert(QStringLiteral("final"), true);
    return result;
}

QByteArray toFrame(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

bool parseMessage(const QByteArray& plaintext, QJsonObject* message)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(plaintext, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    if (message)
        *message = doc.object();
    return true;
}

QString typeOf(const QJsonObject& message)
{
    return message.value(QStringLiteral("type")).toString();
}

QString readString(const QJsonObject& message, const QString& key)
{
    return message.value(key).toString();
}

int readInt(const QJsonObject& message, const QString& key, int missing)
{
    return message.value(key).toInt(missing);
}

qint64 readInt64(const QJsonObject& message, const QString& key)
{
    const double value = message.value(key).toDouble(0.0);
    // NaN cannot come from JSON, but out-of-range doubles can, and converting them is undefined.
    if (!std::isfinite(value))
        return 0;
    if (value >= 9.2e18)
        return std::numeric_limits<qint64>::max();
    if (value <= -9.2e18)
        return std::numeric_limits<qint64>::min();
    return qint64(value);
}

QJsonObject studyObject(const db::StudyRecord& study)
{
    return {
        {QStringLiteral("uid"), study.studyInstanceUid},
        {QStringLiteral("patientName"), study.patientName},
        {QStringLiteral("patientId"), study.patientId},
        {QStringLiteral("studyDate"), study.studyDate},
        {QStringLiteral("studyDescription"), study.studyDescription},
        {QStringLiteral("modalities"), study.modalities},
        {QStringLiteral("seriesCount"), study.seriesCount},
        {QStringLiteral("instanceCount"), study.instanceCount},
    };
}

QJsonObject serverObject(int index, const pacs::PacsServer& server)
{
    return {
        {QStringLiteral("index"), index},
        {QStringLiteral("name"), server.description.isEmpty() ? server.host : server.description},
    };
}

QJsonObject pacsResultObject(const pacs::StudyQueryRow& row)
{
    return {
        {QStringLiteral("uid"), row.studyInstanceUid},
        {QStringLiteral("patientName"), row.patientName},
        {QStringLiteral("patientId"), row.patientId},
        {QStringLiteral("studyDate"), row.studyDate},
        {QStringLiteral("studyDescription"), row.studyDescription},
        {QStringLiteral("modalities"), row.modalitiesInStudy},
        {QStringLiteral("numberOfSeries"), row.numberOfSeries},
        {QStringLiteral("numberOfInstances"), row.numberOfInstances},
    };
}

} // namespace remoteproto
