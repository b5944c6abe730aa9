#include "clinical/ReferencePageBase.h"

#include <QTextBrowser>
#include <QVBoxLayout>

ReferencePageBase::ReferencePageBase(const QString& html, QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* browser = new QTextBrowser(this);
    browser->setOpenExternalLinks(false);
    browser->setHtml(html);
    layout->addWidget(browser);
}
