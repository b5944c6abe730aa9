// The door every removal and rename-over in the program's folders passes: it changes a file only when
// something proves it the program's, the file is that very one by its identity however the path
// reaches it, and it lies in an own folder once links are resolved.
#include "platform/ContentDigest.h"
#include "platform/OwnFileDoor.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/xattr.h>

using platform::FileId;
using platform::OwnFileDoor;
using platform::OwnProof;

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size(), qPrintable(path));
}

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// {root} is the test's folder; "data" holds the own folder "data/store", "link" leads to "data", and
// "out" lies beside them. {rel} is {root} relative to the working folder.
QString placed(QString text, const QTemporaryDir& root)
{
    return text.replace("{rel}", QDir::current().relativeFilePath(root.path())).replace("{root}", root.path());
}

} // namespace

class TestOwnFileDoor : public QObject
{
    Q_OBJECT

private slots:
    // The file data/store/a/x.dcm (beside it a/y.dcm, and out/z.dcm outside) is asked to go.
    void removal_data()
    {
        QTest::addColumn<QString>("folder"); // the own folder, as the caller names it
        QTest::addColumn<QString>("path");   // what is to go
        QTest::addColumn<QString>(
            "proof"); // recorded:<path>[:<size>[:<the bytes recorded>[:<their digest's kind>]]], made:<path>,
                      // name, none; the kind: as copies are recorded now, sha256 as earlier versions
                      // recorded them, cut to 8 bytes
        QTest::addColumn<QString>("setUp");  // what else the row makes first
        QTest::addColumn<int>("outcome");
        const int done = int(OwnFileDoor::Outcome::Done), refused = int(OwnFileDoor::Outcome::Refused);
        const QString x = "{root}/data/store/a/x.dcm";
        QTest::newRow("recorded copy") << "{root}/data/store" << x << "recorded:" + x << "" << done;
        // One file by any path: the folder through a link, relative, with "..", the record by another path.
        QTest::newRow("folder through a link") << "{root}/link/store" << "{root}/link/store/a/x.dcm"
                                               << "recorded:{root}/link/store/a/x.dcm" << "" << done;
        QTest::newRow("relative folder and path") << "{rel}/data/store" << "{rel}/data/store/a/x.dcm"
                                                  << "recorded:{rel}/data/store/a/x.dcm" << "" << done;
        QTest::newRow("recorded through a link, removed by its plain path") << "{root}/data/store" << x
                                                                             << "recorded:{root}/link/store/a/../a/x.dcm" << "" << done;
        // x.dcm holds its own 18-byte name: a file of another size at the recorded path is not the one written.
        QTest::newRow("recorded copy of the size recorded") << "{root}/data/store" << x << "recorded:" + x + ":18" << "" << done;
        QTest::newRow("another file moved onto a recorded copy's name") << "{root}/data/store" << x << "recorded:" + x + ":5" << ""
                                                                        << refused;
        QTest::newRow("record names another file") << "{root}/data/store" << x << "recorded:{root}/data/store/a/y.dcm" << "" << refused;
        // The bytes the program wrote: a file of the same size in other bytes is not the one written.
        QTest::newRow("recorded copy of the bytes recorded")
            << "{root}/data/store" << x << "recorded:" + x + ":18:data/store/a/x.dcm"
            << "" << done;
        QTest::newRow("another file of the recorded size under the copy's name")
            << "{root}/data/store" << x << "recorded:" + x + ":18:data/store/a/y.dcm"
            << "" << refused;
        // A record of an earlier version, by SHA-256: still proven by it, and no other file under the name.
        QTest::newRow("recorded copy of the bytes an earlier version recorded")
            << "{root}/data/store" << x << "recorded:" + x + ":18:data/store/a/x.dcm:sha256" << "" << done;
        QTest::newRow("another file of the recorded size under the name an earlier version recorded")
            << "{root}/data/store" << x << "recorded:" + x + ":18:data/store/a/y.dcm:sha256" << "" << refused;
        // A digest of neither kind proves nothing, not even of the very bytes it was cut from.
        QTest::newRow("recorded digest of the bytes recorded, cut short")
            << "{root}/data/store" << x << "recorded:" + x + ":18:data/store/a/x.dcm:cut" << "" << refused;
        QTest::newRow("made here") << "{root}/data/store" << x << "made:" + x << "" << done;
        QTest::newRow("made here, replaced since") << "{root}/data/store" << x << "made:{root}/data/store/a/y.dcm" << "" << refused;
        QTest::newRow("nothing proves it") << "{root}/data/store" << x << "none" << "" << refused;
        QTest::newRow("a link in the file's place") << "{root}/data/store" << "{root}/data/store/a/l.dcm" << "name"
                                                    << "link {root}/data/store/a/l.dcm {root}/out/z.dcm" << refused;
        QTest::newRow("climbing out with ..") << "{root}/data/store" << "{root}/data/store/../../out/z.dcm" << "name" << "" << refused;
        QTest::newRow("own folder leads out of the data folder") << "{root}/data/store2" << "{root}/data/store2/z.dcm" << "name"
                                                                 << "link {root}/data/store2 {root}/out" << refused;
        // A link to a copy of the store kept inside the data folder: the program's folder is never a link.
        QTest::newRow("own folder a link to a copy inside the data folder")
            << "{root}/data/store2"
            << "{root}/data/store2/a/x.dcm"
            << "name"
            << "link {root}/data/store2 {root}/data/store" << refused;
        QTest::newRow("a folder under the name") << "{root}/data/store" << "{root}/data/store/a/d.dcm" << "name"
                                                 << "dir {root}/data/store/a/d.dcm" << int(OwnFileDoor::Outcome::Failed);
        QTest::newRow("nothing there") << "{root}/data/store" << "{root}/data/store/a/gone.dcm" << "name" << ""
                                       << int(OwnFileDoor::Outcome::Gone);
    }
    void removal()
    {
        QFETCH(QString, folder);
        QFETCH(QString, path);
        QFETCH(QString, proof);
        QFETCH(QString, setUp);
        QFETCH(int, outcome);
        QTemporaryDir root;
        for (const char* name : {"data/store/a/x.dcm", "data/store/a/y.dcm", "out/z.dcm"})
            writeFile(root.filePath(QLatin1String(name)), name);
        QVERIFY(QFile::link(root.filePath("data"), root.filePath("link")));
        const QStringList made = placed(setUp, root).split(' ');
        if (made.first() == "link")
            QVERIFY(QFile::link(made.at(2), made.at(1)));
        else if (made.first() == "dir")
            QVERIFY(QDir().mkpath(made.at(1)));
        const QStringList everything{root.filePath("data/store/a/x.dcm"), root.filePath("data/store/a/y.dcm"),
                                     root.filePath("out/z.dcm")};
        QSet<QString> before;
        for (const QString& file : everything)
            if (QFileInfo::exists(file))
                before << file;

        const OwnFileDoor door({placed(folder, root)}, placed(QFileInfo(folder).path(), root));
        const QString kind = proof.section(':', 0, 0), of = placed(proof.section(':', 1, 1), root);
        const qint64 size = proof.section(':', 2, 2).isEmpty() ? -1 : proof.section(':', 2, 2).toLongLong();
        QByteArray digest;
        if (const QByteArray bytes = proof.section(':', 3, 3).toUtf8(); !bytes.isEmpty()) {
            const QString digestKind = proof.section(':', 4, 4);
            writeFile(root.filePath("recorded bytes"), bytes);
            digest = digestKind == "sha256" ? QCryptographicHash::hash(bytes, QCryptographicHash::Sha256)
                                            : platform::ContentDigest::of(root.filePath("recorded bytes"));
            if (digestKind == "cut")
                digest.truncate(8);
            // The file's mark proves it by the same digest as its record: a copy whose record was
            // never written is known by it alone. A file system that keeps no marks is not asked.
            const QByteArray copy = QFile::encodeName(placed(path, root));
            if (::setxattr(copy.constData(), "user.kalvenor.copy", digest.constData(), size_t(digest.size()),
                           0) == 0)
                QCOMPARE(platform::ContentDigest::provenMark(placed(path, root)).toHex(),
                         outcome == int(OwnFileDoor::Outcome::Done) ? digest.toHex() : QByteArray());
        }
        const OwnProof given = kind == "recorded" ? OwnProof::recorded(of, size, digest)
                               : kind == "made"   ? OwnProof::made(FileId::of(of))
                               : kind == "name"   ? OwnProof::ownName()
                                                  : OwnProof();
        QString why;
        QCOMPARE(int(door.remove(placed(path, root), given, &why)), outcome);
        QCOMPARE(why.isEmpty(), outcome == int(OwnFileDoor::Outcome::Done) || outcome == int(OwnFileDoor::Outcome::Gone));
        // Only the file asked for goes, and only when the door says so.
        for (const QString& file : everything) {
            const bool asked = QFileInfo(file).canonicalFilePath() == QFileInfo(placed(path, root)).canonicalFilePath()
                               && !QFileInfo(placed(path, root)).isSymLink();
            QCOMPARE(QFileInfo::exists(file), before.contains(file) && !(asked && outcome == int(OwnFileDoor::Outcome::Done)));
        }
    }

    // A file made here is given a name; what lies there already is replaced only when proved the
    // program's, and a link there never.
    void renameOver_data()
    {
        QTest::addColumn<QString>("there"); // nothing, own, user's, link
        QTest::addColumn<int>("outcome");
        QTest::newRow("free name") << "nothing" << int(OwnFileDoor::Outcome::Done);
        // A drive that gives a file no second name (FAT): its last way gives the name, the partial one goes.
        QTest::newRow("free name on a drive without second names") << "nothing, FAT" << int(OwnFileDoor::Outcome::Done);
        QTest::newRow("the program's own copy") << "own" << int(OwnFileDoor::Outcome::Done);
        QTest::newRow("a user's file") << "user" << int(OwnFileDoor::Outcome::Refused);
        QTest::newRow("a link") << "link" << int(OwnFileDoor::Outcome::Refused);
        // Between the door's look at the name and the rename: what comes there stays.
        QTest::newRow("a file that appears at the name") << "appears" << int(OwnFileDoor::Outcome::Refused);
        QTest::newRow("the file made, replaced since") << "source replaced" << int(OwnFileDoor::Outcome::Refused);
    }
    void renameOver()
    {
        QFETCH(QString, there);
        QFETCH(int, outcome);
        QTemporaryDir root;
        const QString made = root.filePath("store/.x.part"), target = root.filePath("store/x.dcm");
        writeFile(made, "new");
        writeFile(root.filePath("out/user.dcm"), "user");
        if (there == "own" || there == "user")
            writeFile(target, "old");
        if (there == "link")
            QVERIFY(QFile::link(root.filePath("out/user.dcm"), target));
        const OwnFileDoor door({root.filePath("store")}, root.path());
        const OwnProof proof = there == "own" ? OwnProof::recorded(target) : OwnProof();
        const FileId madeId = FileId::of(made);
        if (there == "source replaced") {
            writeFile(root.filePath("store/.other"), "other");
            QVERIFY(QFile::remove(made) && QFile::rename(root.filePath("store/.other"), made));
        }
        struct Appearing
        {
            QString at;
            bool came = false;
        } appearing{target};
        if (there == "appears")
            platform::testing::setBeforeRenameHook(
                [](void* context) {
                    auto* a = static_cast<Appearing*>(context);
                    QFile f(a->at);
                    a->came = f.open(QIODevice::WriteOnly | QIODevice::NewOnly) && f.write("came") == 4;
                },
                &appearing);
        platform::testing::setWithoutSecondNames(there.endsWith(QLatin1String("FAT")));
        const int given = int(door.rename(made, madeId, target, proof));
        platform::testing::setWithoutSecondNames(false);
        platform::testing::setBeforeRenameHook(nullptr, nullptr);
        QCOMPARE(given, outcome);
        QCOMPARE(appearing.came, there == "appears");
        const bool done = outcome == int(OwnFileDoor::Outcome::Done);
        const QByteArray kept = there == "link" ? "user" : there == "appears" ? "came" : there == "source replaced" ? "<missing>" : "old";
        QCOMPARE(contentOf(target), done ? QByteArray("new") : kept);
        QCOMPARE(QFileInfo::exists(made), !done);
        QCOMPARE(contentOf(made), done ? QByteArray("<missing>") : there == "source replaced" ? QByteArray("other") : QByteArray("new"));
        QCOMPARE(contentOf(root.filePath("out/user.dcm")), QByteArray("user"));
        // A file outside the own folders is not moved in by the door.
        QCOMPARE(int(door.rename(root.filePath("out/user.dcm"), FileId::of(root.filePath("out/user.dcm")),
                                 root.filePath("store/y.dcm"), OwnProof())),
                 int(OwnFileDoor::Outcome::Refused));
    }

    // Folders go only below an own folder: empty ones, or whole trees of what the program makes,
    // links left standing (and the tree with them); the own folders themselves stay.
    void folders()
    {
        QTemporaryDir root;
        writeFile(root.filePath("out/keep.txt"), "keep");
        writeFile(root.filePath("cache/s1/a.dcm"), "a");
        writeFile(root.filePath("cache/s2/b.dcm"), "b");
        QVERIFY(QDir().mkpath(root.filePath("cache/empty")));
        QVERIFY(QFile::link(root.filePath("out"), root.filePath("cache/s2/out")));
        const OwnFileDoor door({root.filePath("cache")}, root.path());
        QVERIFY(!door.removeEmptyFolder(root.filePath("cache/s1")));
        QVERIFY(door.removeEmptyFolder(root.filePath("cache/empty")));
        QVERIFY(door.removeTree(root.filePath("cache/s1")));
        QVERIFY(!QFileInfo::exists(root.filePath("cache/s1")));
        QVERIFY(!door.removeTree(root.filePath("cache/s2")));
        QVERIFY(!QFileInfo::exists(root.filePath("cache/s2/b.dcm")));
        QCOMPARE(contentOf(root.filePath("out/keep.txt")), QByteArray("keep"));
        QVERIFY(!door.removeTree(root.filePath("cache")));
        QVERIFY(!door.removeTree(root.filePath("cache/s2/out")));
        QVERIFY(!door.removeEmptyFolder(root.filePath("out")));
        // An own folder inside another stays, even empty.
        QVERIFY(QDir().mkpath(root.filePath("cache/kept")));
        QVERIFY(!OwnFileDoor({root.filePath("cache"), root.filePath("cache/kept")}).removeEmptyFolder(root.filePath("cache/kept")));
        QVERIFY(QFileInfo::exists(root.filePath("cache")) && QFileInfo::exists(root.filePath("out/keep.txt")));
    }
};

QTEST_GUILESS_MAIN(TestOwnFileDoor)
#include "tst_ownfiledoor.moc"
