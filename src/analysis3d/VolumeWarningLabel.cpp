#include "analysis3d/VolumeWarningLabel.h"

#include "render/Volume.h"
#include "render/VolumeGeometryWarnings.h"

#include <QStatusBar>

VolumeWarningLabel::VolumeWarningLabel(QStatusBar* bar)
    : QLabel(bar)
    , m_bar(bar)
{
    setStyleSheet(QStringLiteral("color: #ffd966; background-color: #5a4a00; padding: 1px 6px;"));
    // A narrow window shows the start of each line; the whole text is in the tooltip.
    setMinimumWidth(160);
    hide();
    bar->addPermanentWidget(this);
}

void VolumeWarningLabel::setWarnings(const QString& warnings)
{
    setText(render::markedWarnings(warnings));
    setToolTip(text());
    setVisible(!warnings.isEmpty());
}

void VolumeWarningLabel::showBuiltVolume(const render::Volume& volume, const QString& warnings)
{
    m_bar->showMessage(QStringLiteral("Объём: %1×%2×%3 вокселей, spacing %4×%5×%6 мм")
                           .arg(volume.nx)
                           .arg(volume.ny)
                           .arg(volume.nz)
                           .arg(volume.spacingX, 0, 'f', 2)
                           .arg(volume.spacingY, 0, 'f', 2)
                           .arg(volume.spacingZ, 0, 'f', 2));
    setWarnings(warnings);
}
