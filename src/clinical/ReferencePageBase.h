#pragma once

#include <QString>
#include <QWidget>

// A read-only reference page: one text browser showing the page's HTML, links not followed.
class ReferencePageBase : public QWidget
{
    Q_OBJECT

public:
    ReferencePageBase(const QString& html, QWidget* parent);
};
