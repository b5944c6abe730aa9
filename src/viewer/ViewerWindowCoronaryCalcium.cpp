// The coronary calcium window opened on the active panel's series; each call makes an independent window.

#include "viewer/ViewerWindow.h"

#include "viewer/ImageViewportWidget.h"

#include "clinical/CoronaryCalciumWindow.h"

#include <QMessageBox>

void ViewerWindow::openCoronaryCalciumWindow()
{
    const QList<db::InstanceRecord> slices = m_panelSlices.value(m_activePanel);
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (slices.isEmpty() || !panel) {
        QMessageBox::information(this, QStringLiteral("Индекс коронарного кальция"),
                                 QStringLiteral("В активной панели нет загруженной серии."), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }
    auto* window = new CoronaryCalciumWindow(slices, panel->currentSliceIndex(), m_panelTitles.value(m_activePanel),
                                             this, panel->windowCenter(), panel->windowWidth());
    window->show();
}
