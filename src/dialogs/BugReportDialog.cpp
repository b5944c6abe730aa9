#include "dialogs/BugReportDialog.h"

#include "dialogs/VendorSite.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>
#include <QVBoxLayout>

namespace {

const QString kTitle = QStringLiteral("Сообщить об ошибке");
const QString kCopyButtonText = QStringLiteral("Скопировать в буфер обмена");

} // namespace

BugReportDialog::BugReportDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(kTitle);
    resize(520, 420);
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(
        QStringLiteral("Опишите, что произошло — что вы делали, что ожидали увидеть и что увидели вместо этого. Чем "
                       "подробнее, тем быстрее удастся разобраться (например: какое исследование, какой "
                       "инструмент/окно, повторяется ли при повторной попытке)."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    descriptionEdit = new QPlainTextEdit(this);
    descriptionEdit->setObjectName(QStringLiteral("descriptionEdit"));
    descriptionEdit->setPlaceholderText(QStringLiteral("Описание проблемы…"));
    layout->addWidget(descriptionEdit, 1);

    auto* form = new QFormLayout;
    contactEdit = new QLineEdit(this);
    contactEdit->setObjectName(QStringLiteral("contactEdit"));
    contactEdit->setPlaceholderText(QStringLiteral("необязательно — если нужен ответ"));
    form->addRow(QStringLiteral("Ваш e-mail:"), contactEdit);
    layout->addLayout(form);

    auto* note = new QLabel(QStringLiteral("К отчёту автоматически добавляется версия программы, ОС и дата — без "
                                           "каких-либо данных пациентов или файлов исследований (те никуда не "
                                           "отправляются)."),
                            this);
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(note);

    auto* row = new QHBoxLayout;
    auto* copy = new QPushButton(kCopyButtonText, this);
    copy->setObjectName(QStringLiteral("copyButton"));
    copy->setToolTip(QStringLiteral("Если на этом компьютере не настроен почтовый клиент — скопируйте отчёт сюда и "
                                    "вставьте в письмо/чат вручную."));
    connect(copy, &QPushButton::clicked, this, &BugReportDialog::copyToClipboard);
    row->addWidget(copy);
    row->addStretch();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* send = buttons->addButton(QStringLiteral("Отправить по почте…"), QDialogButtonBox::AcceptRole);
    send->setObjectName(QStringLiteral("sendButton"));
    connect(send, &QPushButton::clicked, this, &BugReportDialog::sendByMail);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    row->addWidget(buttons);
    layout->addLayout(row);
}

QString BugReportDialog::reportText() const
{
    QString text = descriptionEdit->toPlainText().trimmed();
    text += QStringLiteral("\n\n---\n");
    const QString contact = contactEdit->text().trimmed();
    if (!contact.isEmpty())
        text += QStringLiteral("Контакт: %1\n").arg(contact);
    text += QStringLiteral("Версия Kalvenor: %1\n").arg(applicationVersionText());
    text += QStringLiteral("ОС: %1\n").arg(QSysInfo::prettyProductName());
    text += QStringLiteral("Дата: %1\n").arg(QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy HH:mm")));
    return text;
}

void BugReportDialog::sendByMail()
{
    if (descriptionEdit->toPlainText().trimmed().isEmpty()) {
        QMessageBox::warning(this, kTitle,
                             QStringLiteral("Опишите проблему — пустой отчёт не поможет разобраться, что случилось."));
        return;
    }
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"),
                       QStringLiteral("Kalvenor %1 — сообщение об ошибке").arg(applicationVersionText()));
    query.addQueryItem(QStringLiteral("body"), reportText());
    QUrl url(QStringLiteral("mailto:%1").arg(supportEmailAddress()));
    url.setQuery(query);
    if (QDesktopServices::openUrl(url)) {
        accept();
        return;
    }
    QMessageBox::warning(this, kTitle,
                         QStringLiteral("Не удалось открыть почтовый клиент. Используйте кнопку \"%1\" и отправьте "
                                        "текст вручную на %2.")
                             .arg(kCopyButtonText, supportEmailAddress()));
}

void BugReportDialog::copyToClipboard()
{
    QApplication::clipboard()->setText(reportText(), QClipboard::Clipboard);
    QMessageBox::information(this, kTitle, QStringLiteral("Текст отчёта скопирован в буфер обмена."));
}
