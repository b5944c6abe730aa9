#pragma once

#include <QDialog>
#include <QHash>
#include <QString>

class QScrollArea;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

// A non-modal window with categories and their pages in a tree on the left and the chosen page on the
// right; the calculator and classification windows are both built on it.
class CategoryHub : public QDialog
{
    Q_OBJECT

public:
    CategoryHub(QWidget* parent, const QString& title, const QString& hintText);

    void addPage(const QString& category, const QString& title, QWidget* page);
    QTreeWidgetItem* categoryItem(const QString& category);
    void onCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

    QTreeWidget* tree = nullptr;
    QStackedWidget* stack = nullptr;
    QHash<QString, QTreeWidgetItem*> categories;
    QScrollArea* pages = nullptr; // holds the stack

protected:
    void showEvent(QShowEvent* event) override;
};
