// getFile over a 2,000-file study, and over a 200-file one beside it, while the index grows to 1,000,
// 10,000 and 30,000 studies: every file of a study is downloaded through a hosting session and the
// stand-in relay on loopback, once to make the transfer copies and then, at each size, once more from
// them (a new session each time). The time per file should not depend on the study's size. The other
// studies are written by the index's own indexFile from made-up summaries, 33 instance rows each, with
// the index file's syncing turned off while they are written; the study's 2,000 files are real DICOM
// files. Plain timing main; prints milliseconds per file.

#include "BenchSupport.h"
#include "HostingSession.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteAccessServer.h"
#include "support/StandInRelay.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "remote/RemoteTunnelSocket.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

constexpr int studyFileCounts[] = {2000, 200};
constexpr int rowsPerOtherStudy = 33;

bool addOtherStudies(db::Database& index, const dicom::DicomFileSummary& pattern, int from, int to)
{
    dicom::DicomFileSummary s = pattern;
    for (int study = from; study < to; ++study) {
        s.patientId = QStringLiteral("P%1").arg(study);
        s.studyInstanceUid = QStringLiteral("1.2.826.0.1.3680043.9.7777.%1").arg(study);
        s.seriesInstanceUid = s.studyInstanceUid + QStringLiteral(".1");
        for (int k = 0; k < rowsPerOtherStudy; ++k) {
            s.sopInstanceUid = s.seriesInstanceUid + QStringLiteral(".%1").arg(k);
            s.instanceNumber = k + 1;
            s.filePath = QStringLiteral("/archive/%1/%2.dcm").arg(study).arg(k);
            if (!index.indexFile(s))
                return false;
        }
    }
    return true;
}

// Milliseconds per file for downloading every file of the study over one new connection.
double downloadAll(const fixtures::StandInRelay& relay, const QString& fingerprint, const QString& secret,
                   const QString& studyUid, int files, const QString& target)
{
    RemoteAccessClient client;
    QString error;
    if (!client.connectToServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), fingerprint,
                                secret, &error, 30000, QStringLiteral("primary"))) {
        std::printf("connect failed: %s\n", qPrintable(error));
        return -1;
    }
    const auto t = bench::Clock::now();
    for (int i = 0; i < files; ++i) {
        QFile::remove(target);
        if (!client.downloadFile(studyUid, i, target, {}, &error, 30000)) {
            std::printf("file %d failed: %s\n", i, qPrintable(error));
            return -1;
        }
    }
    return bench::msSince(t) / files;
}

} // namespace

int main(int argc, char** argv)
{
    // Transfer copies go to the application data folder: a scratch one, never the user's.
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KalvenorBench"));

    fixtures::SeriesLayout layout;
    layout.slices = 1;
    const QString templateFile =
        fixtures::writeSeries(dir.filePath(QStringLiteral("template")), layout).value(0);
    const std::optional<dicom::DicomFileSummary> pattern = dicom::readFileSummary(templateFile);
    db::Database index;
    if (!pattern || !index.open(dir.filePath(QStringLiteral("index.sqlite3"))))
        return 1;
    // Tens of thousands of separately committed files would otherwise take an hour to write.
    QSqlQuery unsynced(QSqlDatabase::database(index.connectionName()));
    unsynced.exec(QStringLiteral("PRAGMA synchronous = OFF;"));

    // The studies whose files are downloaded: real files, one UID each.
    QStringList studyUids;
    for (const int files : studyFileCounts) {
        dicom::DicomFileSummary file = *pattern;
        file.studyInstanceUid = QStringLiteral("1.2.826.0.1.3680043.9.7778.%1").arg(files);
        file.seriesInstanceUid = file.studyInstanceUid + QStringLiteral(".1");
        studyUids << file.studyInstanceUid;
        const QDir studyDir(dir.filePath(QStringLiteral("study%1").arg(files)));
        QDir().mkpath(studyDir.path());
        for (int i = 0; i < files; ++i) {
            file.filePath = studyDir.filePath(QStringLiteral("%1.dcm").arg(i));
            file.sopInstanceUid = file.seriesInstanceUid + QStringLiteral(".%1").arg(i);
            file.instanceNumber = i + 1;
            if (!QFile::copy(templateFile, file.filePath) || !index.indexFile(file))
                return 1;
        }
    }

    bench::HostingSession hosting;
    if (!hosting.start(index, QStringLiteral("primary")))
        return 1;
    const fixtures::StandInRelay& relay = hosting.relay;
    const fixtures::TestCertificate& cert = hosting.cert;
    const QString& secret = hosting.secret;
    const QString target = dir.filePath(QStringLiteral("got.dcm"));

    int studies = 0;
    bool first = true;
    for (const int size : {1000, 10000, 30000}) {
        const auto t = bench::Clock::now();
        const int others = size - int(studyUids.size());
        if (!addOtherStudies(index, *pattern, studies, others))
            return 1;
        studies = others;
        std::printf("index: %d studies, %d instance rows (indexed in %.0f s)\n", size,
                    2000 + 200 + others * rowsPerOtherStudy, bench::msSince(t) / 1000);
        for (int i = 0; i < studyUids.size(); ++i) {
            const int files = studyFileCounts[i];
            if (first)
                std::printf("  getFile over a %d-file study, copies made: %.2f ms per file\n", files,
                            downloadAll(relay, cert.fingerprint(), secret, studyUids[i], files, target));
            std::printf("  getFile over a %d-file study: %.2f ms per file\n", files,
                        downloadAll(relay, cert.fingerprint(), secret, studyUids[i], files, target));
        }
        first = false;
        std::fflush(stdout);
    }
    return 0;
}
