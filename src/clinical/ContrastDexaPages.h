#pragma once

#include <QWidget>

class CalculatorResultPanel;
class QComboBox;
class QDoubleSpinBox;

// Safe iodinated contrast volume by weight and eGFR.
class ContrastDosePage : public QWidget
{
    Q_OBJECT

public:
    explicit ContrastDosePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QDoubleSpinBox* weight = nullptr;
    QDoubleSpinBox* egfr = nullptr;
    CalculatorResultPanel* result = nullptr;
};

// Bone densitometry graded by T-score and Z-score.
class DexaScorePage : public QWidget
{
    Q_OBJECT

public:
    explicit DexaScorePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QDoubleSpinBox* tScore = nullptr;
    QDoubleSpinBox* zScore = nullptr;
    QComboBox* site = nullptr;
    CalculatorResultPanel* result = nullptr;
};
