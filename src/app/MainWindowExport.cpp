// The study list's exports: the portable study folder and ZIP, the viewer copies they carry, and the
// flash-drive and archive-folder flows of the context menu.

#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "app/StagedFolder.h"
#include "app/Startup.h"

#include "db/Database.h"
#include "db/StudyRecord.h"
#include "pacs/PacsRetrieveSession.h"
#include "platform/FreeNameWrite.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QVBoxLayout>

#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

namespace {

const QString kFlashTitle = QStringLiteral("Экспорт на флеш-накопитель");

fs::path toPath(const QString& path)
{
    return fs::path(path.toStdU16String());
}

// The copy's options; false when the user cancels.
bool askFlashOptions(QWidget* parent, bool* compress, bool* includeMac)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(kFlashTitle);
    auto* layout = new QVBoxLayout(&dialog);
    auto* compressBox = new QCheckBox(QStringLiteral("Сжимать снимки без потери качества (JPEG-LS Lossless)"));
    compressBox->setObjectName(QStringLiteral("compressCheck"));
    compressBox->setChecked(true);
    compressBox->setToolTip(QStringLiteral(
        "Обычно уменьшает размер в 2-3 раза без потери качества, но копирование займёт больше времени. Точная "
        "степень сжатия зависит от содержимого снимков."));
    layout->addWidget(compressBox);
    QCheckBox* macBox = nullptr;
    if (!macPortableBundlePath().isEmpty()) {
        macBox = new QCheckBox(QStringLiteral("Включить также просмотрщик для macOS"));
        macBox->setObjectName(QStringLiteral("macCheck"));
        macBox->setChecked(true);
        layout->addWidget(macBox);
        auto* note =
            new QLabel(QStringLiteral("Позволяет открыть исследование прямо с флеш-накопителя на другой ОС без установки Kalvenor."));
        note->setWordWrap(true);
        layout->addWidget(note);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *compress = compressBox->isChecked();
    *includeMac = macBox && macBox->isChecked();
    return true;
}

// Copies the entries of a Windows viewer build next to the program files already in the target.
void copyWindowsViewer(const fs::path& source, const fs::path& target)
{
    for (const fs::directory_entry& entry : fs::directory_iterator(source))
        copyOver(entry.path(), target / entry.path().filename());
}

} // namespace

bool MainWindow::writePortableStudyFolder(const QString& studyUid, const QString& target, QString* error,
                                          bool anonymise, bool compress, dicom::LeftOutCount* leftOut,
                                          platform::DurableBatch* batch)
{
    QString message;
    const StudyFiles files = exportFileList(*m_db, studyUid, &message);
    const bool ok =
        message.isEmpty() && runWithoutFreezing([&] {
            return writePortableFolderFiles(files, target, anonymise, compress, &message, leftOut, batch);
        });
    if (!ok && error)
        *error = message;
    return ok;
}

void MainWindow::addPortableViewers(const QString& target, bool includeMac, bool includeWindows,
                                    const QString& title)
{
    const QString bundle = includeMac ? macPortableBundlePath() : QString();
    const QString windows = includeWindows ? windowsPortableFolderPath() : QString();
    QString macError;
    QString windowsError;
    runWithoutFreezing([&] {
        const fs::path to = toPath(target);
        if (!bundle.isEmpty()) {
            try {
                const fs::path copied = to / "Kalvenor.app";
                copyOver(toPath(bundle), copied);
                const fs::path macos = copied / "Contents" / "MacOS";
                copyOver(to / "portable.marker", macos / "portable.marker");
                copyOver(to / "DICOM", macos / "DICOM");
            } catch (const fs::filesystem_error& e) {
                macError = fileCopyFailure(e);
            }
        }
        if (!windows.isEmpty()) {
            try {
                copyWindowsViewer(toPath(windows), to);
            } catch (const fs::filesystem_error& e) {
                windowsError = fileCopyFailure(e);
            }
        }
        return true;
    });
    if (!macError.isEmpty())
        QMessageBox::warning(this, title,
                             QStringLiteral("Не удалось добавить macOS-версию просмотрщика (%1) — продолжаем без неё.")
                                 .arg(macError));
    if (!windowsError.isEmpty())
        QMessageBox::warning(
            this, title,
            QStringLiteral("Не удалось добавить Windows-версию просмотрщика (%1) — продолжаем без неё.").arg(windowsError));
}

bool MainWindow::createPortableStudyZip(const QList<QString>& inputFiles, const QString& archivePath, QString* error,
                                        std::function<void(int, int)> progress)
{
    return writePortableZip({dicom::filesForThemselves(inputFiles)}, archivePath, error, std::move(progress));
}

void MainWindow::exportStudiesToFlashDrive(const QString& studyUid)
{
    const std::optional<db::StudyRecord> study = findStudy(*m_db, studyUid);
    if (!study)
        return;
    // Told before anything is asked; the copy itself asks again.
    if (const QString refusal = stillReceivingRefusal(*m_db, studyUid); !refusal.isEmpty()) {
        QMessageBox::warning(this, kFlashTitle, refusal);
        return;
    }
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Куда записать (например, флеш-накопитель)"), QString(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    const QString target = QDir(chosen).filePath(makeSafeFolderName(study->patientName, study->patientId));
    if (const QString refusal = programFolderOverlap(target); !refusal.isEmpty()) {
        QMessageBox::critical(this, QStringLiteral("Ошибка экспорта"), refusal);
        return;
    }
    // Once the user agrees, the folder ends up holding exactly the new export, nothing of the old one.
    const bool replace = QFileInfo::exists(target) && folderHasVisibleEntries(target);
    if (replace) {
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Папка не пуста"),
            QStringLiteral("Папка \"%1\" уже существует и не пуста. Записать поверх?").arg(target),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    bool compress = true;
    bool includeMac = false;
    if (!askFlashOptions(this, &compress, &includeMac))
        return;

    QProgressDialog busy(QStringLiteral("Копирование файлов и портативного просмотрщика…"), QString(), 0, 0, this);
    busy.setWindowTitle(QStringLiteral("Kalvenor"));
    busy.setWindowModality(Qt::WindowModal);
    busy.setCancelButton(nullptr);
    busy.setMinimumDuration(0);
    busy.show();
    QCoreApplication::processEvents();

    StagedFolder staged(target);
    QString error = staged.error();
    // The drive is said to be ready only once all of it has reached the drive, which may be pulled out
    // then: the study's copies and the program's files synced once, together, and the folder's name
    // once more as it is put in place.
    platform::DurableBatch onTheDrive(staged.path());
    bool ok = staged.isValid() && writePortableStudyFolder(studyUid, staged.path(), &error, false, compress,
                                                           nullptr, &onTheDrive);
    if (ok && includeMac)
        addPortableViewers(staged.path(), true, false, kFlashTitle);
    if (ok) {
        QList<platform::DurableBatch::Struck> struck;
        runWithoutFreezing([&] { return (struck = onTheDrive.confirm()).isEmpty(); });
        if (!struck.isEmpty()) {
            ok = false;
            error = unconfirmedText(struck);
        }
    }
    ok = ok && staged.commit(replace, &error);
    // What went wrong is told by the folder the user chose, not the hidden one it was written in.
    if (!ok && staged.isValid())
        error.replace(QDir::toNativeSeparators(staged.path()), QDir::toNativeSeparators(target));
    busy.close();

    if (ok) {
        QMessageBox::information(
            this, QStringLiteral("Готово"),
            QStringLiteral("Портативная версия для просмотра записана в:\n%1\n\nМожно скопировать всю эту "
                           "папку на флеш-накопитель — просмотрщик запускается двойным щелчком по файлу "
                           "«%2» внутри неё.")
                .arg(target, programFileName()));
        return;
    }
    QMessageBox::critical(this, QStringLiteral("Ошибка экспорта"), error);
}

void MainWindow::exportStudiesToArchive(const QStringList& studyUids)
{
    if (studyUids.isEmpty())
        return;
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Куда экспортировать (например, съёмный диск)"), QString(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;

    const int total = int(studyUids.size());
    QProgressDialog progress(QStringLiteral("Экспорт исследований…"), QStringLiteral("Отмена"), 0, total, this);
    progress.setWindowTitle(QStringLiteral("Kalvenor"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);

    static const QRegularExpression dateSeparators(QStringLiteral("[^0-9A-Za-zА-Яа-я]+"));
    int exported = 0;
    QStringList failures;
    bool cancelled = false;
    for (int i = 0; i < total; ++i) {
        progress.setValue(i);
        QCoreApplication::processEvents();
        if (progress.wasCanceled()) {
            cancelled = true;
            break;
        }
        const QString& uid = studyUids.at(i);
        const std::optional<db::StudyRecord> found = findStudy(*m_db, uid);
        if (!found) {
            failures << uid;
            continue;
        }
        const db::StudyRecord& study = *found;
        const QString label = study.patientName.isEmpty() ? uid : study.patientName;
        progress.setLabelText(QStringLiteral("Экспорт: %1…").arg(label));

        QString folderName = makeSafeFolderName(study.patientName, study.patientId);
        if (!study.studyDate.isEmpty())
            folderName +=
                QLatin1Char('_') + QString(study.studyDate).replace(dateSeparators, QStringLiteral("_"));
        // An existing file of that name is taken as well: the copies could not go into it.
        const QString candidate = firstFreePath(chosen, folderName, QString(), [](const QString& path) {
            const QFileInfo info(path);
            return info.exists() && (!info.isDir() || folderHasVisibleEntries(path));
        });
        StagedFolder staged(candidate);
        QString why = staged.error();
        const bool copied = staged.isValid() && copyStudyFilesTo(uid, staged.path(), &why);
        if (copied && staged.commit(false, &why)) {
            ++exported;
            continue;
        }
        if (staged.isValid()) // told by the folder the user is to find, not the hidden one
            why.replace(QDir::toNativeSeparators(staged.path()), QDir::toNativeSeparators(candidate));
        if (pacs::PacsRetrieveSession::isReceiving(uid))
            failures << QStringLiteral("%1 — %2").arg(label, why);
        else // where it was to go and why it did not
            failures << QStringLiteral("%1 — %2: %3").arg(label, QDir::toNativeSeparators(candidate), why);
    }
    progress.setValue(total);
    progress.close();

    QString text = QStringLiteral("Экспортировано исследований: %1 из %2.").arg(exported).arg(total);
    if (!failures.isEmpty())
        text += QStringLiteral("\n\nНе удалось экспортировать:\n%1").arg(failures.join(QLatin1Char('\n')));
    // The title says what happened; the counts below say how much.
    if (cancelled)
        QMessageBox::information(this, QStringLiteral("Экспорт отменён"), text);
    else if (exported == 0)
        QMessageBox::warning(this, QStringLiteral("Экспорт не выполнен"), text);
    else if (!failures.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Экспорт завершён с ошибками"), text);
    else
        QMessageBox::information(this, QStringLiteral("Экспорт завершён"), text);
}

bool MainWindow::copyStudyFilesTo(const QString& studyUid, const QString& destination, QString* error)
{
    QString refusal;
    const StudyFiles files = exportFileList(*m_db, studyUid, &refusal);
    if (!refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return false;
    }
    if (files.files.isEmpty()) {
        if (error)
            *error = QStringLiteral("В исследовании не найдено файлов для копирования");
        return false;
    }
    QString message;
    QStringList written;
    const bool ok = runWithoutFreezing([&] { return copyFilesNumbered(files, destination, &message, &written); });
    if (!ok) {
        // A study copied in part would pass for a complete one in the archive; remove what was written.
        for (const QString& file : written)
            QFile::remove(file);
        if (error)
            *error = message;
    }
    return ok;
}
