#pragma once

#include <QSet>
#include <QString>
#include <QWidget>

class CalculatorResultPanel;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;

class EvansIndexPage : public QWidget
{
    Q_OBJECT

public:
    explicit EvansIndexPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* a = nullptr;
    QDoubleSpinBox* b = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class NascetEcstPage : public QWidget
{
    Q_OBJECT

public:
    explicit NascetEcstPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* a = nullptr;
    QDoubleSpinBox* b = nullptr;
    QDoubleSpinBox* c = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class IchVolumePage : public QWidget
{
    Q_OBJECT

public:
    explicit IchVolumePage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* a = nullptr;
    QDoubleSpinBox* b = nullptr;
    QDoubleSpinBox* c = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class SdhVolumePage : public QWidget
{
    Q_OBJECT

public:
    explicit SdhVolumePage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* a = nullptr;
    QDoubleSpinBox* b = nullptr;
    QDoubleSpinBox* c = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class MidlineShiftPage : public QWidget
{
    Q_OBJECT

public:
    explicit MidlineShiftPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* actual = nullptr;
    QDoubleSpinBox* expected = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class AspectsPage : public QWidget
{
    Q_OBJECT

public:
    explicit AspectsPage(QWidget* parent = nullptr);
    void toggleRegion(const QString& code, QPushButton* button);
    void calculate();

    QSet<QString> affected;
    QLabel* scoreLabel = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class PhasesPage : public QWidget
{
    Q_OBJECT

public:
    explicit PhasesPage(QWidget* parent = nullptr);
    void calculate();

    QComboBox* population = nullptr;
    QComboBox* hypertension = nullptr;
    QComboBox* age = nullptr;
    QComboBox* size = nullptr;
    QComboBox* earlierSah = nullptr;
    QComboBox* site = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class OnsdPage : public QWidget
{
    Q_OBJECT

public:
    explicit OnsdPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* diameter = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class MeyerdingPage : public QWidget
{
    Q_OBJECT

public:
    explicit MeyerdingPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* apSize = nullptr;
    QDoubleSpinBox* displacement = nullptr;
    CalculatorResultPanel* result = nullptr;
};

class InsallSalvatiPage : public QWidget
{
    Q_OBJECT

public:
    explicit InsallSalvatiPage(QWidget* parent = nullptr);
    void calculate();

    QDoubleSpinBox* tendon = nullptr;
    QDoubleSpinBox* patella = nullptr;
    CalculatorResultPanel* result = nullptr;
};
