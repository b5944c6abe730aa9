#include "app/ModalityFilterButton.h"

#include <QListWidget>
#include <QMenu>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace {

const int kAnyEntryRole = Qt::UserRole + 1;

const QStringList& modalityCodes()
{
    static const QStringList codes = {
        QStringLiteral("CT"), QStringLiteral("MR"), QStringLiteral("US"), QStringLiteral("CR"), QStringLiteral("DX"),
        QStringLiteral("MG"), QStringLiteral("XA"), QStringLiteral("PT"), QStringLiteral("NM"), QStringLiteral("SC"),
    };
    return codes;
}

QString anyModalityText()
{
    return QStringLiteral("Любая модальность");
}

} // namespace

ModalityFilterButton::ModalityFilterButton(QWidget* parent)
    : QToolButton(parent)
{
    setPopupMode(QToolButton::InstantPopup);

    auto* menu = new QMenu(this);
    auto* action = new QWidgetAction(menu);
    auto* container = new QWidget(menu);
    auto* layout = new QVBoxLayout(container);
    layout->setContentsMargins(4, 4, 4, 4);
    list = new QListWidget(container);

    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setStyleSheet(QStringLiteral(
        "QListWidget::indicator { width: 18px; height: 18px; }"
        "QListWidget::indicator:unchecked { border: 2px solid #999; background: #2a2a2a; border-radius: 3px; }"
        "QListWidget::indicator:checked { border: 2px solid #33aaff; background: #33aaff; border-radius: 3px; }"
        "QListWidget::item { padding: 3px; }"));
    list->setMaximumHeight(280);

    auto addEntry = [this](const QString& text, bool checked) {
        auto* item = new QListWidgetItem(text, list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        return item;
    };
    QListWidgetItem* any = addEntry(anyModalityText(), true);
    any->setData(kAnyEntryRole, true);
    for (const QString& code : modalityCodes())
        addEntry(code, false);

    connect(list, &QListWidget::itemChanged, this, &ModalityFilterButton::onItemChanged);
    layout->addWidget(list);
    action->setDefaultWidget(container);
    menu->addAction(action);
    setMenu(menu);

    updateButtonText();
}

bool ModalityFilterButton::isAnyEntry(const QListWidgetItem* item) const
{
    return item && item->data(kAnyEntryRole).toBool();
}

QStringList ModalityFilterButton::selectedModalities() const
{
    QStringList codes;
    for (int i = 1; i < list->count(); ++i) {
        if (list->item(i)->checkState() == Qt::Checked)
            codes.append(list->item(i)->text());
    }
    return codes;
}

void ModalityFilterButton::setSelectedModalities(const QStringList& codes)
{
    updating = true;
    QListWidgetItem* any = list->item(0);
    if (!codes.isEmpty()) {
        any->setCheckState(Qt::Unchecked);
        for (int i = 1; i < list->count(); ++i) {
            QListWidgetItem* item = list->item(i);
            item->setCheckState(codes.contains(item->text(), Qt::CaseSensitive) ? Qt::Checked : Qt::Unchecked);
        }
    } else {
        any->setCheckState(Qt::Checked);
        for (int i = 1; i < list->count(); ++i)
            list->item(i)->setCheckState(Qt::Unchecked);
    }
    updating = false;
    updateButtonText();
}

void ModalityFilterButton::onItemChanged(QListWidgetItem* item)
{
    if (updating || !item)
        return;
    updating = true;

    QListWidgetItem* any = list->item(0);
    const bool checked = item->checkState() == Qt::Checked;
    if (!isAnyEntry(item)) {
        if (checked)
            any->setCheckState(Qt::Unchecked);
        else if (selectedModalities().isEmpty())
            any->setCheckState(Qt::Checked);
    } else if (checked) {
        for (int i = 1; i < list->count(); ++i)
            list->item(i)->setCheckState(Qt::Unchecked);
    }

    updating = false;
    updateButtonText();
    emit selectionChanged();
}

void ModalityFilterButton::updateButtonText()
{
    const QStringList codes = selectedModalities();
    if (codes.isEmpty())
        setText(anyModalityText());
    else if (codes.size() <= 3)
        setText(codes.join(QStringLiteral(", ")));
    else
        setText(QStringLiteral("Модальностей: %1").arg(codes.size()));
}
