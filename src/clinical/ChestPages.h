#pragma once

#include <QList>
#include <QWidget>

class CalculatorResultPanel;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QRadioButton;
class QStackedWidget;

class CtLungInvolvementPage : public QWidget
{
    Q_OBJECT

public:
    explicit CtLungInvolvementPage(QWidget* parent = nullptr);
    void calculate();

    QList<QComboBox*> lobes;
    CalculatorResultPanel* result = nullptr;
};

class HydrothoraxPage : public QWidget
{
    Q_OBJECT

public:
    explicit HydrothoraxPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* thickness = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class LungCoefficientPage : public QWidget
{
    Q_OBJECT

public:
    explicit LungCoefficientPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* effusion = nullptr;
    QRadioButton* directMode = nullptr;
    QRadioButton* ellipsoidMode = nullptr;
    QStackedWidget* modeStack = nullptr;
    QDoubleSpinBox* hemithorax = nullptr;
    QDoubleSpinBox* lengthL = nullptr;
    QDoubleSpinBox* widthW = nullptr;
    QDoubleSpinBox* heightH = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class CardiothoracicIndexPage : public QWidget
{
    Q_OBJECT

public:
    explicit CardiothoracicIndexPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* heart = nullptr;
    QDoubleSpinBox* chest = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class FleischnerNodulePage : public QWidget
{
    Q_OBJECT

public:
    explicit FleischnerNodulePage(QWidget* parent = nullptr);
    void calculate();

    QComboBox* noduleType = nullptr;
    QComboBox* count = nullptr;
    QDoubleSpinBox* diameter = nullptr;
    QComboBox* risk = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class RvLvRatioPage : public QWidget
{
    Q_OBJECT

public:
    explicit RvLvRatioPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* rv = nullptr;
    QDoubleSpinBox* lv = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class WellsPePage : public QWidget
{
    Q_OBJECT

public:
    explicit WellsPePage(QWidget* parent = nullptr);
    void calculate();

    QList<QCheckBox*> criteria;
    CalculatorResultPanel* result = nullptr;
};
