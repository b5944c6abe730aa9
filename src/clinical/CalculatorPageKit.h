#pragma once

#include <QLabel>
#include <QPixmap>
#include <QWidget>

class QDoubleSpinBox;
class QMouseEvent;
class QPlainTextEdit;
class QPushButton;

namespace clinical {
// a / b, or 0.0 when b is zero or negative, so that a page never shows inf or nan.
double safeRatio(double a, double b);
} // namespace clinical

// The read-only result text of a calculator page with its copy button.
class CalculatorResultPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CalculatorResultPanel(QWidget* parent = nullptr);

    void setResult(const QString& text);
    void copyToClipboard();

    QPlainTextEdit* text = nullptr;
    QPushButton* copyButton = nullptr;
};

// A spin box with one decimal and step 0.1; the suffix is UTF-8 and may be null.
QDoubleSpinBox* makeSpinBox(double minimum, double maximum, double value, const char* suffix);

// A diagram that a left click toggles between its normal and its zoomed width.
class ClickableZoomLabel : public QLabel
{
public:
    ClickableZoomLabel(const QString& pixmapPath, int normalWidth, int zoomedWidth, QWidget* parent = nullptr);

    bool isZoomed() const { return zoomed; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void showAtWidth(int width);

    QPixmap pixmap;
    int normalWidth = 0;
    int zoomedWidth = 0;
    bool zoomed = false;
};
