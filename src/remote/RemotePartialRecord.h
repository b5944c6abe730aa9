#pragma once
// The download worker's record of a partial it makes, "<name>.part" beside "<name>" in the download
// folder: made empty before the file (a file found beside an empty record is the one the worker was
// making when it was stopped, and is still empty), then naming the file it made, so that a later run
// resumes that file and no other, and a retry that takes out its own tries' objects removes it.
//
// What names the file: its identity (device and inode), which no copy keeps; one random mark the record
// and the file both bear (an extended attribute), which `cp -a` keeps and `cp -r`, a file manager or a
// FAT disk drops; and what its bytes were, which every copy keeps: the record says how many bytes the
// worker had written and their digest, and, while it writes more, up to where and with what digest, so
// that a copy of the data folder made after the worker was killed at any moment still holds a record
// that proves its partial. Records of earlier versions name the file by identity (and mark) alone.

#include "platform/ContentDigest.h"
#include "platform/OwnFileDoor.h"

#include <QByteArray>

namespace remotepartial {

struct Record
{
    platform::Descriptor fd; // stays open for rewriting it
    bool making = false;
    platform::FileId file;
    QByteArray mark;
    // Bytes written and their digest, and the end of the write under way with the digest the file
    // has once it is done (both -1 when the record does not say).
    qint64 written = -1;
    QByteArray writtenDigest;
    qint64 writing = -1;
    QByteArray writingDigest;
};

// The record under `name` in the folder: a plain file of one name; none (fd < 0) otherwise.
void read(int folder, const QByteArray& name, Record* record);

// Whether the open file, of one name, is the one the record names the worker's: the file being made
// (still empty), the file it names, its copy bearing the record's mark, or a file whose bytes are what
// the record says the worker had written, or was writing when it stopped; or an empty one beside the
// record, which has nothing to lose.
bool proves(const Record& record, int file);

// What the worker has written into its partial: kept as it writes, so that the record can say it before
// each write.
class Progress
{
public:
    // Of the bytes the open file holds now; false when they cannot be read.
    bool reset(int file);
    // -1 once it no longer knows (a write announced that the file did not get).
    qint64 size() const { return m_size; }
    QByteArray digest() const { return m_sizeDigest; }
    // Announces in the record the bytes about to be appended; false when the record cannot be written.
    bool announce(Record* record, const char* data, qint64 size);

private:
    platform::ContentDigest m_digest;
    qint64 m_size = -1;
    QByteArray m_sizeDigest;
};

// Records the open file as the partial the worker made, holding the bytes `progress` has: both marked
// first (a file system that keeps no marks leaves them unmarked), then its identity and bytes written.
bool write(Record* record, int file, const Progress& progress);

// Before a try writes into the open file: `progress` takes what the file holds now, unless it holds what
// `progress` has already (a try that found it damaged emptied it), and the record is written again
// unless it says just that (a partial made now). False when either cannot be done.
bool catchUp(Record* record, int file, Progress* progress);

} // namespace remotepartial
