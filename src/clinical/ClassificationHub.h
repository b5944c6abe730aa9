#pragma once

#include <QDialog>
#include <QHash>
#include <QString>

class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

// The non-modal classification reference window: categories with their pages on the left, the chosen
// page on the right.
class ClassificationHub : public QDialog
{
    Q_OBJECT

public:
    explicit ClassificationHub(QWidget* parent);

    void addPage(const QString& category, const QString& title, QWidget* page);
    QTreeWidgetItem* categoryItem(const QString& category);
    void onCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

    QTreeWidget* tree = nullptr;
    QStackedWidget* stack = nullptr;
    QHash<QString, QTreeWidgetItem*> categories;
};
