#include "dialogs/ToolbarCustomizeDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

namespace {
const QString kOrderKey = QStringLiteral("toolbar/order");
const QString kHiddenKey = QStringLiteral("toolbar/hidden");
} // namespace

ToolbarCustomizeDialog::ToolbarCustomizeDialog(const QList<ToolbarActionEntry>& entries, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Настройка панели инструментов"));
    auto* layout = new QVBoxLayout(this);

    auto* hint = new QLabel(QStringLiteral("Перетаскивайте пункты, чтобы изменить порядок кнопок на панели.\n"
                                           "Снимите галочку, чтобы скрыть кнопку совсем."),
                            this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    m_list = new QListWidget(this);
    m_list->setDragDropMode(QAbstractItemView::InternalMove);
    m_list->setDefaultDropAction(Qt::MoveAction);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    layout->addWidget(m_list, 1);
    fill(entries);

    auto* restore = new QPushButton(QStringLiteral("Восстановить порядок и видимость по умолчанию"), this);
    layout->addWidget(restore);
    connect(restore, &QPushButton::clicked, this, [this] {
        QList<ToolbarActionEntry> defaults = viewerToolbarActionCatalogue();
        for (ToolbarActionEntry& entry : defaults)
            entry.visibleByDefault = true;
        fill(defaults);
    });

    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(box);
}

ToolbarCustomizeDialog::~ToolbarCustomizeDialog() = default;

void ToolbarCustomizeDialog::fill(const QList<ToolbarActionEntry>& entries)
{
    m_list->clear();
    for (const ToolbarActionEntry& entry : entries) {
        auto* item = new QListWidgetItem(entry.label, m_list);
        item->setData(Qt::UserRole, entry.id);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(entry.visibleByDefault ? Qt::Checked : Qt::Unchecked);
    }
}

void showToolbarCustomizeDialog(QWidget* parent)
{
    QSettings settings;
    const QList<ToolbarActionEntry> working = mergeToolbarArrangement(
        viewerToolbarActionCatalogue(), settings.value(kOrderKey).toStringList(), settings.value(kHiddenKey).toStringList());

    ToolbarCustomizeDialog dialog(working, parent);
    if (dialog.exec() != QDialog::Accepted)
        return;

    QStringList order;
    QStringList hidden;
    const QListWidget* list = dialog.listWidget();
    for (int row = 0; row < list->count(); ++row) {
        const QListWidgetItem* item = list->item(row);
        const QString id = item->data(Qt::UserRole).toString();
        order.append(id);
        if (item->checkState() != Qt::Checked)
            hidden.append(id);
    }
    settings.setValue(kOrderKey, order);
    settings.setValue(kHiddenKey, hidden);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        QMessageBox::warning(parent, QStringLiteral("Настройка панели инструментов"),
                             QStringLiteral("Не удалось сохранить настройку панели: файл настроек недоступен для записи."));
    }
}
