#include "clinical/CategoryHub.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTreeWidget>

CategoryHub::CategoryHub(QWidget* parent, const QString& title, const QString& hintText)
    : QDialog(parent)
{
    setWindowTitle(title);
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);
    resize(920, 640);

    auto* layout = new QHBoxLayout(this);
    tree = new QTreeWidget(this);
    tree->setHeaderHidden(true);
    tree->setMinimumWidth(260);
    tree->setMaximumWidth(320);
    stack = new QStackedWidget;
    // The tallest page need not fit a small screen: it scrolls instead of pushing the window past the
    // screen's bottom.
    pages = new QScrollArea(this);
    pages->setWidgetResizable(true);
    pages->setFrameShape(QFrame::NoFrame);
    pages->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pages->setWidget(stack);
    layout->addWidget(tree, 0);
    layout->addWidget(pages, 1);

    auto* hint = new QLabel(hintText, stack);
    hint->setAlignment(Qt::AlignCenter);
    hint->setStyleSheet(QStringLiteral("color: #888; font-size: 14px;"));
    stack->addWidget(hint);

    connect(tree, &QTreeWidget::currentItemChanged, this, &CategoryHub::onCurrentItemChanged);
}

void CategoryHub::addPage(const QString& category, const QString& title, QWidget* page)
{
    QTreeWidgetItem* parentItem = categoryItem(category);
    const int index = stack->addWidget(page);
    auto* item = new QTreeWidgetItem(parentItem, QStringList{title});
    item->setData(0, Qt::UserRole, index);
}

QTreeWidgetItem* CategoryHub::categoryItem(const QString& category)
{
    if (QTreeWidgetItem* existing = categories.value(category))
        return existing;
    auto* item = new QTreeWidgetItem(QStringList{category});
    QFont font = item->font(0);
    font.setWeight(QFont::Bold);
    item->setFont(0, font);
    item->setFlags(item->flags() & ~Qt::ItemIsSelectable);
    tree->addTopLevelItem(item);
    categories.insert(category, item);
    return item;
}

void CategoryHub::onCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem*)
{
    if (!current)
        return;
    const QVariant index = current->data(0, Qt::UserRole);
    if (index.isValid())
        stack->setCurrentIndex(index.toInt());
}

void CategoryHub::showEvent(QShowEvent* event)
{
    // The tree is as wide as its longest title (with the room a vertical scroll bar takes), so no title
    // is cut: the page beside it gives way.
    const int titles =
        static_cast<const QAbstractItemView*>(tree)->sizeHintForColumn(0) + 2 * tree->frameWidth() +
        tree->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, tree->verticalScrollBar());
    tree->setMinimumWidth(std::max(260, titles));
    tree->setMaximumWidth(std::max(320, titles));
    // Pages keep the width they need; the window is as tall as its tallest page where the screen allows
    // (less room for the title bar).
    const int scrollBar = pages->verticalScrollBar()->sizeHint().width();
    pages->setMinimumWidth(stack->minimumSizeHint().width() + scrollBar);
    if (const QScreen* shownOn = screen()) {
        const QMargins margins = layout()->contentsMargins();
        const int tallest = stack->minimumSizeHint().height() + margins.top() + margins.bottom();
        const int room = shownOn->availableGeometry().height() - 40;
        if (tallest > height())
            resize(width(), std::max(height(), std::min(tallest, room)));
    }
    QDialog::showEvent(event);
}
