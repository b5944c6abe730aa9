#include "dialogs/AboutDialog.h"

#include "dialogs/UpdateCheck.h"
#include "dialogs/VendorSite.h"

#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("О программе"));
    resize(440, 320);
    auto* layout = new QVBoxLayout(this);

    auto* name = new QLabel(QStringLiteral("Kalvenor"), this);
    QFont nameFont = name->font();
    nameFont.setPointSize(18);
    nameFont.setWeight(QFont::Bold);
    name->setFont(nameFont);
    layout->addWidget(name);

    auto* version = new QLabel(QStringLiteral("Версия %1").arg(applicationVersionText()), this);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(version);

    auto* description = new QLabel(
        QStringLiteral("Просмотрщик медицинских изображений формата DICOM — импорт из папки, ZIP-архива, CD/DVD и с "
                       "PACS-серверов; 2D/MPR/3D-визуализация, измерения, экспорт. Все данные хранятся локально."),
        this);
    description->setWordWrap(true);
    layout->addWidget(description);
    layout->addSpacing(12);

    const QUrl site(vendorOrigin());
    auto* link = new QLabel(QStringLiteral("Сайт: <a href=\"%1\">%2</a>")
                                .arg(site.toString(QUrl::FullyEncoded).toHtmlEscaped(), site.host().toHtmlEscaped()),
                            this);
    link->setObjectName(QStringLiteral("siteLabel"));
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    link->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                  Qt::LinksAccessibleByKeyboard);
    layout->addWidget(link);

    auto* check = new QPushButton(QStringLiteral("Проверить обновления…"), this);
    check->setObjectName(QStringLiteral("checkUpdatesButton"));
    connect(check, &QPushButton::clicked, this, [this] { checkForUpdates(this, false); });
    layout->addWidget(check);

    layout->addStretch();
    auto* close = new QPushButton(QStringLiteral("Закрыть"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
}
