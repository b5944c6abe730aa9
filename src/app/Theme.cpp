#include "app/Theme.h"

#include <QApplication>
#include <QPalette>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>

namespace {

const char* const kDarkKey = "theme/dark";

struct StyleRule
{
    const char* selector;
    const char* dark;
    const char* light;
};

const StyleRule kCommonRules[] = {
    {"QToolButton", "padding: 4px 8px; border-radius: 3px; border: none; background: transparent;", nullptr},
    {"QToolButton::menu-button", "border: none; background: transparent; width: 14px;", nullptr},
    {"QToolButton::menu-indicator", "subcontrol-position: right center; subcontrol-origin: padding;", nullptr},
    {"QMenu", "font-size: 13px;", nullptr},
    {"QMenu::item", "padding: 9px 34px 9px 12px; icon-size: 36px 36px;", nullptr},
    {"QMenu::item:selected", "background-color: #3f6fb0; color: #ffffff;", nullptr},
};

const StyleRule kThemeRules[] = {
    {"QToolBar", "background: #2d2d30; border: none; spacing: 4px; padding: 3px;",
     "background: #e4e4e7; border: none; spacing: 4px; padding: 3px;"},
    {"QToolButton:hover", "background: #45454a;", "background: #d0d0d4;"},
    {"QToolButton:checked", "background: #3377bb; color: white;", "background: #3377bb; color: white;"},
    {"QToolButton::menu-button:hover", "background: #45454a;", "background: #d0d0d4;"},
    // A toolbar's overflow button is 12 px wide, too narrow for the padding above, and its dark arrow
    // needs a light ground to be seen.
    {"QToolButton#qt_toolbar_ext_button", "padding: 0px; background: #a0a0a6;",
     "padding: 0px; background: #d0d0d4;"},
    {"QHeaderView::section", "background: #3a3a3e; padding: 4px; border: none;  border-bottom: 1px solid #222;",
     "background: #e8e8ea; padding: 4px; border: none;  border-bottom: 1px solid #ccc; color: #222;"},
    {"QTableWidget", "gridline-color: #3a3a3e; selection-background-color: #3377bb;",
     "gridline-color: #ddd; selection-background-color: #3377bb;"},
    {"QStatusBar", "background: #2d2d30;", "background: #e4e4e7;"},
    {"QListWidget", "background: #1e1e20; border: none;", "background: #ffffff; border: none;"},
    {"QListWidget::item:selected", "background: #3377bb; border-radius: 4px;",
     "background: #3377bb; border-radius: 4px; color: white;"},
};

QString rule(const char* selector, const char* declarations)
{
    return QString::fromLatin1(selector) + QStringLiteral(" { ") + QString::fromLatin1(declarations) + QStringLiteral(" }");
}

QPalette themePalette(const QPalette& standard, bool dark)
{
    struct Entry
    {
        QPalette::ColorRole role;
        QColor dark;
        QColor light;
    };
    const Entry all[] = {
        {QPalette::Window, QColor(45, 45, 48), QColor(240, 240, 242)},
        {QPalette::WindowText, QColor(220, 220, 220), QColor(20, 20, 20)},
        {QPalette::Base, QColor(30, 30, 32), QColor(255, 255, 255)},
        {QPalette::AlternateBase, QColor(45, 45, 48), QColor(245, 245, 247)},
        {QPalette::ToolTipBase, QColor(45, 45, 48), QColor(255, 255, 225)},
        {QPalette::ToolTipText, QColor(220, 220, 220), QColor(20, 20, 20)},
        {QPalette::Text, QColor(220, 220, 220), QColor(20, 20, 20)},
        {QPalette::Button, QColor(58, 58, 62), QColor(230, 230, 232)},
        {QPalette::ButtonText, QColor(220, 220, 220), QColor(20, 20, 20)},
        {QPalette::BrightText, QColor(Qt::red), QColor(Qt::red)},
        {QPalette::Link, QColor(90, 160, 220), QColor(30, 100, 180)},
        {QPalette::Highlight, QColor(51, 119, 187), QColor(51, 119, 187)},
        {QPalette::HighlightedText, QColor(Qt::white), QColor(Qt::white)},
        {QPalette::PlaceholderText, QColor(140, 140, 140), QColor(130, 130, 130)},
    };
    const Entry disabled[] = {
        {QPalette::Text, QColor(120, 120, 120), QColor(160, 160, 160)},
        {QPalette::WindowText, QColor(120, 120, 120), QColor(160, 160, 160)},
        {QPalette::ButtonText, QColor(120, 120, 120), QColor(160, 160, 160)},
    };

    QPalette palette = standard;
    for (const Entry& e : all)
        palette.setColor(QPalette::All, e.role, dark ? e.dark : e.light);
    for (const Entry& e : disabled)
        palette.setColor(QPalette::Disabled, e.role, dark ? e.dark : e.light);
    return palette;
}

} // namespace

QString themeStyleSheet(bool dark)
{
    QString sheet;
    for (const StyleRule& r : kCommonRules)
        sheet += rule(r.selector, r.dark);
    for (const StyleRule& r : kThemeRules)
        sheet += rule(r.selector, dark ? r.dark : r.light);
    return sheet;
}

void applyTheme(QApplication* app, bool dark)
{
    if (!app)
        return;
    QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"));
    if (style)
        QApplication::setStyle(style); // the application takes ownership
    const QPalette standard = QApplication::style()->standardPalette();
    QApplication::setPalette(themePalette(standard, dark));
    app->setStyleSheet(themeStyleSheet(dark));
}

bool loadDarkThemeSetting()
{
    return QSettings().value(QString::fromLatin1(kDarkKey), true).toBool();
}

void saveDarkThemeSetting(bool dark)
{
    QSettings().setValue(QString::fromLatin1(kDarkKey), dark);
}
