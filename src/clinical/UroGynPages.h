#pragma once

#include <QWidget>

class CalculatorResultPanel;
class QComboBox;
class QDoubleSpinBox;

class ProstateVolumePage : public QWidget
{
    Q_OBJECT

public:
    explicit ProstateVolumePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QDoubleSpinBox* a = nullptr;
    QDoubleSpinBox* b = nullptr;
    QDoubleSpinBox* c = nullptr;
    QDoubleSpinBox* psa = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class RenalScorePage : public QWidget
{
    Q_OBJECT

public:
    explicit RenalScorePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QComboBox* r = nullptr;
    QComboBox* e = nullptr;
    QComboBox* n = nullptr;
    QComboBox* anterior = nullptr;
    QComboBox* l = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class PaduaScorePage : public QWidget
{
    Q_OBJECT

public:
    explicit PaduaScorePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QComboBox* polarLocation = nullptr;
    QComboBox* exophytic = nullptr;
    QComboBox* renalRim = nullptr;
    QComboBox* renalSinus = nullptr;
    QComboBox* collectingSystem = nullptr;
    QComboBox* diameter = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class OradsMriPage : public QWidget
{
    Q_OBJECT

public:
    explicit OradsMriPage(QWidget* parent = nullptr);
    void showCategory(int category, const QString& detail);

public slots:
    void calculate();
    void onPrimaryFindingChanged();
    void onDceChanged();

public:
    QComboBox* primaryFinding = nullptr;
    QComboBox* cystFluid = nullptr;
    QComboBox* menopause = nullptr;
    QComboBox* enhancement = nullptr;
    QComboBox* diffusion = nullptr;
    CalculatorResultPanel* result = nullptr;
    QWidget* cystRow = nullptr;
    QWidget* dceRow = nullptr;
    QWidget* dwiRow = nullptr;
};

class OvarianVolumePage : public QWidget
{
    Q_OBJECT

public:
    explicit OvarianVolumePage(QWidget* parent = nullptr);

public slots:
    void calculate();

public:
    QDoubleSpinBox* length = nullptr;
    QDoubleSpinBox* width = nullptr;
    QDoubleSpinBox* thickness = nullptr;
    CalculatorResultPanel* result = nullptr;
};
