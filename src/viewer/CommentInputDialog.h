#pragma once

#include <QDialog>
#include <QString>

#include <optional>

class QLineEdit;

// One short line of text (an annotation's label or a comment), with quick picks of common findings.
class CommentInputDialog : public QDialog
{
    Q_OBJECT

public:
    CommentInputDialog(QWidget* parent, const QString& title, const QString& initialText);

    // The trimmed text when the user confirmed a non-blank one; empty when cancelled or blank.
    static std::optional<QString> getText(QWidget* parent, const QString& title, const QString& initialText);

private:
    QLineEdit* m_edit = nullptr;
};
