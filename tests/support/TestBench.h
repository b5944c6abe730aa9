#pragma once
// One test program's own world, made before its first case so that test files need no start-up of their
// own: the program's names (settings and data folders are found where the program keeps them), DICOM types
// for queued signals, the codecs, quiet DCMTK, windows that may close without ending the run, and a
// temporary folder with an index in it. Settings and data must lie in the run's own folders (the test
// wrapper's): the bench refuses to start otherwise, so reset() can never empty a user's real ones.
//
//     class TestX : public QObject { Q_OBJECT  fixtures::TestBench m_bench;
//     private slots:
//         void init() { m_bench.reset(); }   // when cases must start from empty settings and data
//         void rows() { const auto rows = m_bench.addSeries(layout); ... m_bench.index() ... }

#include "support/DicomFixtures.h"

#include "db/Database.h"
#include "dicom/CodecRegistration.h"

#include <QTemporaryDir>

#include <memory>

namespace fixtures {

class TestBench
{
public:
    TestBench();

    // A path in the bench's temporary folder (the folder itself for an empty name).
    QString path(const QString& name = QString()) const;
    // The bench's own index (index.sqlite3 in its folder), opened on first use.
    db::Database& index();
    // Writes the series into a new folder of the bench, indexes it and returns its rows in instance
    // order (empty when writing or indexing failed). Empty UIDs in `layout` are generated and written back.
    QList<db::InstanceRecord> addSeries(SeriesLayout& layout);

    // A path in the program's data folder (where it keeps its index, imported copies and downloads).
    static QString dataPath(const QString& name = QString());
    // Forgets every setting and removes the program's data folder.
    static void reset();

private:
    QTemporaryDir m_dir;
    dicom::CodecRegistrationScope m_codecs;
    std::unique_ptr<db::Database> m_index;
    int m_series = 0;
};

} // namespace fixtures
