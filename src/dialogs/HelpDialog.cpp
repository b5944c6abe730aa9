#include "dialogs/HelpDialog.h"

#include <QFile>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

QString HelpDialog::manualHtml()
{
    QFile file(QStringLiteral(":/help/manual.html"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<h2>Kalvenor — инструкция</h2><p>Текст справки недоступен.</p>");
    return QString::fromUtf8(file.readAll());
}

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Помощь"));
    resize(720, 640);
    auto* layout = new QVBoxLayout(this);
    auto* browser = new QTextBrowser(this);
    browser->setObjectName(QStringLiteral("helpBrowser"));
    browser->setOpenExternalLinks(false);
    browser->setHtml(manualHtml());
    layout->addWidget(browser);
    auto* close = new QPushButton(QStringLiteral("Закрыть"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
}
