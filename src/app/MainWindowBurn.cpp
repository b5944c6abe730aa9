// Putting one indexed study on a CD or DVD with the portable viewer: sizes for the burn dialog, the
// staging folder with the read-me and autorun texts, and the burn worker on a thread of its own.

#include "DiscStaging.h"
#include "MainWindow.h"
#include "PortableExport.h"

#include "db/Database.h"
#include "db/StudyRecord.h"
#include "dialogs/BurnDiscDialog.h"
#include "dialogs/DiscBurnWorker.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QThread>

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const QString BurnTitle = QStringLiteral("Запись на диск");

fs::path toPath(const QString& path)
{
    return fs::path(path.toStdU16String());
}

QByteArray crlfLines(const QStringList& lines)
{
    QByteArray out;
    for (const QString& line : lines)
        out += line.toUtf8() + "\r\n";
    return out;
}

// Truncates and writes; a file that cannot be opened is left out silently.
void writeText(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

} // namespace

qint64 folderSize(const QString& folder)
{
    qint64 total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(toPath(folder), ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError)) {
            const auto size = it->file_size(typeError);
            if (!typeError)
                total += qint64(size);
        }
    }
    return total;
}

qint64 viewerCopySize()
{
    qint64 total = 0;
    std::error_code ec;
    fs::directory_iterator it(toPath(viewerProgramFolder()), ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const QString path = QString::fromStdU16String(it->path().u16string());
        if (isExcludedFromViewerCopy(path))
            continue;
        std::error_code typeError;
        if (it->is_directory(typeError)) {
            total += folderSize(path);
        } else {
            const auto size = it->file_size(typeError);
            if (!typeError)
                total += qint64(size);
        }
    }
    return total;
}

QByteArray discReadmeText(bool includesMac)
{
    QStringList lines{QStringLiteral("Kalvenor — диск с исследованием"), QString(32, QLatin1Char('=')), QString(),
                      QStringLiteral("Windows: просмотрщик запустится автоматически (AutoPlay) либо запустите "
                                     "VavovIvirur.exe вручную."),
                      QString()};
    if (includesMac) {
        lines << QStringLiteral("macOS: откройте файл Kalvenor.app двойным щелчком в Finder.")
              << QStringLiteral("Если появится сообщение о том, что приложение от неопознанного разработчика — "
                                "щёлкните по Kalvenor.app правой кнопкой (или Control+клик), выберите \"Открыть\" и "
                                "подтвердите запуск ещё раз (это разовое действие macOS Gatekeeper для приложений без "
                                "нотариальной заверки Apple).");
    } else {
        lines << QStringLiteral("macOS: отдельный просмотрщик для Mac на этот диск не включён — снимки (папка DICOM) "
                                "можно открыть любым DICOM-совместимым приложением или через веб-версию Kalvenor.");
    }
    return crlfLines(lines);
}

QByteArray autorunText(const QString& volumeLabel)
{
    return crlfLines({QStringLiteral("[autorun]"), QStringLiteral("open=VavovIvirur.exe"),
                      QStringLiteral("icon=VavovIvirur.exe,0"), QStringLiteral("label=") + volumeLabel});
}

void MainWindow::burnStudiesToDisc(const QString& studyUid)
{
    const std::optional<db::StudyRecord> study = findStudy(*m_db, studyUid);
    if (!study)
        return;
    const QString patientName = study->patientName;
    const QString patientId = study->patientId;

    qint64 studyBytes = 0;
    for (const db::SeriesRecord& series : m_db->seriesForStudy(studyUid))
        for (const db::InstanceRecord& instance : m_db->instancesForSeries(series.seriesInstanceUid))
            studyBytes += QFileInfo(instance.filePath).size();
    const QString macBundle = macPortableBundlePath();
    const QString windowsSet = windowsPortableFolderPath();
    const qint64 macBytes = macBundle.isEmpty() ? 0 : folderSize(macBundle);
    const qint64 windowsBytes = windowsSet.isEmpty() ? 0 : folderSize(windowsSet);

    BurnDiscDialog dialog(studyBytes, viewerCopySize(), macBytes, windowsBytes,
                          makeSafeFolderName(patientName, patientId), this);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedRecorderId().isEmpty())
        return;

    const QString staging =
        QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
            .filePath(QStringLiteral("KalvenorBurn_%1").arg(QDateTime::currentMSecsSinceEpoch()));
    QProgressDialog busy(QStringLiteral("Подготовка файлов для записи…"), QString(), 0, 0, this);
    busy.setWindowModality(Qt::WindowModal);
    busy.setCancelButton(nullptr);
    busy.setMinimumDuration(0);
    busy.show();
    QCoreApplication::processEvents();
    QString error;
    const bool ok =
        writePortableStudyFolder(studyUid, staging, &error, dialog.anonymize(), dialog.compressLossless());
    busy.close();
    if (!ok) {
        QMessageBox::critical(this, BurnTitle, error);
        QDir(staging).removeRecursively();
        return;
    }
    const bool includeMac = !macBundle.isEmpty() && dialog.includeMacViewer();
    // The Windows set goes along when it is there and wanted; the staging folder already holds the
    // running program's own files, so a disc without it still works.
    const bool includeWindows = !windowsSet.isEmpty() && dialog.includeWindowsViewer();
    addPortableViewers(staging, includeMac, includeWindows, BurnTitle);
    writeText(QDir(staging).filePath(QStringLiteral("ПРОЧТИ.txt")), discReadmeText(includeMac));
    if (dialog.addAutorun())
        writeText(QDir(staging).filePath(QStringLiteral("autorun.inf")), autorunText(dialog.volumeLabel()));

    auto* progress = new QProgressDialog(QStringLiteral("Запись на диск… НЕ ИЗВЛЕКАЙТЕ носитель"), QString(), 0, 0, this);
    progress->setObjectName(QStringLiteral("discBurnProgress"));
    progress->setWindowTitle(BurnTitle);
    progress->setCancelButton(nullptr);
    progress->setMinimumDuration(0);
    progress->setWindowModality(Qt::NonModal);
    progress->show();

    auto* thread = new QThread;
    auto* worker = new disc::DiscBurnWorker(dialog.selectedRecorderId(), staging, dialog.volumeLabel(),
                                            dialog.ejectWhenDone());
    worker->moveToThread(thread);
    const bool deleteTemp = dialog.deleteTempFiles();
    connect(thread, &QThread::started, worker, &disc::DiscBurnWorker::run);
    connect(worker, &disc::DiscBurnWorker::progressChanged, progress, &QProgressDialog::setLabelText);
    connect(worker, &disc::DiscBurnWorker::finished, this,
            [this, thread, progress, staging, deleteTemp](bool success, const QString& message) {
                progress->close();
                progress->deleteLater();
                thread->quit();
                if (deleteTemp)
                    QDir(staging).removeRecursively();
                if (success)
                    QMessageBox::information(this, BurnTitle, message);
                else
                    QMessageBox::critical(this, BurnTitle, message);
            });
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}
