#pragma once

#include <QWidget>

// Popup with a 3 x 3 field of cells: hovering highlights the rectangle from the top-left cell to the
// cell under the pointer, a press chooses that many rows and columns of viewing panels.
class GridLayoutPicker : public QWidget
{
    Q_OBJECT

public:
    explicit GridLayoutPicker(QWidget* parent = nullptr);

    int hoverRow() const { return m_hoverRow; }
    int hoverCol() const { return m_hoverCol; }
    // The text of the strip along the bottom edge.
    QString captionText() const;

signals:
    // 1-based, each 1 to 3.
    void layoutChosen(int rows, int cols);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int m_hoverRow = -1;
    int m_hoverCol = -1;
};
