#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class CalculatorResultPanel;
class QComboBox;
class QDoubleSpinBox;
class QLabel;

namespace db {
class Database;
}

// One body region's share of a study's estimated dose-length product.
struct DoseZone
{
    int phantom = 0;
    double dlpMGyCm = 0.0;
    QStringList seriesLabels;
};

// Effective dose from a total DLP; can fill the DLP from the open study's dose report or an estimate.
class CtDoseFromDlpPage : public QWidget
{
    Q_OBJECT

public:
    CtDoseFromDlpPage(db::Database* db, const QString& studyUid, QWidget* parent = nullptr);

    QString doseSummaryLine(double dlpValue) const;
    void selectPhantomAndRegion(int phantomIndex, int regionIndex);

public slots:
    void calculate();
    void scanStudy();
    void refreshRegions();

public:
    db::Database* db = nullptr;
    QString studyUid;
    QDoubleSpinBox* dlp = nullptr;
    QComboBox* phantom = nullptr;
    QComboBox* region = nullptr;
    QComboBox* ageGroup = nullptr;
    QLabel* scanStatus = nullptr;
    CalculatorResultPanel* result = nullptr;
};
