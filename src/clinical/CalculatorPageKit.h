#pragma once

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

class QDoubleSpinBox;
class QFormLayout;
class QMouseEvent;
class QPlainTextEdit;

namespace clinical {
// a / b, or 0.0 when b is zero or negative, so that a page never shows inf or nan.
double safeRatio(double a, double b);
// The value as a page prints it with `decimals` fixed decimals, read back. A page grades this value, not the
// raw result of its division: a quotient of decimal inputs lands a hair beside a cut-off it equals
// (111.1 / 202 is 0.54999…), and the grade must never contradict the number printed beside it.
double shownValue(double value, int decimals);
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

// A spin box with one decimal and step 0.1; the suffix is UTF-8 and may be null. Every numeric field of the
// calculators and the cardiac window comes from here: each takes "," and "." alike as the decimal mark.
QDoubleSpinBox* makeSpinBox(double minimum, double maximum, double value, const char* suffix);

// A diagram that a left click toggles between its normal and its zoomed width.
class ClickableZoomLabel : public QLabel
{
    Q_OBJECT

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

// The common page layout: a vertical layout with the rich-text header and the input form, which the
// caller fills; finishCalculatorPage then adds "Рассчитать" (wired to Page::calculate) and the result panel.
QFormLayout* startCalculatorPage(QWidget* page, const QString& headerHtml);

template <typename Page>
CalculatorResultPanel* finishCalculatorPage(Page* page)
{
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    auto* button = new QPushButton(QStringLiteral("Рассчитать"), page);
    QObject::connect(button, &QPushButton::clicked, page, &Page::calculate);
    layout->addWidget(button);
    auto* panel = new CalculatorResultPanel(page);
    layout->addWidget(panel, 1);
    return panel;
}
