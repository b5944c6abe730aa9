#pragma once
// What tells the file the program wrote from any other file under its name, wherever the data folder
// is reached from or copied to: a digest of its bytes, taken as the copy is written (the writers
// stream the bytes anyway) and kept with the copy's record. Path, size and inode do not do it: a
// user's file may come under the name with the same size, and a copied data folder holds the very
// bytes in other files.
//
// A new copy is recorded by XXH3-128 (16 bytes): the proof only has to tell the program's copy from
// another file at its name, which nobody gains by forging, and a cryptographic digest cost a sixth of
// the processor time of each received object. Records and marks of earlier versions hold SHA-256
// (32 bytes) and are still proven by it, never rewritten: a digest's length says which it is, and one
// of any other length proves nothing. The kind is chosen here alone, so that what a writer records is
// what the proof takes.
//
// A copy also carries its digest in a mark of its own (an extended attribute), so that a copy whose
// record was never written (the program killed between the copy and its row) is still known as the
// program's by the same proof. A file system that keeps no such marks leaves the copy unmarked.

#include <QByteArray>
#include <QString>

#include <memory>

namespace platform {

class ContentDigest
{
  public:
    ContentDigest();
    ~ContentDigest();
    ContentDigest(const ContentDigest&) = delete;
    ContentDigest& operator=(const ContentDigest&) = delete;

    void add(const char* data, qint64 size);
    // The digest of everything added, of the kind every new copy is recorded by; the object starts anew.
    QByteArray result();
    // The digest of everything added so far; more may be added after.
    QByteArray resultSoFar() const;
    // Adds the bytes an open descriptor holds from `from` up to `to` (to its end when -1); the offset
    // reached (short of `to` at the file's end), or -1 when they cannot be read.
    qint64 addRead(int fd, qint64 from, qint64 to = -1);

    // Of the bytes an open descriptor holds, read from its start; empty when they cannot be read.
    static QByteArray ofOpen(int fd);
    // Of the file at the path, a link not followed; empty when it cannot be read.
    static QByteArray of(const QString& path);
    // Whether the bytes an open descriptor holds, read from its start, are those the recorded digest
    // (of this or an earlier version) names.
    static bool proves(int fd, const QByteArray& recorded);

    // Marks the open file as the copy the program wrote with these bytes. False when the file system
    // keeps no marks, or refuses.
    static bool mark(int fd, const QByteArray& digest);
    // The digest a file's mark records, a link not followed; empty when it bears none.
    static QByteArray markOf(const QString& path);
    // The file's mark, when its bytes are still the ones it records; empty otherwise.
    static QByteArray provenMark(const QString& path);

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace platform
