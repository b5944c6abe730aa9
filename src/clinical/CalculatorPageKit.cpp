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

namespace {

// Users type the decimal point of the keyboard they have: under the Russian number format Qt's spin box
// takes only ",", drops a typed "." and reads "99.9" as 99. Either mark is the decimal separator here;
// these fields show no group separators, so neither can mean one.
class DecimalSpinBox : public QDoubleSpinBox
{
public:
    QValidator::State validate(QString& text, int& pos) const override
    {
        text = withLocaleDecimalPoint(text);
        return QDoubleSpinBox::validate(text, pos);
    }
    double valueFromText(const QString& text) const override
    {
        return QDoubleSpinBox::valueFromText(withLocaleDecimalPoint(text));
    }

private:
    QString withLocaleDecimalPoint(const QString& text) const
    {
        // The suffix keeps its own marks ("мл/мин/1.73м²"): only what stands before it is the number.
        const qsizetype begin = text.startsWith(prefix()) ? prefix().size() : 0;
        const qsizetype end = text.endsWith(suffix()) ? text.size() - suffix().size() : text.size();
        if (end <= begin)
            return text;
        const QString point = locale().decimalPoint();
        QString number = text.mid(begin, end - begin);
        number.replace(QLatin1Char('.'), point).replace(QLatin1Char(','), point);
        return text.left(begin) + number + text.mid(end);
    }
};

} // namespace

QDoubleSpinBox* makeSpinBox(double minimum, double maximum, double value, const char* suffix)
{
    auto* box = new DecimalSpinBox;
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
