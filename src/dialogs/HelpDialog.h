#pragma once

#include <QDialog>
#include <QString>

// The built-in Russian manual, shown read-only.
class HelpDialog : public QDialog
{
    Q_OBJECT
public:
    explicit HelpDialog(QWidget* parent = nullptr);

    // The manual's HTML as built into the program.
    static QString manualHtml();
};
