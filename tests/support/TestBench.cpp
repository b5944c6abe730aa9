#include "support/TestBench.h"

#include "support/IndexFixtures.h"
#include "support/SettingsFileHelpers.h"

#include "dicom/DicomFileSummary.h"

#include <dcmtk/oflog/oflog.h>

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace fixtures {

namespace {

// The wrapper makes every run's folders under a temporary "kalvenor-test" folder.
bool inTestFolder(const QString& path)
{
    return path.contains(QStringLiteral("kalvenor-test"));
}

} // namespace

TestBench::TestBench()
{
    useProgramNames();
    dicom::registerMetaTypes();
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QGuiApplication::setQuitOnLastWindowClosed(false);
    if (!m_dir.isValid())
        qFatal("TestBench: no temporary folder");
    const QString settings = QSettings().fileName();
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!inTestFolder(settings) || !inTestFolder(data))
        qFatal("TestBench: settings (%s) and data (%s) are not the run's own; run the test through ctest",
               qPrintable(settings), qPrintable(data));
}

QString TestBench::path(const QString& name) const
{
    return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
}

db::Database& TestBench::index()
{
    if (!m_index) {
        m_index = std::make_unique<db::Database>();
        if (!m_index->open(path(QStringLiteral("index.sqlite3"))))
            qFatal("TestBench: %s", qPrintable(m_index->lastError()));
    }
    return *m_index;
}

QList<db::InstanceRecord> TestBench::addSeries(SeriesLayout& layout)
{
    if (!writeAndIndexSeries(index(), path(QStringLiteral("series%1").arg(++m_series)), layout))
        return {};
    return index().instancesForSeries(layout.seriesUid);
}

QString TestBench::dataPath(const QString& name)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return name.isEmpty() ? data : QDir(data).filePath(name);
}

void TestBench::reset()
{
    clearSettings();
    QDir(dataPath()).removeRecursively();
}

} // namespace fixtures
