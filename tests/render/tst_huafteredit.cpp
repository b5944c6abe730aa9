// A file edited with the tag writer is replaced by a new file under the same path; the HU frame
// loader's cache must notice and read the new values, even when size and modification time match.
#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomTagList.h"
#include "render/HuImage.h"

#include <QTemporaryDir>
#include <QTest>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

class TstHuAfterEdit : public QObject
{
    Q_OBJECT

private slots:
    void editedInterceptSeenByNextLoad()
    {
        dicom::CodecRegistrationScope codecs;
        QTemporaryDir dir;
        fixtures::SeriesLayout layout;
        layout.rows = 16;
        layout.columns = 16;
        layout.slices = 1;
        layout.rescaleIntercept = -1024.0;
        const QString path = fixtures::writeSlice(dir.filePath(QStringLiteral("ct.dcm")), layout, 0);

        render::HuImage before;
        QString error;
        QVERIFY2(render::loadHuFrame(before, path, 0, &error), qPrintable(error));
        const double stored = fixtures::coordinateValue(3, 2, 0);
        QCOMPARE(render::huValueAt(before, 3, 2), stored - 1024.0);

        struct stat original {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &original), 0);
        dicom::TagEntry intercept;
        intercept.group = 0x0028;
        intercept.element = 0x1052;
        intercept.value = QStringLiteral("-1000"); // same length as before
        QVERIFY2(dicom::writeTagValues(path, {intercept}, &error), qPrintable(error));

        // The same clock tick: the rewritten file gets the old modification time back.
        const struct timespec times[2] = {original.st_atim, original.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        struct stat rewritten {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &rewritten), 0);
        QCOMPARE(rewritten.st_size, original.st_size);

        render::HuImage after;
        QVERIFY2(render::loadHuFrame(after, path, 0, &error), qPrintable(error));
        QCOMPARE(render::huValueAt(after, 3, 2), stored - 1000.0);
    }
};

QTEST_GUILESS_MAIN(TstHuAfterEdit)
#include "tst_huafteredit.moc"
