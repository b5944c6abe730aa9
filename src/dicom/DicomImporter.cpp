#include "dicom/DicomImporter.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QThread>

namespace dicom {

DicomImporter::DicomImporter(QObject* parent)
    : QObject(parent)
{
}

DicomImporter::~DicomImporter() = default;

void DicomImporter::importDirectory(const QString& directoryPath)
{
    const QFileInfo root(directoryPath);
    if (!root.exists() || !root.isDir()) {
        emit errorOccurred(tr("Путь не существует или не является папкой: %1").arg(directoryPath));
        emit finished(0, 0);
        return;
    }

    int scanned = 0;
    int found = 0;
    int skipped = 0;
    QThread* thread = QThread::currentThread();
    QDirIterator it(directoryPath, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        // Checked once per file so that closing the program during a long scan ends this thread promptly.
        if (thread->isInterruptionRequested())
            break;
        const QString path = it.next();
        ++scanned;
        if (!isDicomFile(path)) {
            ++skipped;
        } else if (auto summary = readFileSummary(path)) {
            ++found;
            emit fileFound(*summary);
        } else {
            ++skipped;
        }
        if (scanned % 25 == 0)
            emit progress(scanned, found);
    }
    emit progress(scanned, found);
    emit finished(found, skipped);
}

} // namespace dicom
