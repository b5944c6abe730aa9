#pragma once
// An object that arrives over the network is first received as it travels, unparsed, into a hidden
// temporary file, and parsed only once that file has been checked: DCMTK's parser recurses once per
// level of nested sequences, and a peer could otherwise crash the receiving thread with a data set
// of a few hundred kilobytes.

#include "dicom/DicomNesting.h"
#include "platform/ContentDigest.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class DcmFileFormat;
class DcmOutputStream;
class OFCondition;

namespace pacs {

// The bytes written into a received file, taken as they pass on their way to it: their digest is the
// file's when `size` is the file's whole size, and the file need not be read again for it.
struct WrittenBytes
{
    platform::ContentDigest digest;
    qint64 size = 0;

    void add(const void* data, qint64 length)
    {
        digest.add(static_cast<const char*>(data), length);
        size += length;
    }
};

// The name of a hidden temporary file in the first of the folders where one can be created (the
// folder is made when missing), otherwise in the system's temporary folder. The receive creates
// the file; it is removed with the object, or by remove().
class ReceivedObjectFile
{
public:
    // made: the file is created at once, empty and kept open, for an object yet to come: a receiver
    // makes it while its sender readies that object, since on a busy file system making a file can
    // cost more than receiving the object.
    enum class Creation { ByTheReceive, Made };
    explicit ReceivedObjectFile(const QStringList& folders, Creation creation = Creation::ByTheReceive);
    // The file made ahead for an object to be received into these folders, or, when there is none
    // fit for them, a new name; `madeAhead` is left empty.
    static std::unique_ptr<ReceivedObjectFile> forObject(std::unique_ptr<ReceivedObjectFile>& madeAhead,
                                                         const QStringList& folders);
    ~ReceivedObjectFile();
    ReceivedObjectFile(const ReceivedObjectFile&) = delete;
    ReceivedObjectFile& operator=(const ReceivedObjectFile&) = delete;

    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    // The folders it was asked for.
    const QStringList& folders() const { return m_folders; }
    // Why no temporary file could be made.
    QString errorString() const { return m_error; }
    // The made file's open descriptor, handed over to the receive (which closes it); -1 when none.
    int takeDescriptor();
    // Removes the file (through the door, by its name of the receive's own) and forgets it.
    void remove();
    // Forgets the file, which has been given its name for good: nothing is left to remove.
    void release();
    // What the receive wrote into the file.
    WrittenBytes& written() { return m_written; }

private:
    WrittenBytes m_written;
    QStringList m_folders;
    QString m_path;
    QString m_error;
    int m_descriptor = -1;
};

// What an object is received through into its temporary file: `file` (owned), grown no further than
// the store of `folder` can spare, its free space less the reserve, looked at again as the file grows,
// since a sender need not say how long its object is and may send without end. Past that the rest is
// taken and dropped, so that the receive stays in step with the sender (DCMTK's own way on a failed
// write waits for a further fragment when the last one failed), and refused() says so. The file is
// closed as soon as it is refused, and `refusing` is told then, while the rest is still to come: the
// object is not to hold the disk, nor its sender to wait for the answer, for as long as it is sent.
// What reaches the file is added to `written`, when given.
class StoreBoundStream
{
public:
    StoreBoundStream(DcmOutputStream* file, const QString& folder, std::function<void()> refusing = {},
                     WrittenBytes* written = nullptr);
    ~StoreBoundStream();
    StoreBoundStream(const StoreBoundStream&) = delete;
    StoreBoundStream& operator=(const StoreBoundStream&) = delete;

    DcmOutputStream* stream();
    // True once a write was refused for want of room.
    bool refused() const;

private:
    struct Bounded;
    std::unique_ptr<Bounded> m_bounded;
};

// Parses a received file once it has passed the checks that files read from disk pass: nesting
// within the parser's reach, readable structure. Large values stay in the file until they are
// written. Null with `error` set when the object must be refused.
std::unique_ptr<DcmFileFormat> openReceivedObject(const QString& path, QString* error);

// Why an object that came over the network (a received file, a search answer) was refused: the
// hazard the reading found, or the reader's own condition.
QString refusalText(dicom::ParseHazard hazard, const OFCondition& cond);

} // namespace pacs
