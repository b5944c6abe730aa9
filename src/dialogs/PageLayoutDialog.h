#pragma once

#include <QDialog>
#include <QPixmap>

class QButtonGroup;
class QCheckBox;
class QRadioButton;
class QSpinBox;

// The sheet set-up asked before printing: orientation, images per sheet and which images of the active
// panel's series to print. Run modally; its getters are read after it was accepted.
class PageLayoutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit PageLayoutDialog(int frameCount, QWidget* parent = nullptr);

    bool autoFillSheet() const;
    int columns() const;
    int everyNth() const;
    bool isLandscape() const;
    int rows() const;
    int frameSelectionMode() const; // 0 ticked images, 1 every N-th, 2 a total spread evenly
    int evenFrameCount() const;

    // The picture of a rows x columns grid shown on a preset button.
    static QPixmap gridPresetIcon(int rows, int columns, int size, bool checked);

private:
    void applyGridPreset(int presetRows, int presetColumns);
    void uncheckPresets();

    QSpinBox* m_rows = nullptr;
    QSpinBox* m_columns = nullptr;
    QButtonGroup* m_gridPresets = nullptr;
    QCheckBox* m_autoFill = nullptr;
    QRadioButton* m_portrait = nullptr;
    QRadioButton* m_landscape = nullptr;
    int m_frameCount = 1;
    QButtonGroup* m_whichImages = nullptr;
    QRadioButton* m_checkedImages = nullptr;
    QRadioButton* m_everyNthRadio = nullptr;
    QRadioButton* m_evenlyRadio = nullptr;
    QSpinBox* m_nth = nullptr;
    QSpinBox* m_evenCount = nullptr;
};
