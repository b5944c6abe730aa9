#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class QKeySequenceEdit;

// Lets the user change the shortcuts of the hotkey registry. Nothing is written before
// "Сохранить"; "Отмена" leaves the stored overrides exactly as they were.
class HotkeySettingsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit HotkeySettingsDialog(QWidget* parent = nullptr);
    ~HotkeySettingsDialog() override;

private:
    using EditorList = QList<QPair<QString, QKeySequenceEdit*>>;
    void resetToDefaults(const EditorList& editors);
    void saveHotkeys(const EditorList& editors);
};
