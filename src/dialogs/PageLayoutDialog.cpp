#include "dialogs/PageLayoutDialog.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Rows x columns of the preset buttons, in button order (the button id is the index).
const std::vector<std::pair<int, int>>& gridPresetList()
{
    static const std::vector<std::pair<int, int>> presets{{1, 1}, {1, 2}, {1, 3}, {2, 2}, {2, 3},
                                                          {2, 4}, {3, 3}, {3, 4}, {4, 4}};
    return presets;
}

} // namespace

PageLayoutDialog::PageLayoutDialog(int frameCount, QWidget* parent)
    : QDialog(parent)
    , m_frameCount(std::max(1, frameCount))
{
    setWindowTitle(QStringLiteral("Макет страницы"));
    resize(380, 620);

    auto* layout = new QVBoxLayout(this);

    // Orientation.
    auto* orientationRow = new QHBoxLayout;
    orientationRow->addWidget(new QLabel(QStringLiteral("Ориентация листа:"), this));
    m_portrait = new QRadioButton(QStringLiteral("Книжная"), this);
    m_landscape = new QRadioButton(QStringLiteral("Альбомная"), this);
    auto* orientationGroup = new QButtonGroup(this);
    orientationGroup->setExclusive(true);
    orientationGroup->addButton(m_portrait);
    orientationGroup->addButton(m_landscape);
    m_portrait->setChecked(true);
    orientationRow->addWidget(m_portrait);
    orientationRow->addWidget(m_landscape);
    orientationRow->addStretch();
    layout->addLayout(orientationRow);
    layout->addSpacing(8);

    // Grid presets, three per row.
    auto* presetGrid = new QGridLayout;
    presetGrid->setSpacing(10);
    m_gridPresets = new QButtonGroup(this);
    m_gridPresets->setExclusive(true);
    const auto& presets = gridPresetList();
    for (int i = 0; i < int(presets.size()); ++i) {
        const auto [r, c] = presets[size_t(i)];
        auto* button = new QToolButton(this);
        button->setCheckable(true);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setIconSize(QSize(60, 60));
        button->setFixedSize(80, 96);
        button->setText(QStringLiteral("%1 × %2").arg(r).arg(c));
        button->setIcon(gridPresetIcon(r, c, 60, false));
        m_gridPresets->addButton(button, i);
        presetGrid->addWidget(button, i / 3, i % 3);
        connect(button, &QToolButton::clicked, this, [this, r = r, c = c] { applyGridPreset(r, c); });
        connect(button, &QToolButton::toggled, this,
                [button, r = r, c = c](bool checked) { button->setIcon(gridPresetIcon(r, c, 60, checked)); });
    }
    layout->addLayout(presetGrid);
    layout->addSpacing(12);

    // Rows and columns by hand.
    auto* form = new QFormLayout;
    m_rows = new QSpinBox(this);
    m_rows->setRange(1, 12);
    m_columns = new QSpinBox(this);
    m_columns->setRange(1, 12);
    form->addRow(QStringLiteral("Строк:"), m_rows);
    form->addRow(QStringLiteral("Столбцов:"), m_columns);
    layout->addLayout(form);

    m_autoFill = new QCheckBox(QStringLiteral("Заполнить лист автоматически (подобрать сетку под число снимков)"), this);
    m_autoFill->setToolTip(QStringLiteral(
        "Подбирает строки/столбцы так, чтобы снимки были максимально крупными и без зазоров между строками — "
        "иногда для этого выгоднее использовать НА ОДНУ СТРАНИЦУ БОЛЬШЕ (до ×2), чем при точном попадании числа "
        "снимков в сетку, зато без пустых полос."));
    layout->addWidget(m_autoFill);
    layout->addSpacing(12);

    // Which images.
    auto* which = new QGroupBox(QStringLiteral("Какие снимки печатать"), this);
    auto* whichLayout = new QVBoxLayout(which);
    m_whichImages = new QButtonGroup(this);
    m_whichImages->setExclusive(true);
    m_checkedImages = new QRadioButton(QStringLiteral("Отмеченные снимки (чекбокс на панели)"), which);
    m_everyNthRadio = new QRadioButton(QStringLiteral("Каждый"), which);
    m_evenlyRadio = new QRadioButton(QStringLiteral("Итоговое число кадров:"), which);
    m_whichImages->addButton(m_checkedImages, 0);
    m_whichImages->addButton(m_everyNthRadio, 1);
    m_whichImages->addButton(m_evenlyRadio, 2);
    m_checkedImages->setChecked(true);
    whichLayout->addWidget(m_checkedImages);

    auto* nthRow = new QHBoxLayout;
    m_nth = new QSpinBox(which);
    m_nth->setRange(2, std::max(2, m_frameCount));
    m_nth->setValue(2);
    nthRow->addWidget(m_everyNthRadio);
    nthRow->addWidget(m_nth);
    nthRow->addWidget(new QLabel(QStringLiteral("-й снимок серии (всего в серии: %1)").arg(m_frameCount), which));
    nthRow->addStretch();
    whichLayout->addLayout(nthRow);

    auto* evenRow = new QHBoxLayout;
    m_evenCount = new QSpinBox(which);
    m_evenCount->setRange(1, m_frameCount);
    m_evenCount->setValue(std::min(m_frameCount, 10));
    evenRow->addWidget(m_evenlyRadio);
    evenRow->addWidget(m_evenCount);
    evenRow->addWidget(new QLabel(QStringLiteral("(равномерно по всей серии)"), which));
    evenRow->addStretch();
    whichLayout->addLayout(evenRow);
    layout->addWidget(which);
    layout->addStretch();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    // Initial state: 1 x 1 with its preset checked; the count spin boxes wait for their radio buttons.
    {
        const QSignalBlocker blockRows(m_rows);
        const QSignalBlocker blockColumns(m_columns);
        m_rows->setValue(1);
        m_columns->setValue(1);
    }
    m_gridPresets->button(0)->setChecked(true);
    m_nth->setEnabled(false);
    m_evenCount->setEnabled(false);

    connect(m_autoFill, &QCheckBox::toggled, this, [this](bool checked) {
        m_rows->setEnabled(!checked);
        m_columns->setEnabled(!checked);
        for (QAbstractButton* b : m_gridPresets->buttons())
            b->setEnabled(!checked);
    });
    connect(m_whichImages, &QButtonGroup::idClicked, this, [this](int) {
        m_nth->setEnabled(m_everyNthRadio->isChecked());
        m_evenCount->setEnabled(m_evenlyRadio->isChecked());
    });
    connect(m_rows, &QSpinBox::valueChanged, this, [this](int) { uncheckPresets(); });
    connect(m_columns, &QSpinBox::valueChanged, this, [this](int) { uncheckPresets(); });
}

void PageLayoutDialog::applyGridPreset(int presetRows, int presetColumns)
{
    const QSignalBlocker blockRows(m_rows);
    const QSignalBlocker blockColumns(m_columns);
    m_rows->setValue(presetRows);
    m_columns->setValue(presetColumns);
}

void PageLayoutDialog::uncheckPresets()
{
    // A hand-made grid is custom even when it equals a preset, so no preset stays checked.
    m_gridPresets->setExclusive(false);
    if (QAbstractButton* checked = m_gridPresets->checkedButton())
        checked->setChecked(false);
    m_gridPresets->setExclusive(true);
}

QPixmap PageLayoutDialog::gridPresetIcon(int rows, int columns, int size, bool checked)
{
    rows = std::max(1, rows);
    columns = std::max(1, columns);
    size = std::max(1, size);
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QColor fill = checked ? QColor(90, 160, 230, 255) : QColor(210, 210, 215, 255);
    const QColor outline = checked ? QColor(40, 100, 170, 255) : QColor(120, 120, 125, 255);
    painter.setPen(QPen(outline, 1.2, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(fill);
    const double cellW = double(size) / columns;
    const double cellH = double(size) / rows;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            painter.drawRect(QRectF(c * cellW + 2, r * cellH + 2, cellW - 4, cellH - 4));
    painter.end();
    return pixmap;
}

bool PageLayoutDialog::autoFillSheet() const { return m_autoFill->isChecked(); }
int PageLayoutDialog::columns() const { return m_columns->value(); }
int PageLayoutDialog::everyNth() const { return m_nth->value(); }
bool PageLayoutDialog::isLandscape() const { return m_landscape->isChecked(); }
int PageLayoutDialog::rows() const { return m_rows->value(); }
int PageLayoutDialog::frameSelectionMode() const { return m_whichImages->checkedId(); }
int PageLayoutDialog::evenFrameCount() const { return m_evenCount->value(); }
