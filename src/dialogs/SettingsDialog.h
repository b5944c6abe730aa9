#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QSpinBox;

// Edits the rules of the automatic clean-up of the local study store (the "cleanup" settings);
// the clean-up itself runs at program start. Cancel leaves the stored rules as they were.
class SettingsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SettingsDialog(QWidget* parent = nullptr);

private slots:
    void onSaveClicked();

private:
    QCheckBox* ageCheck = nullptr;
    QSpinBox* ageSpin = nullptr;
    QCheckBox* sizeCheck = nullptr;
    QDoubleSpinBox* sizeSpin = nullptr;
    QComboBox* unitCombo = nullptr;
};
