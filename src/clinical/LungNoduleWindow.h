#pragma once
// One solid lung nodule measured on a CT series: the user outlines it with the
// elliptical HU ROI and the window shows its largest diameter, an ellipsoid
// volume estimate and the Lung-RADS category.

#include "db/InstanceRecord.h"

#include <QList>
#include <QMainWindow>
#include <QRectF>
#include <QString>

class MprViewportWidget;
class QCheckBox;
class QLabel;

class LungNoduleWindow : public QMainWindow
{
    Q_OBJECT

  public:
    LungNoduleWindow(const QList<db::InstanceRecord>& slices, int currentIndex, const QString& title,
                     QWidget* parent, double windowCenter, double windowWidth);

    // The label text of the HU ROI; the panel calls it with the ROI's bounding
    // rectangle in image pixels.
    QString roiLabel(const QRectF& rect);

    // Read by tests.
    MprViewportWidget* viewport() const { return m_viewport; }
    QLabel* resultLabel() const { return m_resultLabel; }
    QCheckBox* followUpCheck() const { return m_followUpCheck; }
    int currentIndex() const { return m_currentIndex; }
    double diameterMm() const { return m_diameterMm; }
    double meanDiameterMm() const { return m_meanDiameterMm; }
    double volumeMm3() const { return m_volumeMm3; }
    bool hasMeasurement() const { return m_hasMeasurement; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void setupUi();
    void showCurrentSlice();
    void updateResult();

    QList<db::InstanceRecord> m_slices;
    int m_currentIndex = 0;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    QString m_title;
    MprViewportWidget* m_viewport = nullptr;
    QLabel* m_resultLabel = nullptr;
    QCheckBox* m_followUpCheck = nullptr;
    double m_diameterMm = 0.0;
    double m_meanDiameterMm = 0.0;
    double m_volumeMm3 = 0.0;
    bool m_hasMeasurement = false;
    bool m_shownOnce = false;
};
