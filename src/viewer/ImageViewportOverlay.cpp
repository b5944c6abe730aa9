// The floating texts and controls of a viewing panel: the four corner texts, the side letters and the
// places of every widget over the view.

#include "viewer/ImageViewportWidget.h"
#include "viewer/MeasurementGraphics.h"
#include "dicom/DicomDateTime.h"
#include "render/VolumeGeometryWarnings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVector3D>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

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

// What a corner was given to show, and what its label shows of it (the same with too-long words elided).
const char kCornerGivenProperty[] = "cornerGiven";
const char kCornerShownProperty[] = "cornerShown";

// The text with each word that would not fit `width` even on a line of its own shortened to fit with
// "…": a long name without a break would otherwise run past the corner's edge and be cut unmarked.
QString withLongWordsElided(const QString& text, const QFontMetrics& fm, int width)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        QStringList words = line.split(QLatin1Char(' '));
        for (QString& word : words)
            if (fm.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, word).width() > width)
                word = fm.elidedText(word, Qt::ElideRight, width);
        line = words.join(QLatin1Char(' '));
    }
    return lines.join(QLatin1Char('\n'));
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

    // An overlay that its volume lays off its place says so under every slice it is laid on, also where
    // the other texts are hidden.
    const QString fusionNote =
        hasFusionOverlay() && !m_fusionWarnings.isEmpty()
            ? QStringLiteral("Совмещение «%1»:\n%2").arg(m_fusionName, render::markedWarnings(m_fusionWarnings))
            : QString();
    if (m_tagsMode == 1) {
        m_topLeftLabel->hide();
        m_topRightLabel->hide();
        m_bottomRightLabel->hide();
        m_bottomLeftLabel->setText(fusionNote);
        m_bottomLeftLabel->setVisible(!fusionNote.isEmpty());
        m_bottomLeftLabel->adjustSize();
        layoutOverlayWidgets();
        return;
    }

    const SeriesOverlayInfo& info = m_overlayInfo;
    QString birthLine;
    if (!info.birthDate.isEmpty() || !info.sex.isEmpty()) {
        birthLine = QStringLiteral("%1  %2").arg(dicom::dicomDateText(info.birthDate, QStringLiteral("dd.MM.yyyy")),
                                                 info.sex);
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
    const QString dateLine = dicom::dateTimeForOverlay(info.studyDate, info.studyTime);
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
                                        geometry)
                               + (fusionNote.isEmpty() ? QString() : QLatin1Char('\n') + fusionNote));

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
            applyLabelShadow(label);
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

QString ImageViewportWidget::cornerText(const QLabel* label)
{
    // A text set on the label since it was last laid out is what it was given.
    return label->text() == label->property(kCornerShownProperty).toString()
               ? label->property(kCornerGivenProperty).toString()
               : label->text();
}

void ImageViewportWidget::layoutOverlayWidgets()
{
    const int w = m_view->width();
    const int h = m_view->height();
    constexpr int margin = 8;

    m_selectCheck->adjustSize();
    m_selectCheck->move(margin, margin);
    const bool checkShown = m_selectCheck->isVisibleTo(m_view);

    // The reconstruction controls stay centred while that leaves them clear of the check box, else they
    // follow it. (The panel's narrowest width, that of its placeholder text, holds both in one row.)
    const int controlsWidth = m_planeCombo->width() + m_slabCombo->width() + m_thicknessBox->width() + 8;
    int x0 = std::max(margin, (w - controlsWidth) / 2);
    if (checkShown)
        x0 = std::max(x0, m_selectCheck->geometry().right() + 1 + margin);
    m_planeCombo->move(x0, margin);
    m_slabCombo->move(m_planeCombo->x() + m_planeCombo->width() + 4, margin);
    m_thicknessBox->move(m_slabCombo->x() + m_slabCombo->width() + 4, margin);
    const int buttonX = m_thicknessBox->x() + m_thicknessBox->width() - m_thicknessUp->width() - 1;
    m_thicknessUp->move(buttonX, 9);
    m_thicknessDown->move(buttonX, 8 + m_thicknessBox->height() - m_thicknessDown->height() - 1);
    m_thicknessUp->raise();
    m_thicknessDown->raise();

    // The corner texts share the panel's width, each wrapping within its share. A top text that would
    // run into the floating controls (or the check box) starts below them. In a small panel the texts
    // take the largest size from 13 px down to 9 px that leaves room for the side letter between the
    // two corners of each side.
    QRect taken;
    for (QWidget* control : {static_cast<QWidget*>(m_planeCombo), static_cast<QWidget*>(m_slabCombo),
                             static_cast<QWidget*>(m_thicknessBox)})
        if (control->isVisibleTo(m_view))
            taken |= control->geometry();
    const int below = taken.isNull() ? margin : taken.bottom() + 1 + 4;
    const int half = std::max(1, (w - 3 * margin) / 2);
    const int topLeftY = checkShown ? m_selectCheck->height() + 12 : margin;

    struct Corner
    {
        QLabel* label;
        bool left;
        bool top;
        QRect rect;
    };
    std::array<Corner, 4> corners{{{m_topLeftLabel, true, true, {}},
                                   {m_topRightLabel, false, true, {}},
                                   {m_bottomLeftLabel, true, false, {}},
                                   {m_bottomRightLabel, false, false, {}}}};
    auto sideHeight = [&](bool left) {
        QLabel* side = left ? m_leftSideLabel : m_rightSideLabel;
        return side && side->isVisibleTo(m_view) ? side->height() : 0;
    };
    // The free rows between a side's top and bottom corner texts.
    auto sideGap = [&](bool left) {
        const Corner& top = corners[left ? 0 : 1];
        const Corner& bottom = corners[left ? 2 : 3];
        const int from = top.label->isVisibleTo(m_view) ? top.rect.bottom() + 3 : 0;
        const int to = bottom.label->isVisibleTo(m_view) ? bottom.rect.top() - 3 : h;
        return QRect(0, from, 1, std::max(0, to - from));
    };
    auto place = [&](int pixels) {
        QFont font = m_topLeftLabel->font();
        font.setPixelSize(pixels);
        const QFontMetrics fm(font);
        // The width a corner's text takes unwrapped; nothing for a hidden corner.
        std::array<int, 4> natural{};
        for (int i = 0; i < 4; ++i)
            natural[i] = corners[i].label->isVisibleTo(m_view)
                             ? fm.size(0, cornerText(corners[i].label)).width() + 2
                             : 0;
        bool fits = true;
        for (int i = 0; i < 4; ++i) {
            Corner& c = corners[i];
            if (!c.label->isVisibleTo(m_view)) {
                c.rect = c.label->geometry();
                continue;
            }
            const QString text = cornerText(c.label);
            // Half the width, or what the other corner of the row leaves when its text is shorter.
            const int room = std::max(half, w - 3 * margin - std::min(natural[i ^ 1], half));
            fits = fits && fm.boundingRect(QRect(0, 0, 1, 1 << 20), Qt::TextWordWrap, text).width() <= room;
            const int width = std::min(natural[i], room);
            const QSize size(width,
                             fm.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, text).height());
            const int x = c.left ? margin : w - margin - width;
            int y = c.top ? (c.left ? topLeftY : margin) : h - margin - size.height();
            QRect rect(QPoint(x, y), size);
            if (c.top && (rect.intersects(taken) ||
                          (!c.left && checkShown && rect.intersects(m_selectCheck->geometry()))))
                rect.moveTop(std::max(rect.top(), below));
            c.rect = rect;
        }
        // Each side keeps a gap between its two corners for its side letter.
        for (bool left : {true, false})
            fits = fits && sideGap(left).height() >= sideHeight(left);
        return fits;
    };
    int pixels = 13;
    while (!place(pixels) && pixels > 9)
        --pixels;
    for (Corner& c : corners) {
        if (c.label->font().pixelSize() != pixels) {
            QFont font = c.label->font();
            font.setPixelSize(pixels);
            c.label->setFont(font);
        }
        if (c.label->isVisibleTo(m_view)) {
            const QString given = cornerText(c.label);
            const QString shown = withLongWordsElided(given, c.label->fontMetrics(), c.rect.width());
            c.label->setProperty(kCornerGivenProperty, given);
            c.label->setProperty(kCornerShownProperty, shown);
            if (c.label->text() != shown)
                c.label->setText(shown);
        }
        c.label->setGeometry(c.rect.x(), c.rect.y(), c.rect.width(), c.label->heightForWidth(c.rect.width()));
        if (!c.top)
            c.label->move(c.rect.x(), h - margin - c.label->height());
        c.rect = c.label->geometry();
    }

    // The side letters stay at mid-height unless a corner text reaches there; then they take the
    // nearest free rows between the corners.
    auto middle = [&](bool left) {
        const QRect gap = sideGap(left);
        return std::clamp((h - sideHeight(left)) / 2, gap.top(),
                          std::max(gap.top(), gap.bottom() + 1 - sideHeight(left)));
    };
    if (m_leftSideLabel && m_leftSideLabel->isVisibleTo(m_view))
        m_leftSideLabel->move(margin, middle(true));
    if (m_rightSideLabel && m_rightSideLabel->isVisibleTo(m_view))
        m_rightSideLabel->move(w - margin - m_rightSideLabel->width(), middle(false));
}

void ImageViewportWidget::setTagsDisplayMode(TagsDisplayMode mode)
{
    m_tagsMode = mode;
    updateOverlayTexts();
}

