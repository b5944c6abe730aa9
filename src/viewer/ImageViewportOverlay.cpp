// The floating texts and controls of a viewing panel: the four corner texts, the side letters and the
// places of every widget over the view.

#include "ImageViewportWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDoubleSpinBox>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsView>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVector3D>

#include <cmath>

namespace {

QString dicomDateText(const QString& value)
{
    const QDate date = QDate::fromString(value, QStringLiteral("yyyyMMdd"));
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : QString();
}

// Patient x (right to left) of the direction that points to the screen's right edge, or nothing when
// the view cannot be inverted. The view's horizontal axis goes back into the image through the view
// transform, so flips and rotations take the letters with them.
std::optional<double> screenRightPatientX(const QTransform& viewTransform, const db::InstanceRecord& row)
{
    bool invertible = false;
    const QTransform toImage = viewTransform.inverted(&invertible);
    if (!invertible)
        return std::nullopt;
    const QPointF d = toImage.map(QPointF(1.0, 0.0)) - toImage.map(QPointF(0.0, 0.0));
    const double sx = row.pixelSpacingX > 0.0 ? row.pixelSpacingX : 1.0;
    const double sy = row.pixelSpacingY > 0.0 ? row.pixelSpacingY : 1.0;
    double p[3];
    for (int i = 0; i < 3; ++i)
        p[i] = d.x() * sx * row.orientationRow[i] + d.y() * sy * row.orientationCol[i];
    const double length = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    if (!(length > 0.0))
        return std::nullopt;
    return p[0] / length;
}

} // namespace

void ImageViewportWidget::updateOverlayTexts()
{
    const auto row = currentSlice();
    if (!row)
        return;
    // A reconstruction plane writes its own text into the corners; the file's slice texts would
    // describe another plane.
    if (m_plane != 0)
        return;

    {
        const QSignalBlocker blocker(m_selectCheck);
        m_selectCheck->setChecked(m_selection.contains(row->filePath));
    }
    m_selectCheck->show();

    if (m_tagsMode == 1) {
        m_topLeftLabel->hide();
        m_topRightLabel->hide();
        m_bottomLeftLabel->hide();
        m_bottomRightLabel->hide();
        layoutOverlayWidgets();
        return;
    }

    const SeriesOverlayInfo& info = m_overlayInfo;
    QString birthLine;
    if (!info.birthDate.isEmpty() || !info.sex.isEmpty()) {
        const QString birth = dicomDateText(info.birthDate);
        birthLine = QStringLiteral("%1  %2").arg(birth.isEmpty() ? info.birthDate : birth, info.sex);
    }
    m_topLeftLabel->setText(QStringLiteral("%1\nID: %2\n%3")
                                .arg(info.patientName.isEmpty() ? QStringLiteral("(без имени)") : info.patientName,
                                     info.patientId, birthLine));

    QString sideLine;
    if (!info.laterality.isEmpty()) {
        const QString side = info.laterality.trimmed().toUpper();
        if (side == QLatin1String("L") || side == QLatin1String("LEFT"))
            sideLine = QStringLiteral("Сторона: Левая");
        else if (side == QLatin1String("R") || side == QLatin1String("RIGHT"))
            sideLine = QStringLiteral("Сторона: Правая");
        else
            sideLine = QStringLiteral("Сторона: %1").arg(info.laterality);
    }
    if (!info.bodyPartExamined.isEmpty()) {
        if (!sideLine.isEmpty())
            sideLine += QStringLiteral("  ·  ");
        sideLine += info.bodyPartExamined;
    }
    QString dateLine = dicomDateText(info.studyDate);
    if (info.studyTime.size() >= 4) {
        if (!dateLine.isEmpty())
            dateLine += QLatin1Char(' ');
        dateLine += QStringLiteral("%1:%2").arg(info.studyTime.mid(0, 2), info.studyTime.mid(2, 2));
    }
    const QString noDescription = QStringLiteral("(без описания)");
    m_topRightLabel->setText(
        QStringLiteral("%1\n%2\nСерия %3 · %4%5%6")
            .arg(info.studyDescription.isEmpty() ? noDescription : info.studyDescription,
                 info.seriesDescription.isEmpty() ? noDescription : info.seriesDescription, info.seriesNumber,
                 info.modality, sideLine.isEmpty() ? QString() : QStringLiteral("\n") + sideLine,
                 dateLine.isEmpty() ? QString() : QStringLiteral("\n") + dateLine));

    QString geometry;
    if (row->sliceThickness > 0.0)
        geometry += QStringLiteral("Толщина: %1 мм  ").arg(QString::number(row->sliceThickness, 'f', 1));
    if (row->sliceLocation != 0.0)
        geometry += QStringLiteral("Позиция: %1 мм").arg(QString::number(row->sliceLocation, 'f', 1));
    m_bottomLeftLabel->setText(QStringLiteral("Срез %1 / %2\n%3")
                                   .arg(QString::number(m_currentIndex + 1), QString::number(m_slices.size()),
                                        geometry));

    QString timing;
    if (row->repetitionTime > 0.0 || row->echoTime > 0.0)
        timing = QStringLiteral("TR: %1  TE: %2")
                     .arg(QString::number(row->repetitionTime, 'f', 0), QString::number(row->echoTime, 'f', 1));
    m_bottomRightLabel->setText(QStringLiteral("WL: %1  WW: %2\n%3")
                                    .arg(render::windowValueText(m_windowCenter),
                                         render::windowValueText(m_windowWidth), timing));

    for (QLabel* label : {m_topLeftLabel, m_topRightLabel, m_bottomLeftLabel, m_bottomRightLabel}) {
        label->show();
        label->adjustSize();
    }
    layoutOverlayWidgets();
}

void ImageViewportWidget::updateOrientationLabels()
{
    auto hideBoth = [this] {
        if (m_leftSideLabel)
            m_leftSideLabel->hide();
        if (m_rightSideLabel)
            m_rightSideLabel->hide();
    };
    const auto row = currentSlice();
    // Over a reconstruction the file's own row direction names nothing on the screen.
    if (!row || !row->hasSpatialInfo || m_plane != 0) {
        hideBoth();
        return;
    }
    const std::optional<double> x = screenRightPatientX(m_view->transform(), *row);
    if (!x || std::abs(*x) < 0.3) {
        hideBoth();
        return;
    }
    if (!m_leftSideLabel) {
        auto makeSideLabel = [this] {
            auto* label = new QLabel(m_view);
            label->setAttribute(Qt::WA_TransparentForMouseEvents, true);
            label->setStyleSheet(QStringLiteral("color: yellow; background: transparent;"));
            auto* shadow = new QGraphicsDropShadowEffect(label);
            shadow->setColor(QColor(0, 0, 0, 235));
            shadow->setBlurRadius(5);
            shadow->setOffset(0, 0);
            label->setGraphicsEffect(shadow);
            label->hide();
            return label;
        };
        m_leftSideLabel = makeSideLabel();
        QFont font = QFont();
        font.setPointSizeF(11);
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 0.75);
        font.setBold(true);
        m_leftSideLabel->setFont(font);
        m_rightSideLabel = makeSideLabel();
        m_rightSideLabel->setFont(m_leftSideLabel->font());
    }
    // Patient x grows towards the patient's left: when the screen's right edge points that way, the
    // patient's right lies on the screen's left.
    m_leftSideLabel->setText(*x > 0 ? QStringLiteral("R") : QStringLiteral("L"));
    m_rightSideLabel->setText(*x > 0 ? QStringLiteral("L") : QStringLiteral("R"));
    m_leftSideLabel->adjustSize();
    m_rightSideLabel->adjustSize();
    m_leftSideLabel->show();
    m_rightSideLabel->show();
    layoutOverlayWidgets();
}

void ImageViewportWidget::layoutOverlayWidgets()
{
    const int w = m_view->width();
    const int h = m_view->height();

    m_selectCheck->adjustSize();
    m_selectCheck->move(8, 8);
    const int top = m_selectCheck->isVisibleTo(m_view) ? m_selectCheck->height() + 12 : 8;
    m_topLeftLabel->move(8, top);
    m_topRightLabel->move(w - 8 - m_topRightLabel->width(), 8);
    m_bottomLeftLabel->move(8, h - 8 - m_bottomLeftLabel->height());
    m_bottomRightLabel->move(w - 8 - m_bottomRightLabel->width(), h - 8 - m_bottomRightLabel->height());

    const int x0 = (w - (m_planeCombo->width() + m_slabCombo->width() + m_thicknessBox->width() + 8)) / 2;
    m_planeCombo->move(x0, 8);
    m_slabCombo->move(m_planeCombo->x() + m_planeCombo->width() + 4, 8);
    m_thicknessBox->move(m_slabCombo->x() + m_slabCombo->width() + 4, 8);
    const int buttonX = m_thicknessBox->x() + m_thicknessBox->width() - m_thicknessUp->width() - 1;
    m_thicknessUp->move(buttonX, 9);
    m_thicknessDown->move(buttonX, 8 + m_thicknessBox->height() - m_thicknessDown->height() - 1);
    m_thicknessUp->raise();
    m_thicknessDown->raise();

    if (m_leftSideLabel && m_leftSideLabel->isVisibleTo(m_view))
        m_leftSideLabel->move(8, (h - m_leftSideLabel->height()) / 2);
    if (m_rightSideLabel && m_rightSideLabel->isVisibleTo(m_view))
        m_rightSideLabel->move(w - 8 - m_rightSideLabel->width(), (h - m_rightSideLabel->height()) / 2);
}

void ImageViewportWidget::setTagsDisplayMode(TagsDisplayMode mode)
{
    m_tagsMode = mode;
    updateOverlayTexts();
}

