#include "analysis3d/TransferFunctionEditorDialog.h"

#include "analysis3d/TransferFunctionEditorWidget.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TransferFunctionEditorDialog::TransferFunctionEditorDialog(const render::TransferFunctionPreset& preset, double huMin,
                                                           double huMax, const QString& name, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Редактор кривой прозрачности"));
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    resize(560, 400);

    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(QStringLiteral("Перетаскивайте узлы (цвет/непрозрачность). Ctrl+клик по кривой — добавить "
                                           "точку, Ctrl+клик по узлу — удалить, двойной клик по узлу — цвет."),
                            this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    m_editor = new TransferFunctionEditorWidget(this);
    m_editor->setPreset(preset, huMin, huMax);
    layout->addWidget(m_editor, 1);

    auto* form = new QFormLayout;
    m_nameEdit = new QLineEdit(name, this);
    form->addRow(QStringLiteral("Имя пресета:"), m_nameEdit);
    layout->addLayout(form);

    auto* buttons = new QHBoxLayout;
    auto* save = new QPushButton(QStringLiteral("Сохранить как пресет"), this);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
    auto* done = new QPushButton(QStringLiteral("Готово"), this);
    done->setDefault(true);
    buttons->addWidget(save);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(done);
    layout->addLayout(buttons);

    connect(save, &QPushButton::clicked, this, &TransferFunctionEditorDialog::onSaveAsPreset);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_editor, &TransferFunctionEditorWidget::presetChangedDraft, this,
            &TransferFunctionEditorDialog::presetChangedDraft);
    connect(m_editor, &TransferFunctionEditorWidget::presetChangedFinal, this,
            &TransferFunctionEditorDialog::presetChangedFinal);
}

void TransferFunctionEditorDialog::onSaveAsPreset()
{
    render::TransferFunctionPreset preset = m_editor->preset();
    const QString name = m_nameEdit->text().trimmed();
    preset.name = name.isEmpty() ? QStringLiteral("Без имени") : name;
    emit saveAsPresetRequested(preset);
}
