#include "viewer/GridLayoutPicker.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {
constexpr int CellOffset = 10;
constexpr int CellPitch = 34;
constexpr int CellSize = 30;
constexpr int CaptionHeight = 22;
// Below this height the pointer is in the caption strip, not over a cell.
constexpr int CellAreaBottom = 110;
// The caption while no cell is hovered, the longest the strip shows.
const QString ChooseCaption = QStringLiteral("Выберите раскладку");
} // namespace

GridLayoutPicker::GridLayoutPicker(QWidget* parent)
    : QWidget(parent, Qt::Popup)
{
    setAttribute(Qt::WA_MouseTracking, true);
    setAttribute(Qt::WA_TranslucentBackground, false);
    setFixedSize(118, 140);
    // The caption strip is as wide as this fixed popup: its longest caption gets a font that fits it.
    QFont captionFont = font();
    while (QFontMetrics(captionFont).horizontalAdvance(ChooseCaption) > width() - 8 &&
           captionFont.pointSizeF() > 6.0)
        captionFont.setPointSizeF(captionFont.pointSizeF() - 0.5);
    setFont(captionFont);
}

QString GridLayoutPicker::captionText() const
{
    if (m_hoverRow < 0)
        return ChooseCaption;
    return QStringLiteral("%1 × %2").arg(m_hoverRow + 1).arg(m_hoverCol + 1);
}

void GridLayoutPicker::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (p.y() >= CellAreaBottom) {
        m_hoverRow = -1;
        m_hoverCol = -1;
    } else {
        // Division truncates toward zero, so the left and top margins count as the first cell.
        m_hoverRow = std::clamp((p.y() - CellOffset) / CellPitch, 0, 2);
        m_hoverCol = std::clamp((p.x() - CellOffset) / CellPitch, 0, 2);
    }
    update();
}

void GridLayoutPicker::leaveEvent(QEvent*)
{
    m_hoverRow = -1;
    m_hoverCol = -1;
    update();
}

void GridLayoutPicker::mousePressEvent(QMouseEvent*)
{
    if (m_hoverRow >= 0 && m_hoverCol >= 0)
        emit layoutChosen(m_hoverRow + 1, m_hoverCol + 1);
    close();
}

void GridLayoutPicker::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), QColor(45, 45, 48));
    p.setPen(QColor(70, 70, 74));
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));

    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const bool lit = m_hoverRow >= 0 && r <= m_hoverRow && c <= m_hoverCol;
            p.setPen(QColor(30, 30, 32));
            p.setBrush(lit ? QColor(51, 119, 187) : QColor(65, 65, 69));
            p.drawRoundedRect(QRectF(CellOffset + c * CellPitch, CellOffset + r * CellPitch, CellSize, CellSize), 3.0,
                              3.0);
        }
    }

    p.setPen(QColor(210, 210, 210));
    p.drawText(QRect(0, height() - CaptionHeight, width(), CaptionHeight), Qt::AlignCenter, captionText());
}
