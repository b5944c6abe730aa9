#pragma once
// The messages that travel inside tunnel frames between a connecting workstation and a hosting one:
// compact JSON objects with a "type" key, or raw file chunks after a "fileHeader". Replies carry no
// request id: one request is outstanding per connection and the first frame after it is its reply.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class QIODevice;
struct evp_md_ctx_st;

namespace db {
struct StudyRecord;
}
namespace pacs {
struct StudyQueryRow;
struct PacsServer;
} // namespace pacs

namespace remoteproto {

// A file is streamed as raw frames of at most this many bytes.
constexpr qint64 fileChunkBytes = 1048576;

// "sha256" of a "fileHeader": the SHA-256 of the whole transfer copy as 64 lower-case hexadecimal digits.
bool isSha256Hex(const QByteArray& text);

// What a file index stands for. A "fileList" carries, beside "count", "sopInstanceUids": the SOP
// Instance UID of the object at each index. A "getFile" that names the object it was given there
// ("sopInstanceUid") is served that object wherever the host's list holds it now, and is refused with
// a lasting error when the study no longer holds it; one without (an older client) gets the index as
// the list stands now. Every "fileHeader" names the object it carries. A host without these keys (an
// older one) serves by index and names nothing.
//
// An "error" with "final": true says that asking again now gets the same answer (the study changed, or
// is still being received): the client gives the file up at once instead of trying it again.
QJsonObject finalErrorMessage(const QString& text);

// SHA-256 through OpenSSL, which uses the processor's SHA instructions: many times faster than
// QCryptographicHash, and it is fed every byte of every transfer.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(QByteArrayView bytes);
    // Reads the device to its end; false on a read error.
    bool add(QIODevice* device);
    // 64 lower-case hexadecimal digits; empty when the library failed.
    QByteArray hex();

private:
    evp_md_ctx_st* context;
    bool failed = false;
};

// {"type": type} plus the given keys.
QJsonObject message(const QString& type, const QJsonObject& keys = {});
QJsonObject errorMessage(const QString& text);
QByteArray toFrame(const QJsonObject& message);
// The plaintext as a JSON object; false when it is not one (broken JSON, an array, raw bytes).
bool parseMessage(const QByteArray& plaintext, QJsonObject* message);
QString typeOf(const QJsonObject& message);

// Missing keys read as the given default; numbers written as doubles are truncated.
QString readString(const QJsonObject& message, const QString& key);
int readInt(const QJsonObject& message, const QString& key, int missing);
qint64 readInt64(const QJsonObject& message, const QString& key);

// Element of "studies": uid, patient, date, description, modalities and the two counts as numbers.
QJsonObject studyObject(const db::StudyRecord& study);
// Element of "servers": the position in the configuration and the description, or the host.
QJsonObject serverObject(int index, const pacs::PacsServer& server);
// Element of "results": every value a string, the counts too.
QJsonObject pacsResultObject(const pacs::StudyQueryRow& row);

} // namespace remoteproto
