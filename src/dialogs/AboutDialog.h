#pragma once

#include <QDialog>

// Product name, version, a short description, the link to the vendor's site and a manual update check.
// The study list also keeps a hidden one as the parent of its start-up update check.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
