#pragma once
// What the benchmark programs share: timing, numbers from the command line, the CT series of the
// import benchmarks, series written once into a cache folder that later runs reuse, and the CT-like
// phantom volume of the imaging benchmarks.

#include "support/DicomFixtures.h"
#include "render/ParallelFor.h"
#include "render/Volume.h"


#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The median of `repeats` timed calls, after one call that warms the caches.
inline double medianMs(int repeats, const std::function<void()>& fn)
{
    fn();
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto t = Clock::now();
        fn();
        times.push_back(msSince(t));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The number after `name` on the command line, or `fallback`.
inline int intArg(const QStringList& args, const char* name, int fallback)
{
    const qsizetype i = args.indexOf(QLatin1String(name));
    return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : fallback;
}

// `files` single-frame 512 x 512 CT slices with a pattern that does not compress to nothing.
inline fixtures::SeriesLayout importSeriesLayout(int files)
{
    fixtures::SeriesLayout layout;
    layout.rows = 512;
    layout.columns = 512;
    layout.slices = files;
    layout.value = [](int x, int y, int z) { return (x * 7 + y * 3 + z) % 2000 - 1000; };
    return layout;
}

// Writes the series once into `dir`; later runs find its marker file and reuse the files.
inline QStringList ensureSeries(const QString& dir, const fixtures::SeriesLayout& layout)
{
    const QString marker = dir + QStringLiteral("/complete");
    QStringList files;
    for (int k = 0; k < layout.slices; ++k)
        files << QDir(dir).filePath(QStringLiteral("IMG_%1.dcm").arg(k));
    if (QFile::exists(marker))
        return files;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    std::printf("  writing %d slices to %s ...\n", layout.slices, qPrintable(dir));
    std::fflush(stdout);
    files = fixtures::writeSeries(dir, layout);
    QFile f(marker);
    f.open(QIODevice::WriteOnly);
    return files;
}

// Before the application object: the program's settings and data live in the bench's own folders,
// never the user's; windows are offscreen unless a platform is chosen, and the offscreen platform's
// notes on every window, which would bury the figures, are not printed.
inline void keepProgramDataIn(const QTemporaryDir& scratch)
{
    for (const char* name : {"config", "data", "cache", "runtime"})
        QDir().mkpath(scratch.filePath(QLatin1String(name)));
    QFile::setPermissions(scratch.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", scratch.filePath(QStringLiteral("runtime")).toUtf8());
    qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", scratch.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CACHE_HOME", scratch.filePath(QStringLiteral("cache")).toUtf8());
    qputenv("KALVENOR_UPDATE_URL", "none");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
}

// After the application object: the program's names (its settings and data folders follow them), and
// windows that may close without ending the run.
inline void useProgramNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

// The start of a bulk insert of instance rows by the columns every index has had: the later ones
// (size, place, who wrote the file) keep their defaults.
#define KALVENOR_BULK_INSTANCE_INSERT                                                                        \
    "INSERT INTO instances (sop_instance_uid, series_instance_uid, instance_number, rows, columns, "         \
    "number_of_frames, pixel_spacing_x, pixel_spacing_y, slice_thickness, slice_location, window_center, "   \
    "window_width, rescale_slope, rescale_intercept, repetition_time, echo_time, image_position_x, "         \
    "image_position_y, image_position_z, orientation_row_x, orientation_row_y, orientation_row_z, "          \
    "orientation_col_x, orientation_col_y, orientation_col_z, has_spatial_info, frame_index, "               \
    "acquisition_time_seconds, temporal_position_index, frame_of_reference_uid, trigger_time_ms, "           \
    "cardiac_number_of_images, file_path) "

// Runs the statements on an index file in one transaction, through a connection of its own, with no
// journal and no syncing: bulk rows that no import could write in a bench run. False with *error at
// the first statement that fails.
inline bool execBulkSql(const QString& path, const QStringList& statements, QString* error)
{
    const QString name = QStringLiteral("bench_bulk");
    bool ok = true;
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        d.setDatabaseName(path);
        d.open();
        QSqlQuery q(d);
        const QStringList all =
            QStringList{QStringLiteral("PRAGMA journal_mode=OFF"), QStringLiteral("PRAGMA synchronous=OFF"),
                        QStringLiteral("BEGIN")} +
            statements + QStringList{QStringLiteral("COMMIT")};
        for (const QString& sql : all) {
            if (!q.exec(sql)) {
                *error = q.lastError().text() + QStringLiteral(" in ") + sql.left(80);
                ok = false;
                break;
            }
        }
        d.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// A CT-like phantom in HU at a point in mm from the volume's centre axis: air outside an elliptic body,
// soft tissue, two lungs, an aorta with contrast, a spine and rib bands.
inline float phantomHu(double x, double y, double z)
{
    auto inEllipse = [](double px, double py, double cx, double cy, double ax, double ay) {
        const double dx = (px - cx) / ax, dy = (py - cy) / ay;
        return dx * dx + dy * dy <= 1.0;
    };
    if (!inEllipse(x, y, 0, 0, 160, 115))
        return -1000.0f;
    if (!inEllipse(x, y, 0, 0, 157, 112))
        return 20.0f; // skin
    if (inEllipse(x, y, 0, 70, 18, 18))
        return 700.0f; // vertebral body
    if (inEllipse(x, y, -25, 25, 13, 13))
        return 320.0f; // aorta
    const bool ribBand = std::fmod(std::abs(z) + 1000.0, 24.0) < 9.0;
    if (ribBand && inEllipse(x, y, 0, 0, 148, 104) && !inEllipse(x, y, 0, 0, 140, 97))
        return 600.0f;
    if (inEllipse(x, y, -70, -5, 55, 70) || inEllipse(x, y, 70, -5, 55, 70))
        return -850.0f;
    return 40.0f;
}

// The phantom sampled on nx x ny x nz voxels of 0.7 x 0.7 x 1.0 mm.
inline render::Volume phantomVolume(int nx, int ny, int nz)
{
    render::Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.spacingX = v.spacingY = 0.7;
    v.spacingZ = 1.0;
    v.voxels.resize(size_t(nx) * ny * nz);
    render::parallelFor(nz, [&](int z0, int z1) {
        for (int z = z0; z < z1; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    v.voxels[v.index(x, y, z)] = phantomHu((x - nx / 2) * 0.7, (y - ny / 2) * 0.7, z * 1.0);
    });
    v.minValue = -1000;
    v.maxValue = 700;
    return v;
}

} // namespace bench
