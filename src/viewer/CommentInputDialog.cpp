#include "viewer/CommentInputDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

const QStringList commentQuickPicks = {
    QStringLiteral("Очаг"),      QStringLiteral("Стеноз"),    QStringLiteral("Кальцинат"), QStringLiteral("Киста"),
    QStringLiteral("Лимфоузел"), QStringLiteral("Патология"), QStringLiteral("ЗНО?"),      QStringLiteral("Перелом"),
    QStringLiteral("Грыжа"),     QStringLiteral("Норма"),
};

} // namespace

CommentInputDialog::CommentInputDialog(QWidget* parent, const QString& title, const QString& initialText)
    : QDialog(parent)
{
    setWindowTitle(title);
    setModal(true);

    auto* layout = new QVBoxLayout(this);

    m_edit = new QLineEdit(initialText, this);
    m_edit->setPlaceholderText(QStringLiteral("Комментарий"));
    m_edit->selectAll();
    layout->addWidget(m_edit);

    auto* grid = new QGridLayout;
    grid->setSpacing(4);
    for (int i = 0; i < commentQuickPicks.size(); ++i) {
        auto* button = new QPushButton(commentQuickPicks.at(i), this);
        // Quick picks never take the default role: Return in the line edit must mean OK.
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, button] {
            m_edit->setText(button->text());
            m_edit->setFocus();
            m_edit->selectAll();
        });
        grid->addWidget(button, i / 4, i % 4);
    }
    layout->addLayout(grid);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_edit, &QLineEdit::returnPressed, this, &QDialog::accept);
    layout->addWidget(buttons);

    setMinimumWidth(360);
    m_edit->setFocus();
}

std::optional<QString> CommentInputDialog::getText(QWidget* parent, const QString& title, const QString& initialText)
{
    CommentInputDialog dialog(parent, title, initialText);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QString text = dialog.m_edit->text().trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}
