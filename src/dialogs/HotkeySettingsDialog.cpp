#include "dialogs/HotkeySettingsDialog.h"

#include "dialogs/HotkeyRegistry.h"

#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequenceEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString kTitle = QStringLiteral("Горячие клавиши");

QString labelOf(const QString& id)
{
    for (const HotkeyAction& action : hotkeyRegistry()) {
        if (action.id == id)
            return action.label;
    }
    return id;
}

QKeySequence defaultOf(const QString& id)
{
    for (const HotkeyAction& action : hotkeyRegistry()) {
        if (action.id == id)
            return action.defaultSequence;
    }
    return {};
}

// Each action takes a single key combination: recording ends with the first one, as the editor of
// later Qt versions does with a maximum length of 1.
class SingleCombinationEdit : public QKeySequenceEdit
{
public:
    SingleCombinationEdit(const QKeySequence& sequence, QWidget* parent)
        : QKeySequenceEdit(sequence, parent)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
        setMaximumSequenceLength(1);
#endif
    }

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        QKeySequenceEdit::keyPressEvent(event);
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
        switch (event->key()) {
        case Qt::Key_Control:
        case Qt::Key_Shift:
        case Qt::Key_Meta:
        case Qt::Key_Alt:
        case Qt::Key_unknown:
            return; // a modifier alone is not a combination yet
        default:
            break;
        }
        const QKeySequence recorded = keySequence();
        if (recorded.isEmpty())
            return;
        const QKeySequence one(recorded[0]);
        setKeySequence(one); // also ends the recording
        if (one == recorded)
            emit keySequenceChanged(one);
        emit editingFinished();
#endif
    }
};

} // namespace

HotkeySettingsDialog::HotkeySettingsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(kTitle);
    resize(520, 420);
    auto* layout = new QVBoxLayout(this);

    const QList<HotkeyAction>& registry = hotkeyRegistry();
    auto* table = new QTableWidget(int(registry.size()), 2, this);
    table->setHorizontalHeaderLabels({QStringLiteral("Действие"), QStringLiteral("Клавиша")});
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->setColumnWidth(1, 190); // room for the longest default, "Ctrl+Shift+O", and the clear button
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);

    EditorList editors;
    for (int row = 0; row < registry.size(); ++row) {
        const HotkeyAction& action = registry.at(row);
        table->setItem(row, 0, new QTableWidgetItem(action.label));
        auto* edit = new SingleCombinationEdit(hotkeySequence(action.id), table);
        edit->setObjectName(action.id);
        // Without it the user could not take a shortcut away from an action.
        edit->setClearButtonEnabled(true);
        table->setCellWidget(row, 1, edit);
        editors.append({action.id, edit});
    }
    layout->addWidget(table);

    auto* buttons = new QHBoxLayout;
    auto* resetButton = new QPushButton(QStringLiteral("Сбросить всё к умолчаниям"), this);
    auto* saveButton = new QPushButton(QStringLiteral("Сохранить"), this);
    auto* cancelButton = new QPushButton(QStringLiteral("Отмена"), this);
    buttons->addWidget(resetButton);
    buttons->addWidget(saveButton);
    buttons->addWidget(cancelButton);
    layout->addLayout(buttons);

    connect(resetButton, &QPushButton::clicked, this, [this, editors] { resetToDefaults(editors); });
    connect(saveButton, &QPushButton::clicked, this, [this, editors] { saveHotkeys(editors); });
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

HotkeySettingsDialog::~HotkeySettingsDialog() = default;

void HotkeySettingsDialog::resetToDefaults(const EditorList& editors)
{
    // Only the editors change: the stored overrides stay until "Сохранить", so "Отмена" still
    // brings them back.
    for (const auto& [id, edit] : editors)
        edit->setKeySequence(defaultOf(id));
}

void HotkeySettingsDialog::saveHotkeys(const EditorList& editors)
{
    // A shortcut shared by two actions of one window triggers neither of them, so such a pair is
    // refused before anything is stored.
    QHash<QString, QString> ownerOfSequence; // window + portable text -> action id
    for (const auto& [id, edit] : editors) {
        const QKeySequence sequence = edit->keySequence();
        if (sequence.isEmpty())
            continue;
        const QString key = hotkeyWindowOf(id) + QLatin1Char('\n') + sequence.toString(QKeySequence::PortableText);
        const auto found = ownerOfSequence.constFind(key);
        if (found != ownerOfSequence.constEnd()) {
            QMessageBox::warning(
                this, kTitle,
                QStringLiteral("Сочетание «%1» назначено сразу двум действиям: «%2» и «%3». "
                               "В одном окне оно не сработает ни для одного из них — назначьте одному "
                               "из действий другое сочетание.")
                    .arg(sequence.toString(QKeySequence::NativeText), labelOf(found.value()), labelOf(id)));
            edit->setFocus();
            return;
        }
        ownerOfSequence.insert(key, id);
    }

    QSettings settings;
    settings.beginGroup(QStringLiteral("hotkeys"));
    for (const auto& [id, edit] : editors)
        settings.setValue(id, edit->keySequence().toString(QKeySequence::PortableText));
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        QMessageBox::warning(this, kTitle, QStringLiteral("Не удалось сохранить горячие клавиши: файл настроек недоступен для записи."));
        return;
    }

    QMessageBox::information(this, kTitle,
                             QStringLiteral("Сохранено. Изменения применятся к новым открываемым окнам — уже "
                                            "открытые окна нужно закрыть и открыть заново."));
    accept();
}
