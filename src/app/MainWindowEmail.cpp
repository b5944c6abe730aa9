// Sending one indexed study by e-mail: the portable ZIP is packed on the global thread pool under a
// progress dialog, then the user picks a mail program or a webmail service, a new message opens there
// and the archive's folder is shown so that the user can attach the file by hand.

#include "app/MailCompose.h"
#include "app/MainWindow.h"
#include "app/PortableExport.h"
#include "app/Startup.h"

#include "db/Database.h"
#include "db/StudyRecord.h"
#include "platform/FreeNameWrite.h"
#include "platform/ShowInFolder.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {

const QString EmailTitle = QStringLiteral("Отправка по email");

// The webmail services: host, compose path and display name.
struct Webmail
{
    MailChoice choice;
    const char* host;
    const char* path;
    const char* name;
};

constexpr Webmail Webmails[] = {
    {MailChoice::Gmail, "mail.google.com", "/mail/", "Gmail"},
    {MailChoice::Yandex, "mail.yandex.ru", "/compose", "Яндекс.Почта"},
    {MailChoice::MailRu, "e.mail.ru", "/compose/", "Mail.ru"},
    {MailChoice::Outlook, "outlook.live.com", "/mail/0/deeplink/compose", "Outlook.com"},
};

// Every character outside the unreserved set is escaped, so "&", "+", "=" and "#" in a patient name
// or a folder name stay part of the value instead of ending it or turning into a space.
QString queryOf(const QList<QPair<QString, QString>>& items)
{
    QStringList parts;
    for (const auto& [key, value] : items)
        parts << key + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(value));
    return parts.join(QLatin1Char('&'));
}

} // namespace

QStringList mailChoiceTexts()
{
    QStringList texts{QStringLiteral("Почтовая программа по умолчанию (Outlook и т.п.)")};
    for (const Webmail& service : Webmails)
        texts << QString::fromUtf8(service.name) + QStringLiteral(" (в браузере)");
    return texts;
}

QUrl mailComposeUrl(MailChoice choice, const QString& subject, const QString& body)
{
    QUrl url;
    if (choice == MailChoice::DefaultProgram) {
        url.setScheme(QStringLiteral("mailto"));
        url.setQuery(queryOf({{QStringLiteral("subject"), subject}, {QStringLiteral("body"), body}}),
                     QUrl::StrictMode);
        return url;
    }
    for (const Webmail& service : Webmails) {
        if (service.choice != choice)
            continue;
        url.setScheme(QStringLiteral("https"));
        url.setHost(QString::fromLatin1(service.host));
        url.setPath(QString::fromLatin1(service.path));
        if (choice == MailChoice::Gmail)
            url.setQuery(queryOf({{QStringLiteral("view"), QStringLiteral("cm")},
                                  {QStringLiteral("fs"), QStringLiteral("1")},
                                  {QStringLiteral("su"), subject},
                                  {QStringLiteral("body"), body}}),
                         QUrl::StrictMode);
        else
            url.setQuery(queryOf({{QStringLiteral("subject"), subject}, {QStringLiteral("body"), body}}),
                         QUrl::StrictMode);
    }
    return url;
}

void openMailCompose(MailChoice choice, const QString& subject, const QString& body)
{
    const QUrl url = mailComposeUrl(choice, subject, body);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

QString mailSubject(const QString& patientName)
{
    return QStringLiteral("DICOM-исследование: %1")
        .arg(patientName.isEmpty() ? QStringLiteral("(без имени)") : patientName);
}

QString mailBody(const QString& archivePath)
{
    return QStringLiteral("Во вложении — архив с DICOM-снимками исследования и встроенным просмотрщиком "
                          "(получателю не нужно ничего устанавливать — распаковать архив и запустить "
                          "файл «%2» внутри).\n\nФайл архива (папка с ним откроется следом):\n%1\n\n"
                          "Перетащите этот файл в это письмо как вложение — прикрепить файл нужно вручную.")
        .arg(QDir::toNativeSeparators(archivePath), programFileName());
}

void MainWindow::sendStudyByEmail(const QString& studyUid)
{
    const std::optional<db::StudyRecord> study = findStudy(*m_db, studyUid);
    if (!study)
        return;
    const QString patientName = study->patientName;
    const QString patientId = study->patientId;
    // A multi-frame file has one index row per frame but belongs in the archive once.
    QString refusal;
    StudyFiles files = exportFileList(*m_db, studyUid, &refusal);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, EmailTitle, refusal);
        return;
    }
    if (files.files.isEmpty()) {
        QMessageBox::warning(this, EmailTitle, QStringLiteral("В исследовании не найдено файлов."));
        return;
    }
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Куда сохранить архив для отправки"),
                                                             QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    // Taken again: a retrieve of the study may have begun, or ended, while the folder was chosen.
    files = exportFileList(*m_db, studyUid, &refusal);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, EmailTitle, refusal);
        return;
    }
    // An archive sent before, or any file of the user's under that name, stays as it is.
    const QString archivePath = firstFreePath(
        folder, makeSafeFolderName(patientName, patientId), QStringLiteral(".zip"),
        [](const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); });

    auto* progress =
        new QProgressDialog(QStringLiteral("Упаковка файлов и портативного просмотрщика в архив…"), QString(), 0, 100, this);
    progress->setObjectName(QStringLiteral("emailZipProgress"));
    progress->setWindowTitle(EmailTitle);
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(0);
    progress->setValue(0);
    progress->setAutoClose(false);
    progress->setCancelButton(nullptr);

    auto* watcher = new QFutureWatcher<bool>(this);
    const auto sharedError = std::make_shared<QString>();
    // The name the archive got: the one chosen, or the next free one when another program took it meanwhile.
    const auto placedPath = std::make_shared<QString>();
    connect(watcher, &QFutureWatcher<bool>::finished, this,
            [this, watcher, progress, sharedError, placedPath, patientName] {
                progress->close();
                progress->deleteLater();
                const bool ok = watcher->result();
                watcher->deleteLater();
                if (!ok) {
                    QMessageBox::critical(this, QStringLiteral("Ошибка создания архива"), *sharedError);
                    return;
                }
                showMailClientChooser(*placedPath, patientName);
            });
    const QPointer<QProgressDialog> guard(progress);
    auto report = [guard](int value, int maximum) {
        QMetaObject::invokeMethod(
            qApp,
            [guard, value, maximum] {
                if (!guard)
                    return;
                guard->setMaximum(maximum);
                guard->setValue(value);
            },
            Qt::QueuedConnection);
    };
    watcher->setFuture(QtConcurrent::run([files, archivePath, sharedError, placedPath, report] {
        QString error;
        QString why;
        // Packed under a partial name, but told by the name the archive is to take.
        *placedPath = platform::writeUnderFreeName(
            archivePath,
            [&](const QString& partial) {
                return writePortableZip(files, partial, &error, report, archivePath);
            },
            &why);
        if (placedPath->isEmpty() && !why.isEmpty())
            error = QStringLiteral("Не удалось сохранить файл архива %1: %2")
                        .arg(QDir::toNativeSeparators(archivePath), why);
        *sharedError = error;
        return !placedPath->isEmpty();
    }));
}

void MainWindow::showMailClientChooser(const QString& archivePath, const QString& patientName)
{
    const QString subject = mailSubject(patientName);
    const QString body = mailBody(archivePath);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("mailChooserMenu"));
    const QStringList texts = mailChoiceTexts();
    for (int i = 0; i < texts.size(); ++i) {
        const auto choice = static_cast<MailChoice>(i);
        connect(menu->addAction(texts.at(i)), &QAction::triggered, this,
                [choice, subject, body] { openMailCompose(choice, subject, body); });
    }
    menu->exec(mapToGlobal(QPoint(width() / 2, height() / 2)));
    menu->deleteLater();
    // Whatever was chosen, the user still has to attach the file: show where it lies.
    platform::showFileInFolder(archivePath);
}
