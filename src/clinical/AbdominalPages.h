#pragma once

#include <QWidget>

class CalculatorResultPanel;
class QComboBox;
class QDoubleSpinBox;

class LiverVolumePage : public QWidget
{
    Q_OBJECT

public:
    explicit LiverVolumePage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* lengthL = nullptr;
    QDoubleSpinBox* depthD = nullptr;
    QDoubleSpinBox* widthT = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class SpleenPage : public QWidget
{
    Q_OBJECT

public:
    explicit SpleenPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* lengthL = nullptr;
    QDoubleSpinBox* depthD = nullptr;
    QDoubleSpinBox* heightH = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class AdrenalWashoutPage : public QWidget
{
    Q_OBJECT

public:
    explicit AdrenalWashoutPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* unenhanced = nullptr;
    QDoubleSpinBox* venous = nullptr;
    QDoubleSpinBox* delayed = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class AaaPage : public QWidget
{
    Q_OBJECT

public:
    explicit AaaPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* diameter = nullptr;
    QComboBox* sex = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class ChildPughPage : public QWidget
{
    Q_OBJECT

public:
    explicit ChildPughPage(QWidget* parent = nullptr);
    void calculate();

    QComboBox* bilirubin = nullptr;
    QComboBox* albumin = nullptr;
    QComboBox* inr = nullptr;
    QComboBox* ascites = nullptr;
    QComboBox* encephalopathy = nullptr;
    CalculatorResultPanel* result = nullptr;
};
