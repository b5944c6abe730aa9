// The totals the index keeps on each study row (series and instance counts, modalities, bytes of the
// program's own store files), against the same counted from its rows and measured on disk, after every
// way rows are written, moved and removed; an index of an earlier version gaining them; files indexed
// in batches of one transaction; the readers other threads keep, after the index file is replaced.

#include "DbTestSupport.h"

#include "db/Database.h"
#include "db/IndexReader.h"
#include "db/InstancePlaceLookup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using dbtest::makeSummary;
using dbtest::RawDb;

namespace {

// Each study as "uid|series|instances|modalities|store bytes", sorted; the modalities sorted too.
QStringList totalsLines(const QList<db::StudyRecord>& studies)
{
    QStringList out;
    for (const db::StudyRecord& st : studies) {
        QStringList modalities = st.modalities.split(QLatin1Char(','), Qt::SkipEmptyParts);
        modalities.sort();
        out << QStringLiteral("%1|%2|%3|%4|%5")
                   .arg(st.studyInstanceUid)
                   .arg(st.seriesCount)
                   .arg(st.instanceCount)
                   .arg(modalities.join(QLatin1Char(',')))
                   .arg(st.storeBytes);
    }
    out.sort();
    return out;
}

} // namespace

class TestDatabaseTotals : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
    QString m_path;

    QString store() const { return m_dir->filePath(QStringLiteral("store")); }
    QString elsewhere() const { return m_dir->filePath(QStringLiteral("elsewhere")); }

    // A file of `bytes` bytes: the index measures files, it does not read them.
    static bool writeFile(const QString& path, int bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(QByteArray(bytes, 'x')) == bytes;
    }

    dicom::DicomFileSummary file(const QString& study, const QString& series, const QString& sop,
                                 const QString& modality, const QString& folder, int bytes, int frames = 1)
    {
        const QString path = QDir(folder).filePath(sop + QStringLiteral(".dcm"));
        if (!writeFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        dicom::DicomFileSummary s = makeSummary(study, series, sop, sop.section(QLatin1Char('.'), -1).toInt(), path);
        s.modality = modality;
        s.numberOfFrames = frames;
        return s;
    }

    // The same totals counted from the rows and measured on disk: every distinct file of a study that
    // lies in one of the store folders counts its size once.
    QStringList countedLines(const QStringList& storeFolders)
    {
        RawDb raw(m_path);
        QStringList out;
        for (const QString& uid : raw.rows("SELECT study_instance_uid FROM studies")) {
            QStringList modalities =
                raw.rows(QStringLiteral("SELECT DISTINCT modality FROM series WHERE study_instance_uid = '%1'").arg(uid));
            modalities.sort();
            qint64 bytes = 0;
            for (const QString& path : m_db->studyFilePaths(uid))
                for (const QString& folder : storeFolders)
                    if (path.startsWith(folder + QLatin1Char('/')))
                        bytes += QFileInfo(path).size();
            out << QStringLiteral("%1|%2|%3|%4|%5")
                       .arg(uid)
                       .arg(raw.scalar(QStringLiteral("SELECT COUNT(*) FROM series WHERE study_instance_uid = '%1'")
                                           .arg(uid))
                                .toInt())
                       .arg(raw.scalar(QStringLiteral("SELECT COUNT(*) FROM instances i JOIN series se USING "
                                                      "(series_instance_uid) WHERE se.study_instance_uid = '%1'")
                                           .arg(uid))
                                .toInt())
                       .arg(modalities.join(QLatin1Char(',')))
                       .arg(bytes);
        }
        out.sort();
        return out;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("index.sqlite3"));
        m_db = std::make_unique<db::Database>();
        QVERIFY2(m_db->open(m_path), qPrintable(m_db->lastError()));
    }

    void cleanup()
    {
        m_db.reset();
        m_dir.reset();
    }

    void totalsFollowTheRows_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("files indexed") << "";
        QTest::newRow("file indexed again, grown") << "grown";
        QTest::newRow("file indexed again from outside the store") << "moved out";
        QTest::newRow("file indexed again under another modality") << "modality";
        QTest::newRow("one study removed") << "remove one";
        QTest::newRow("two studies removed together") << "remove two";
        QTest::newRow("series moved to another study by an edit") << "edit study";
        QTest::newRow("file given another SOP Instance UID by an edit") << "edit sop";
        QTest::newRow("rows removed through another connection") << "raw delete";
        QTest::newRow("store folder changed") << "store moved";
    }

    // Study 8.1: two CT files in the store and an SR outside it; 8.2: a three-frame MR file in the
    // store; 8.3: a file outside the store.
    void totalsFollowTheRows()
    {
        QFETCH(QString, change);
        QVERIFY(m_db->setStoreFolders({store()}));
        const dicom::DicomFileSummary ct1 = file("8.1", "8.1.1", "8.1.1.1", "CT", store(), 1000);
        const QList<dicom::DicomFileSummary> files{ct1,
                                                   file("8.1", "8.1.1", "8.1.1.2", "CT", store(), 3000),
                                                   file("8.1", "8.1.2", "8.1.2.1", "SR", elsewhere(), 500),
                                                   file("8.2", "8.2.1", "8.2.1.1", "MR", store(), 7000, 3),
                                                   file("8.3", "8.3.1", "8.3.1.1", "US", elsewhere(), 900)};
        for (const dicom::DicomFileSummary& s : files)
            QVERIFY2(m_db->indexFile(s), qPrintable(m_db->lastError()));
        QStringList folders{store()};

        if (change == "grown") {
            QVERIFY(writeFile(ct1.filePath, 5000));
            QVERIFY(m_db->indexFile(ct1));
        } else if (change == "moved out") {
            dicom::DicomFileSummary moved = ct1;
            moved.filePath = QDir(elsewhere()).filePath(QStringLiteral("moved.dcm"));
            QVERIFY(writeFile(moved.filePath, 1000));
            QVERIFY(m_db->indexFile(moved));
        } else if (change == "modality") {
            dicom::DicomFileSummary other = files[2];
            other.modality = QStringLiteral("KO");
            QVERIFY(m_db->indexFile(other));
        } else if (change == "remove one") {
            QVERIFY(m_db->deleteStudy("8.1"));
        } else if (change == "remove two") {
            QVERIFY(m_db->deleteStudies({"8.1", "8.2", "8.9"}));
        } else if (change == "edit study") {
            for (const dicom::DicomFileSummary& before : {files[0], files[1]}) {
                dicom::DicomFileSummary after = before;
                after.studyInstanceUid = QStringLiteral("8.3");
                QVERIFY2(m_db->reindexEditedFile(before, after), qPrintable(m_db->lastError()));
            }
        } else if (change == "edit sop") {
            dicom::DicomFileSummary after = files[3];
            after.sopInstanceUid = QStringLiteral("8.2.1.9");
            QVERIFY2(m_db->reindexEditedFile(files[3], after), qPrintable(m_db->lastError()));
        } else if (change == "raw delete") {
            RawDb raw(m_path);
            QCOMPARE(raw.exec({"DELETE FROM instances WHERE sop_instance_uid = '8.1.1.2'",
                               "DELETE FROM instances WHERE series_instance_uid = '8.1.2'",
                               "DELETE FROM series WHERE series_instance_uid = '8.1.2'"}),
                     QString());
        } else if (change == "store moved") {
            QVERIFY(m_db->setStoreFolders({elsewhere()}));
            folders = QStringList{elsewhere()};
        }
        const QStringList counted = countedLines(folders);
        QVERIFY(!counted.isEmpty());
        QCOMPARE(totalsLines(m_db->allStudies()), counted);
        // Every connection to the file keeps them alike: the store folders go with the index.
        db::Database again;
        QVERIFY(again.open(m_path));
        QVERIFY(again.indexFile(file("8.4", "8.4.1", "8.4.1.1", "CT", folders.first(), 1234)));
        QCOMPARE(again.studyRecord("8.4")->storeBytes, qint64(1234));
        QCOMPARE(totalsLines(again.allStudies()), countedLines(folders));
    }

    // An index written before the studies kept their totals and the rows their sizes: the totals are
    // counted at its first open, and the sizes of its store files measured when asked for, once.
    void earlierIndexGainsTotalsAndSizes()
    {
        QVERIFY(m_db->setStoreFolders({store()}));
        for (const dicom::DicomFileSummary& s : {file("9.1", "9.1.1", "9.1.1.1", "CT", store(), 1000),
                                                 file("9.1", "9.1.1", "9.1.1.2", "CT", store(), 2000),
                                                 file("9.1", "9.1.2", "9.1.2.1", "PT", elsewhere(), 400),
                                                 file("9.2", "9.2.1", "9.2.1.1", "MR", store(), 8000, 4)})
            QVERIFY(m_db->indexFile(s));
        m_db.reset();
        {
            RawDb raw(m_path);
            QStringList downgrade;
            for (const QString& trigger : raw.rows("SELECT name FROM sqlite_master WHERE type = 'trigger'"))
                downgrade << "DROP TRIGGER " + trigger;
            downgrade << "DROP INDEX instances_unsized" << "DROP TABLE store_folders";
            for (const char* column : {"series_count", "instance_count", "modalities", "store_bytes"})
                downgrade << QStringLiteral("ALTER TABLE studies DROP COLUMN %1").arg(QLatin1String(column));
            for (const char* column : {"file_size", "in_store"})
                downgrade << QStringLiteral("ALTER TABLE instances DROP COLUMN %1").arg(QLatin1String(column));
            downgrade << "PRAGMA user_version = 0";
            QCOMPARE(raw.exec(downgrade), QString());
        }
        m_db = std::make_unique<db::Database>();
        QVERIFY2(m_db->open(m_path), qPrintable(m_db->lastError()));
        QCOMPARE(totalsLines(m_db->allStudies()), countedLines({}));
        QCOMPARE(m_db->fillStoreFileSizes(100), 0); // no store folders: nothing counts yet

        QVERIFY(m_db->setStoreFolders({store()}));
        QCOMPARE(m_db->studyRecord("9.1")->storeBytes, qint64(0)); // placed, not measured yet
        // Six rows in the store (the four frames of 9.2.1.1 among them); the frames after the first
        // count nothing.
        QCOMPARE(m_db->fillStoreFileSizes(4), 4);
        QCOMPARE(m_db->fillStoreFileSizes(4), 2);
        QCOMPARE(m_db->fillStoreFileSizes(4), 0);
        QCOMPARE(totalsLines(m_db->allStudies()), countedLines({store()}));
        QCOMPARE(m_db->studyRecord("9.2")->storeBytes, qint64(8000));
        RawDb raw(m_path);
        QCOMPARE(raw.scalar("SELECT COUNT(*) FROM instances WHERE file_size IS NULL").toInt(), 1); // outside
        m_db.reset();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_path));
        QCOMPARE(m_db->fillStoreFileSizes(100), 0);
        QCOMPARE(totalsLines(m_db->allStudies()), countedLines({store()}));
    }

    // A batch keeps each file whole: those refused leave no rows and hold none of the others back.
    void batchKeepsEachFileWhole()
    {
        QVERIFY(m_db->indexFile(file("5.1", "5.1.1", "5.1.1.1", "CT", elsewhere(), 10)));
        dicom::DicomFileSummary reused = file("5.2", "5.2.1", "5.2.1.1", "MR", elsewhere(), 10);
        reused.sopInstanceUid = QStringLiteral("5.1.1.1"); // another study's object
        dicom::DicomFileSummary noUid = file("5.2", "5.2.1", "5.2.1.3", "MR", elsewhere(), 10);
        noUid.seriesInstanceUid.clear();
        // Refused only at its instance row, after its patient, study and series rows were written.
        dicom::DicomFileSummary noPath = file("5.5", "5.5.1", "5.5.1.1", "CT", elsewhere(), 10);
        noPath.filePath = QString();
        QSignalSpy written(m_db.get(), &db::Database::studiesWritten);
        const QStringList errors =
            m_db->indexFiles({file("5.2", "5.2.1", "5.2.1.2", "MR", elsewhere(), 10), reused, noUid, noPath,
                              file("5.3", "5.3.1", "5.3.1.1", "US", elsewhere(), 10, 2)});
        QCOMPARE(errors.size(), 5);
        QVERIFY(errors[0].isEmpty());
        QVERIFY(errors[1].contains(QStringLiteral("5.1.1.1")));
        QVERIFY(!errors[2].isEmpty());
        QVERIFY(!errors[3].isEmpty());
        QVERIFY(errors[4].isEmpty());
        QVERIFY(!m_db->studyExists("5.5"));
        QCOMPARE(totalsLines(m_db->allStudies()),
                 (QStringList{"5.1|1|1|CT|0", "5.2|1|1|MR|0", "5.3|1|2|US|0"}));
        QCOMPARE(m_db->instancePlace("5.1.1.1")->studyInstanceUid, QStringLiteral("5.1"));
        QCOMPARE(written.size(), 1);
        QStringList studies = written.first().first().toStringList();
        studies.sort();
        QCOMPARE(studies, (QStringList{"5.2", "5.3"}));
        // A later file of the batch that says otherwise of its study has the last word, as it would in
        // a batch of its own.
        dicom::DicomFileSummary first = file("5.6", "5.6.1", "5.6.1.1", "CT", elsewhere(), 10);
        dicom::DicomFileSummary corrected = file("5.6", "5.6.1", "5.6.1.2", "CT", elsewhere(), 10);
        first.studyDescription = QStringLiteral("Первое");
        corrected.studyDescription = QStringLiteral("Исправленное");
        QCOMPARE(m_db->indexFiles({first, corrected, first}), QStringList(3));
        QCOMPARE(m_db->studyRecord("5.6")->studyDescription, QStringLiteral("Первое"));
        QCOMPARE(m_db->indexFiles({first, corrected}), QStringList(2));
        QCOMPARE(m_db->studyRecord("5.6")->studyDescription, QStringLiteral("Исправленное"));
        written.clear();

        // A batch that cannot be committed names the cause for every file, and leaves none.
        RawDb reader(m_path);
        QCOMPARE(reader.exec({"BEGIN", "SELECT COUNT(*) FROM instances"}), QString());
        const QStringList refused = m_db->indexFiles({file("5.4", "5.4.1", "5.4.1.1", "CT", elsewhere(), 10),
                                                      file("5.4", "5.4.1", "5.4.1.2", "CT", elsewhere(), 10)});
        QCOMPARE(refused.size(), 2);
        QVERIFY(refused[0].contains(QStringLiteral("другой программой")));
        QCOMPARE(refused[1], refused[0]);
        QCOMPARE(reader.exec({"ROLLBACK"}), QString());
        QVERIFY(!m_db->studyExists("5.4"));
        QCOMPARE(written.size(), 0);
    }

    void readerListsAsTheIndexDoes_data()
    {
        // Studies written straight in SQL; the reader's list, read in pages and sorted apart, must be
        // the index's own, study by study and in the same order.
        QTest::addColumn<QStringList>("statements");
        const QString many = QStringLiteral(
            "WITH RECURSIVE k(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM k WHERE n < 1199) "
            "INSERT INTO studies (study_instance_uid, patient_key, study_date, study_time, study_description) "
            "SELECT '1.' || ((n * 7919) % 1200), 1 + n % 3, '2024010' || (n % 3), '08000' || (n % 2), 'S' || n FROM k;");
        QTest::newRow("more than two pages of equal dates and times")
            << QStringList{"INSERT INTO patients (patient_key, patient_id, patient_name) VALUES "
                           "(1, 'A', 'Smith'), (2, 'B', 'Doe'), (3, 'C', 'smith')",
                           many};
        QTest::newRow("missing values and a study without its patient")
            << QStringList{"INSERT INTO patients (patient_key, patient_id, patient_name) VALUES (1, 'A', ''), (2, 'B', 'B')",
                           // In each pair the empty value would come first if NULL were taken for it.
                           "INSERT INTO studies (study_instance_uid, patient_key, study_date, study_time) VALUES "
                           "('2.9', 2, NULL, NULL), ('2.0', 1, '', NULL), ('2.8', 2, '20240102', NULL), "
                           "('2.7', 1, '20240102', ''), ('2.6', 9, '20240103', '1'), ('2.5', 1, '20240103', '1')"};
        QTest::newRow("names beyond the basic plane")
            << QStringList{QString::fromUtf8("INSERT INTO patients (patient_key, patient_id, patient_name) VALUES "
                                             "(1, 'A', '\xF0\x9F\x98\x80'), (2, 'B', '\xEF\xBC\xA1'), "
                                             "(3, 'C', '\xEE\x80\x80'), (4, 'D', 'Иванов'), (5, 'E', 'Ivanov')"),
                           "INSERT INTO studies (study_instance_uid, patient_key, study_date) VALUES "
                           "('3.1', 1, '20240101'), ('3.2', 2, '20240101'), ('3.3', 3, '20240101'), "
                           "('3.4', 4, '20240101'), ('3.5', 5, '20240101')"};
    }
    void readerListsAsTheIndexDoes()
    {
        QFETCH(QStringList, statements);
        {
            RawDb raw(m_path);
            QCOMPARE(raw.exec(statements), QString());
        }
        const QList<db::StudyRecord> expected = m_db->allStudies();
        QVERIFY(!expected.isEmpty());
        // Before each page the index's own connection writes: it would wait for a lock the reader kept
        // until its busy time-out ended and fail, since the reader waits in turn for this callback.
        int beforePages = 0;
        bool writesWent = true;
        const auto listed = db::IndexReader(m_path).allStudies([&] {
            writesWent = writesWent && m_db->markEditUnfinished(QStringLiteral("9.%1").arg(beforePages++));
            return false;
        });
        QVERIFY(writesWent);
        QCOMPARE(beforePages, int(expected.size()) / db::IndexReader::studiesPerPage + 1);
        QVERIFY(listed);
        QCOMPARE(listed->size(), expected.size());
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const db::StudyRecord& a = listed->at(i);
            const db::StudyRecord& b = expected.at(i);
            QCOMPARE(a.studyInstanceUid, b.studyInstanceUid);
            QCOMPARE(a.patientName, b.patientName);
            QCOMPARE(a.studyDescription, b.studyDescription);
        }
    }

    // A reader reads the index file as it is when the reader is opened: one replaced under its name (an
    // older copy restored, an index made anew) is read, not the file an earlier reader opened. A lookup
    // kept open over a retrieve's objects turns to the new file at its next lookup.
    void threadReaderFollowsAReplacedIndex()
    {
        db::InstancePlaceLookup lookup(m_path);
        QVERIFY(m_db->indexFile(file("6.1", "6.1.1", "6.1.1.1", "CT", elsewhere(), 10)));
        const QString other = m_dir->filePath(QStringLiteral("other.sqlite3"));
        {
            db::Database replacement;
            QVERIFY(replacement.open(other));
            QVERIFY(replacement.indexFile(file("6.2", "6.2.1", "6.2.1.1", "MR", elsewhere(), 10)));
        }
        for (int round = 0; round < 2; ++round) {
            const QString expected = round == 0 ? QStringLiteral("6.1") : QStringLiteral("6.2");
            db::IndexReader reader(m_path);
            const auto studies = reader.allStudies();
            QVERIFY(studies && studies->size() == 1);
            QCOMPARE(studies->first().studyInstanceUid, expected);
            const auto place = reader.instancePlace(expected + QStringLiteral(".1.1"));
            QVERIFY(place);
            QCOMPARE(place->studyInstanceUid, expected);
            const auto looked = lookup.instancePlace(expected + QStringLiteral(".1.1"));
            QVERIFY(looked);
            QCOMPARE(looked->seriesInstanceUid, expected + QStringLiteral(".1"));
            QCOMPARE(looked->studyInstanceUid, expected);
            QCOMPARE(bool(lookup.instancePlace(QStringLiteral("6.1.1.1"))), round == 0);
            if (round == 0) {
                m_db.reset();
                QVERIFY(QFile::remove(m_path));
                QVERIFY(QFile::rename(other, m_path));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestDatabaseTotals)
#include "tst_database_totals.moc"
