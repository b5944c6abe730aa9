#pragma once

#include "dicom/DicomFileSummary.h"

#include <QObject>
#include <QString>

namespace dicom {

// Scans a folder tree for DICOM files and hands a summary of each to its owner; nothing is copied.
// Meant to live on a thread of its own: importDirectory runs the whole scan and stops early, with the
// counts so far, when that thread is asked to stop (QThread::requestInterruption).
class DicomImporter : public QObject
{
    Q_OBJECT
public:
    explicit DicomImporter(QObject* parent = nullptr);
    ~DicomImporter() override;

signals:
    void progress(int filesScanned, int dicomFilesFound);
    void fileFound(dicom::DicomFileSummary summary);
    void finished(int totalImported, int totalSkipped);
    void errorOccurred(QString message);

public slots:
    void importDirectory(const QString& directoryPath);
};

} // namespace dicom
