#pragma once
// What the study-list tests share: small studies written into a real index, the study context menu
// opened on chosen rows, file trees read back, and a fake program folder for the portable copies.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/StudyTableRow.h"
#include "support/TestFiles.h"

#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "db/Database.h"

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

inline QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Every file below root, as sorted relative paths.
inline QStringList treeOf(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
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
