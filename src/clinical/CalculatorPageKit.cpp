#include "clinical/CalculatorPageKit.h"

#include <QClipboard>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace clinical {

double safeRatio(double a, double b)
{
    if (b <= 0.0)
        return 0.0;
    return a / b;
}

double shownValue(double value, int decimals)
{
    // Printing and reading back rounds exactly as the printed text does, half-way cases included.
    return QString::number(value, 'f', decimals).toDouble();
}

} // namespace clinical

CalculatorResultPanel::CalculatorResultPanel(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* row = new QHBoxLayout;
    auto* caption = new QLabel(QStringLiteral("Результат:"), this);
    QFont bold = caption->font();
    bold.setWeight(QFont::Bold);
    caption->setFont(bold);
    row->addWidget(caption);
    row->addStretch(1);
    copyButton = new QPushButton(QStringLiteral("Копировать"), this);
    copyButton->setEnabled(false);
    row->addWidget(copyButton);
    layout->addLayout(row);

    text = new QPlainTextEdit(this);
    text->setReadOnly(true);
    text->setMinimumHeight(160);
    text->setStyleSheet(QStringLiteral("QPlainTextEdit { font-size: 13px; }"));
    layout->addWidget(text, 1);

    connect(copyButton, &QPushButton::clicked, this, &CalculatorResultPanel::copyToClipboard);
}

void CalculatorResultPanel::setResult(const QString& resultText)
{
    text->setPlainText(resultText);
    copyButton->setEnabled(!resultText.isEmpty());
}

void CalculatorResultPanel::copyToClipboard()
{
    QGuiApplication::clipboard()->setText(text->toPlainText());
}

QDoubleSpinBox* makeSpinBox(double minimum, double maximum, double value, const char* suffix)
{
    auto* box = new QDoubleSpinBox;
    box->setRange(minimum, maximum);
    box->setDecimals(1);
    box->setSingleStep(0.1);
    box->setValue(value);
    if (suffix && *suffix)
        box->setSuffix(QString::fromUtf8(suffix));
    return box;
}

ClickableZoomLabel::ClickableZoomLabel(const QString& pixmapPath, int normalWidthIn, int zoomedWidthIn, QWidget* parent)
    : QLabel(parent)
    , pixmap(pixmapPath)
    , normalWidth(normalWidthIn)
    , zoomedWidth(zoomedWidthIn)
{
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("Клик — увеличить/уменьшить схему"));
    showAtWidth(normalWidth);
}

void ClickableZoomLabel::showAtWidth(int width)
{
    // A missing diagram leaves the label empty rather than showing a broken picture.
    if (pixmap.isNull() || width <= 0) {
        setPixmap(QPixmap());
        return;
    }
    setPixmap(pixmap.scaledToWidth(width, Qt::SmoothTransformation));
}

void ClickableZoomLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        zoomed = !zoomed;
        showAtWidth(zoomed ? zoomedWidth : normalWidth);
    }
    QLabel::mousePressEvent(event);
}

QFormLayout* startCalculatorPage(QWidget* page, const QString& headerHtml)
{
    auto* layout = new QVBoxLayout(page);
    auto* header = new QLabel(headerHtml, page);
    header->setWordWrap(true);
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header);
    auto* form = new QFormLayout;
    layout->addLayout(form);
    return form;
}
