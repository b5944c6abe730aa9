#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPlainTextEdit;

// Lets the user describe a problem and mail it to the vendor's support address through the default
// mail client, or copy the same text. The report holds the description, an optional contact, the
// version, the OS and the date: never patient data or study files.
class BugReportDialog : public QDialog
{
    Q_OBJECT
public:
    explicit BugReportDialog(QWidget* parent = nullptr);

    QString reportText() const;

private:
    void sendByMail();
    void copyToClipboard();

    QPlainTextEdit* descriptionEdit = nullptr;
    QLineEdit* contactEdit = nullptr;
};
