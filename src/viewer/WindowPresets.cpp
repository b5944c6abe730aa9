#include "viewer/WindowPresets.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/ToolbarIcons.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QToolButton>

namespace {

const QString ArrayKey = QStringLiteral("customWindowPresets");

ImageViewportWidget* activePanel(ViewerWindow* viewer)
{
    return viewer ? viewer->panel(viewer->activePanelIndex()) : nullptr;
}

void addPresetAction(ViewerWindow* viewer, QMenu* menu, const WindowPreset& preset)
{
    QAction* action = menu->addAction(preset.name);
    // The window pair is captured now; the panel is looked up only when the entry fires, so a
    // panel switch while the menu was built still hits the panel the user is working in.
    const QPointer<ViewerWindow> target(viewer);
    const double center = preset.center;
    const double width = preset.width;
    QObject::connect(action, &QAction::triggered, menu,
                     [target, center, width] { applyWindowToActivePanel(target, center, width); });
}

} // namespace

const QList<WindowPreset>& builtInWindowPresets()
{
    static const QList<WindowPreset> presets = {
        {QStringLiteral("Лёгкие"), -600, 1500},
        {QStringLiteral("Кость"), 300, 1500},
        {QStringLiteral("Мозг"), 40, 80},
        {QStringLiteral("Средостение"), 50, 350},
        {QStringLiteral("Брюшная пол."), 60, 400},
        {QStringLiteral("Мягкие ткани"), 40, 400},
    };
    return presets;
}

QList<WindowPreset> loadCustomWindowPresets()
{
    QSettings settings;
    QList<WindowPreset> presets;
    const int size = settings.beginReadArray(ArrayKey);
    presets.reserve(size);
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        WindowPreset preset;
        preset.name = settings.value(QStringLiteral("name")).toString();
        preset.center = settings.value(QStringLiteral("center"), 0.0).toDouble();
        preset.width = settings.value(QStringLiteral("width"), 0.0).toDouble();
        presets.append(preset);
    }
    settings.endArray();
    return presets;
}

void saveCustomWindowPresets(const QList<WindowPreset>& presets)
{
    QSettings settings;
    // Entries beyond the new size would otherwise stay in the store as stale keys.
    settings.remove(ArrayKey);
    settings.beginWriteArray(ArrayKey);
    for (int i = 0; i < presets.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("name"), presets[i].name);
        settings.setValue(QStringLiteral("center"), presets[i].center);
        settings.setValue(QStringLiteral("width"), presets[i].width);
    }
    settings.endArray();
}

void rebuildWindowPresetMenu(ViewerWindow* viewer, QMenu* menu)
{
    if (!menu)
        return;
    menu->clear();
    for (const WindowPreset& preset : builtInWindowPresets())
        addPresetAction(viewer, menu, preset);

    const QList<WindowPreset> custom = loadCustomWindowPresets();
    if (!custom.isEmpty()) {
        menu->addSeparator();
        for (const WindowPreset& preset : custom)
            addPresetAction(viewer, menu, preset);
    }

    menu->addSeparator();
    const QPointer<ViewerWindow> target(viewer);
    QAction* save = menu->addAction(QStringLiteral("Сохранить текущий как пресет…"));
    QObject::connect(save, &QAction::triggered, menu, [target] { saveCurrentWindowAsPreset(target); });
    if (!custom.isEmpty()) {
        QAction* remove = menu->addAction(QStringLiteral("Удалить пользовательский пресет…"));
        QObject::connect(remove, &QAction::triggered, menu, [target] { deleteCustomWindowPreset(target); });
    }
}

void fillBuiltInWindowPresetMenu(ViewerWindow* viewer, QMenu* menu)
{
    if (!menu)
        return;
    menu->clear();
    for (const WindowPreset& preset : builtInWindowPresets())
        addPresetAction(viewer, menu, preset);
}

void applyWindowToActivePanel(ViewerWindow* viewer, double center, double width)
{
    if (ImageViewportWidget* panel = activePanel(viewer))
        panel->setWindowPreset(render::WindowLevel{center, width});
}

void saveCurrentWindowAsPreset(ViewerWindow* viewer)
{
    if (!viewer)
        return;
    // A panel without an image has no window of its own; a preset of it would hold a zero width.
    ImageViewportWidget* panel = activePanel(viewer);
    if (!panel || panel->sliceCount() == 0) {
        QMessageBox::information(viewer, QStringLiteral("Новый пресет W/L"),
                                 QStringLiteral("В активной панели нет изображения: сохранять нечего."));
        return;
    }

    bool ok = false;
    const QString name = QInputDialog::getText(viewer, QStringLiteral("Новый пресет W/L"), QStringLiteral("Название:"),
                                               QLineEdit::Normal, QString(), &ok)
                             .trimmed();
    if (!ok || name.isEmpty())
        return;

    // The panel may have gone away or changed while the dialog was open.
    panel = activePanel(viewer);
    if (!panel || panel->sliceCount() == 0)
        return;
    QList<WindowPreset> presets = loadCustomWindowPresets();
    presets.append(WindowPreset{name, panel->windowCenter(), panel->windowWidth()});
    saveCustomWindowPresets(presets);
}

void deleteCustomWindowPreset(ViewerWindow* viewer)
{
    if (!viewer)
        return;
    QList<WindowPreset> presets = loadCustomWindowPresets();
    QStringList names;
    for (const WindowPreset& preset : presets)
        names << preset.name;
    if (names.isEmpty())
        return;

    bool ok = false;
    const QString chosen = QInputDialog::getItem(viewer, QStringLiteral("Удалить пресет"),
                                                 QStringLiteral("Выберите пресет для удаления:"), names, 0, false, &ok);
    if (!ok)
        return;
    presets.removeIf([&chosen](const WindowPreset& preset) { return preset.name == chosen; });
    saveCustomWindowPresets(presets);
}

QToolButton* createWindowPresetButton(ViewerWindow* viewer, QWidget* parent, bool builtInOnly)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("windowPresetButton"));
    button->setToolTip(QStringLiteral("Window/Level presets"));
    button->setIcon(windowLevelIcon());
    button->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(button);
    menu->setObjectName(QStringLiteral("windowPresetMenu"));
    button->setMenu(menu);
    if (builtInOnly) {
        fillBuiltInWindowPresetMenu(viewer, menu);
        return button;
    }
    rebuildWindowPresetMenu(viewer, menu);
    const QPointer<ViewerWindow> target(viewer);
    QObject::connect(menu, &QMenu::aboutToShow, menu, [target, menu] { rebuildWindowPresetMenu(target, menu); });
    return button;
}
