// Putting one indexed study on a CD or DVD with the portable viewer: sizes for the burn dialog, the
// staging folder with the read-me and autorun texts, and the burn worker on a thread of its own.

#include "app/DiscStaging.h"
#include "app/MainWindow.h"
#include "app/PortableExport.h"

#include "db/Database.h"
#include "db/StudyRecord.h"
#include "dialogs/BurnDiscDialog.h"
#include "dialogs/DiscBurnWorker.h"
#include "dialogs/WaitingBox.h"
#include "dicom/DicomCopyWriters.h"
#include "platform/DiscRecording.h"
#include "platform/FreeNameWrite.h"
#include "platform/TerminationSignals.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <QStringEncoder>
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

QString crlfLines(const QStringList& lines)
{
    QString out;
    for (const QString& line : lines)
        out += line + QStringLiteral("\r\n");
    return out;
}

// True when the label still carries a word of the patient's name or the patient's ID.
bool labelNamesPatient(const QString& label, const QString& patientName, const QString& patientId)
{
    static const QRegularExpression separators(QStringLiteral("[\\s^_,.]+"));
    QStringList parts = patientName.split(separators, Qt::SkipEmptyParts);
    parts << patientId.trimmed();
    for (const QString& part : std::as_const(parts))
        if (part.size() >= 2 && label.contains(part, Qt::CaseInsensitive))
            return true;
    return false;
}

// A file of the disc, whole or not at all: false with what the user is told.
bool writeDiscFile(const QString& path, const QByteArray& bytes, QString* error,
                   platform::DurableBatch* batch)
{
    QString why;
    if (!platform::writeUnderFreeName(path, bytes, &why, platform::TakenName::Fail, batch).isEmpty())
        return true;
    *error = QStringLiteral("Не удалось подготовить файл %1 для записи на диск: %2")
                 .arg(QFileInfo(path).fileName(), why);
    return false;
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
    return crlfLines(lines).toUtf8();
}

QByteArray autorunText(const QString& volumeLabel)
{
    // Windows reads an autorun.inf without a byte-order mark in the ANSI code page, which garbles a
    // Cyrillic label; with the UTF-16 mark it reads Unicode.
    QStringEncoder utf16(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return utf16(crlfLines({QStringLiteral("[autorun]"), QStringLiteral("open=VavovIvirur.exe"),
                            QStringLiteral("icon=VavovIvirur.exe,0"),
                            QStringLiteral("label=") + volumeLabel}));
}

void MainWindow::burnStudiesToDisc(const QString& studyUid)
{
    const std::optional<db::StudyRecord> study = findStudy(*m_db, studyUid);
    if (!study)
        return;
    const QString patientName = study->patientName;
    const QString patientId = study->patientId;

    // A multi-frame file has one index row per frame but lies on the disc once.
    QString refusal;
    const StudyFiles files = exportFileList(*m_db, studyUid, &refusal);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, BurnTitle, refusal);
        return;
    }
    qint64 studyBytes = 0;
    for (const dicom::RowFile& file : files.files)
        studyBytes += QFileInfo(file.path).size();
    const QString macBundle = macPortableBundlePath();
    const QString windowsSet = windowsPortableFolderPath();
    const qint64 macBytes = macBundle.isEmpty() ? 0 : folderSize(macBundle);
    const qint64 windowsBytes = windowsSet.isEmpty() ? 0 : folderSize(windowsSet);

    BurnDiscDialog dialog(studyBytes, viewerCopySize(), macBytes, windowsBytes,
                          makeSafeFolderName(patientName, patientId), this);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedRecorderId().isEmpty())
        return;
    QString volumeLabel = dialog.volumeLabel();
    if (dialog.anonymize() && labelNamesPatient(volumeLabel, patientName, patientId))
        volumeLabel = BurnDiscDialog::anonymousVolumeLabel();

    const QString staging =
        QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation))
            .filePath(QStringLiteral("KalvenorBurn_%1").arg(QDateTime::currentMSecsSinceEpoch()));
    QProgressDialog busy(QStringLiteral("Подготовка файлов для записи…"), QString(), 0, 0, this);
    busy.setWindowTitle(QStringLiteral("Kalvenor"));
    busy.setWindowModality(Qt::WindowModal);
    busy.setCancelButton(nullptr);
    busy.setMinimumDuration(0);
    busy.show();
    QCoreApplication::processEvents();
    QString error;
    dicom::LeftOutCount leftOut;
    // The disc's files reach the disk together, once, before the burn is handed them.
    QDir().mkpath(staging);
    platform::DurableBatch onTheDisk(staging);
    const bool ok = writePortableStudyFolder(studyUid, staging, &error, dialog.anonymize(),
                                             dialog.compressLossless(), &leftOut, &onTheDisk);
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
    // A disc without its guide or with half an autorun file is not what the user asked for.
    QList<platform::DurableBatch::Struck> struck;
    if (!writeDiscFile(QDir(staging).filePath(QStringLiteral("ПРОЧТИ.txt")), discReadmeText(includeMac),
                       &error, &onTheDisk) ||
        (dialog.addAutorun() && !writeDiscFile(QDir(staging).filePath(QStringLiteral("autorun.inf")),
                                               autorunText(volumeLabel), &error, &onTheDisk)) ||
        !runWithoutFreezing([&] { return (struck = onTheDisk.confirm()).isEmpty(); })) {
        QMessageBox::critical(this, BurnTitle, struck.isEmpty() ? error : unconfirmedText(struck));
        QDir(staging).removeRecursively();
        return;
    }

    // The dialog's estimate guesses the compression; the prepared image is what must fit.
    if (!imageFitsMedium(staging, volumeLabel, dialog.selectedRecorderId())) {
        QDir(staging).removeRecursively();
        return;
    }

    auto* progress = new QProgressDialog(QStringLiteral("Запись на диск… НЕ ИЗВЛЕКАЙТЕ носитель"), QString(), 0, 0, this);
    progress->setObjectName(QStringLiteral("discBurnProgress"));
    progress->setWindowTitle(BurnTitle);
    progress->setCancelButton(nullptr);
    progress->setMinimumDuration(0);
    progress->setWindowModality(Qt::NonModal);
    progress->show();

    auto* thread = new QThread;
    auto* worker =
        new disc::DiscBurnWorker(dialog.selectedRecorderId(), staging, volumeLabel, dialog.ejectWhenDone());
    worker->moveToThread(thread);
    const bool deleteTemp = dialog.deleteTempFiles();
    connect(thread, &QThread::started, worker, &disc::DiscBurnWorker::run);
    connect(worker, &disc::DiscBurnWorker::progressChanged, progress, &QProgressDialog::setLabelText);
    connect(worker, &disc::DiscBurnWorker::finished, this,
            [this, thread, progress, staging, deleteTemp, leftOut](bool success, const QString& message) {
                // Off the running list, yet still holding a window that is to close until the user
                // has read how it went.
                m_burnThreads.removeOne(thread);
                ++m_burnOutcomesToTell;
                progress->close();
                progress->deleteLater();
                thread->quit();
                if (deleteTemp)
                    QDir(staging).removeRecursively();
                // Told once control is back in an event loop, not inside the worker's end, whose
                // thread ends and whose worker goes while the user reads it. Still a box that waits:
                // a window that is to close once the burns end closes only after the user has read
                // how the last one went, also when it ended while the closing question was open.
                const QString text = success ? message + dicom::leftOutNote(leftOut) : message;
                QTimer::singleShot(0, this, [this, success, text] {
                    if (success)
                        QMessageBox::information(this, BurnTitle, text);
                    else
                        QMessageBox::critical(this, BurnTitle, text);
                    --m_burnOutcomesToTell;
                    closeOnceBurnsDone();
                });
                // A program the system asked to end goes as soon as no burn runs.
                closeOnceBurnsDone();
            });
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_burnThreads << thread;
    thread->start(QThread::InheritPriority);
}

bool MainWindow::imageFitsMedium(const QString& staging, const QString& volumeLabel,
                                 const QString& recorderId)
{
    qint64 freeBytes = 0;
    for (const disc::RecorderInfo& recorder : disc::enumerateRecorders(nullptr))
        if (recorder.id == recorderId)
            freeBytes = recorder.freeBytes;
    const qint64 imageBytes = platform::discImageBytes(staging, volumeLabel);
    if (freeBytes < 1 || imageBytes <= freeBytes)
        return true; // a medium that does not tell its space is left to the burn itself
    QMessageBox::critical(
        this, BurnTitle,
        QStringLiteral("На диске недостаточно места (свободно %1, требуется %2). Используйте диск "
                       "большей ёмкости.")
            .arg(BurnDiscDialog::formatSize(freeBytes), BurnDiscDialog::formatSize(imageBytes)));
    return false;
}

bool MainWindow::burnsHoldWindow() const
{
    return !m_burnThreads.isEmpty() ||
           (m_burnOutcomesToTell > 0 && !platform::TerminationSignals::requested());
}

void MainWindow::closeOnceBurnsDone()
{
    if (m_closeWhenBurnsEnd && !burnsHoldWindow())
        close();
}

bool MainWindow::closeNowOrAfterBurns()
{
    if (!burnsHoldWindow())
        return true;
    // A burn that has ended closes the window once its outcome has been read. A request to end from
    // the system asks nobody and lets a running burn finish, as the question's default would.
    if (m_burnThreads.isEmpty() || platform::TerminationSignals::requested()) {
        m_closeWhenBurnsEnd = true;
        return false;
    }
    if (m_askingToCloseDuringBurn)
        return false;
    // Asked in the main loop, not in one of its own inside this close: a burn's end and its outcome,
    // and a request to end from the system, are heard while it waits.
    m_askingToCloseDuringBurn = true;
    QMessageBox* box = askWaitingBox(
        this, QMessageBox::Warning, BurnTitle,
        QStringLiteral("Идёт запись диска. Если закрыть программу сейчас, диск будет испорчен.\n\n"
                       "Дождаться окончания записи или прервать её? Программа закроется, как только "
                       "запись остановится."),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes, this,
        [this](QMessageBox::StandardButton answer) {
            m_askingToCloseDuringBurn = false;
            if (answer == QMessageBox::Cancel)
                return;
            if (answer == QMessageBox::No)
                for (QThread* thread : std::as_const(m_burnThreads))
                    thread->requestInterruption();
            m_closeWhenBurnsEnd = true;
            // The burns may have ended, and their outcomes been read, while the question was open.
            closeOnceBurnsDone();
        });
    box->button(QMessageBox::Yes)->setText(QStringLiteral("Дождаться окончания"));
    box->button(QMessageBox::No)->setText(QStringLiteral("Прервать запись"));
    box->button(QMessageBox::Cancel)->setText(QStringLiteral("Не закрывать"));
    box->setEscapeButton(QMessageBox::Cancel);
    return false;
}
