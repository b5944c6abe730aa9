#pragma once
// What the study-list tests share: small studies written into a real index, the study context menu
// opened on chosen rows, file trees read back, and a fake program folder for the portable copies.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/StudyTableRow.h"
#include "support/TestFiles.h"

#include "support/TestBench.h"

#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/ZipImportWorker.h"

#include <QDirIterator>
#include <QMenu>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace apptest {

// A small series (16 × 16 pixels) of the given study date and number of slices.
inline fixtures::SeriesLayout small(int slices = 2, const QString& date = QStringLiteral("20240115"))
{
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 16;
    layout.slices = slices;
    layout.studyDate = date;
    return layout;
}

// Writes the series into `folder` and indexes it; its study UID, empty on failure.
inline QString addStudy(db::Database* index, const QString& folder, fixtures::SeriesLayout layout = small())
{
    return fixtures::writeAndIndexSeries(*index, folder, layout) ? layout.studyUid : QString();
}

// Selects the studies' rows, opens the context menu on the first one and triggers the named entry,
// which must be enabled.
inline void triggerStudyMenu(MainWindow& w, const QStringList& uids, const char* actionName)
{
    w.refreshStudyTable();
    QTableWidget* table = w.studyTable();
    table->clearSelection();
    for (const QString& uid : uids)
        table->selectionModel()->select(table->model()->index(fixtures::studyRow(table, uid), 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const int row = fixtures::studyRow(table, uids.value(0));
    QVERIFY(row >= 0);
    std::unique_ptr<QMenu> menu(w.buildStudyContextMenu(table->visualItemRect(table->item(row, 0)).center()));
    QVERIFY(menu);
    QAction* action = menu->findChild<QAction*>(QLatin1String(actionName));
    QVERIFY(action && action->isEnabled());
    action->trigger();
}

// Where the program keeps a study's copies: "imported_from_zip/<MD5 of the series UID>" after an
// archive import, "pacs_downloads/<study UID>" after a retrieve (root names the folder).
inline QString storeFolder(const QString& root, const fixtures::SeriesLayout& layout)
{
    const QString name = root == QLatin1String("imported_from_zip") ? dicom::ZipImportWorker::storeName(layout.seriesUid)
                                                                     : layout.studyUid;
    return fixtures::TestBench::dataPath(root + QLatin1Char('/') + name);
}

// Writes the series into the store under the names the program gives its copies there and indexes
// it as the program's own copies; its study UID, empty on failure. files, when given, receives the
// stored paths.
inline QString addStoredStudy(db::Database* index, const QString& root, fixtures::SeriesLayout layout = small(),
                              QStringList* files = nullptr)
{
    fixtures::completeUids(layout);
    QTemporaryDir scratch;
    const QString folder = storeFolder(root, layout);
    QStringList stored;
    for (const QString& written : fixtures::writeSeries(scratch.path(), layout)) {
        const auto summary = dicom::readFileSummary(written);
        if (!summary || !QDir().mkpath(folder))
            return {};
        const QString name = root == QLatin1String("imported_from_zip") ? dicom::ZipImportWorker::storeName(summary->sopInstanceUid)
                                                                        : summary->sopInstanceUid;
        stored << QDir(folder).filePath(name + QStringLiteral(".dcm"));
        if (!QFile::copy(written, stored.last()))
            return {};
    }
    if (files)
        *files = stored;
    return fixtures::indexFiles(*index, stored, true) ? layout.studyUid : QString();
}

inline QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A program folder with the given files (path → bytes) that the portable copies take the viewer
// from while the object lives.
class FakeProgram
{
public:
    explicit FakeProgram(const QMap<QString, QByteArray>& files)
    {
        for (auto it = files.begin(); it != files.end(); ++it)
            fixtures::writeFile(m_dir.filePath(it.key()), it.value());
        setViewerProgramFolderOverride(m_dir.path());
    }
    ~FakeProgram() { setViewerProgramFolderOverride(QString()); }
    QString path(const QString& name = QString()) const { return name.isEmpty() ? m_dir.path() : m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

} // namespace apptest
