#pragma once
// Small helpers shared by the index tests: hand-made summaries and a raw SQLite connection that
// looks at an index file behind the back of db::Database.

#include "dicom/DicomFileSummary.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariant>

namespace dbtest {

inline dicom::DicomFileSummary makeSummary(const QString& study, const QString& series, const QString& sop,
                                           int instanceNumber, const QString& path)
{
    dicom::DicomFileSummary s;
    s.patientId = QStringLiteral("P1");
    s.patientName = QStringLiteral("Doe^John");
    s.birthDate = QStringLiteral("19600101");
    s.sex = QStringLiteral("M");
    s.weightKg = 80.0;
    s.heightCm = 180.0;
    s.studyInstanceUid = study;
    s.studyDate = QStringLiteral("20240115");
    s.studyTime = QStringLiteral("101500");
    s.studyDescription = QStringLiteral("Chest");
    s.accessionNumber = QStringLiteral("A1");
    s.referringPhysician = QStringLiteral("Ref^Doc");
    s.seriesInstanceUid = series;
    s.seriesNumber = QStringLiteral("1");
    s.seriesDescription = QStringLiteral("Axial");
    s.modality = QStringLiteral("CT");
    s.bodyPartExamined = QStringLiteral("CHEST");
    s.sopInstanceUid = sop;
    s.instanceNumber = instanceNumber;
    s.rows = 512;
    s.columns = 512;
    s.numberOfFrames = 1;
    s.pixelSpacingX = 0.7;
    s.pixelSpacingY = 0.8;
    s.sliceThickness = 1.25;
    s.sliceLocation = -12.5;
    s.windowCenter = 40.0;
    s.windowWidth = 400.0;
    s.rescaleSlope = 1.0;
    s.rescaleIntercept = -1024.0;
    s.imagePosition = {-100.0, -120.0, -12.5};
    s.orientationRow = {1.0, 0.0, 0.0};
    s.orientationCol = {0.0, 1.0, 0.0};
    s.hasSpatialInfo = true;
    s.frameOfReferenceUid = QStringLiteral("1.2.9");
    s.acquisitionTimeSeconds = 36000.5;
    s.filePath = path;
    return s;
}

// A second, independent connection to an index file; removed cleanly when it goes out of scope.
class RawDb
{
public:
    explicit RawDb(const QString& path)
        : m_name(QStringLiteral("raw_%1").arg(QUuid::createUuid().toString(QUuid::Id128)))
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        d.setDatabaseName(path);
        m_ok = d.open();
    }
    ~RawDb()
    {
        {
            QSqlDatabase d = QSqlDatabase::database(m_name, false);
            d.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    bool ok() const { return m_ok; }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

    // Runs statements one by one; returns the first error text, empty on success.
    QString exec(const QStringList& statements) const
    {
        QSqlQuery q(db());
        for (const QString& sql : statements)
            if (!q.exec(sql))
                return q.lastError().text() + QStringLiteral(" in: ") + sql;
        return {};
    }
    QVariant scalar(const QString& sql) const
    {
        QSqlQuery q(db());
        if (!q.exec(sql) || !q.next())
            return {};
        return q.value(0);
    }
    // Every row of a query, columns joined by "|", rows in query order.
    QStringList rows(const QString& sql) const
    {
        QStringList out;
        QSqlQuery q(db());
        if (!q.exec(sql))
            return {QStringLiteral("ERROR: ") + q.lastError().text()};
        while (q.next()) {
            QStringList cols;
            for (int i = 0; i < q.record().count(); ++i)
                cols << (q.value(i).isNull() ? QStringLiteral("NULL") : q.value(i).toString());
            out << cols.join(QLatin1Char('|'));
        }
        return out;
    }
    QStringList columns(const QString& table) const
    {
        QStringList out;
        for (const QString& row : rows(QStringLiteral("PRAGMA table_info(%1)").arg(table)))
            out << row.section(QLatin1Char('|'), 1, 1);
        return out;
    }

private:
    QString m_name;
    bool m_ok = false;
};

} // namespace dbtest
