#pragma once

#include "render/TransferFunction.h"

#include <QDialog>

class QLineEdit;
class TransferFunctionEditorWidget;

// The non-modal dialog around the transfer-function editor, with a name field for saving the curve
// as the user's own preset.
class TransferFunctionEditorDialog : public QDialog
{
    Q_OBJECT

public:
    TransferFunctionEditorDialog(const render::TransferFunctionPreset& preset, double huMin, double huMax,
                                 const QString& name, QWidget* parent = nullptr);

    TransferFunctionEditorWidget* editor() const { return m_editor; }
    QLineEdit* nameEdit() const { return m_nameEdit; }

signals:
    void presetChangedDraft(render::TransferFunctionPreset preset);
    void presetChangedFinal(render::TransferFunctionPreset preset);
    void saveAsPresetRequested(render::TransferFunctionPreset preset);

public slots:
    void onSaveAsPreset();

private:
    TransferFunctionEditorWidget* m_editor = nullptr;
    QLineEdit* m_nameEdit = nullptr;
};
