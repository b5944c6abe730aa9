#pragma once

#include <QDialog>
#include <QHash>
#include <QString>

class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace db {
class Database;
}

// The non-modal calculator window: categories with their pages on the left, the chosen page on the right.
class RadiologyCalculatorHub : public QDialog
{
    Q_OBJECT

public:
    RadiologyCalculatorHub(QWidget* parent, db::Database* db, const QString& studyUid);

    void addPage(const QString& category, const QString& title, QWidget* page);
    QTreeWidgetItem* categoryItem(const QString& category);
    void onCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

    QTreeWidget* tree = nullptr;
    QStackedWidget* stack = nullptr;
    QHash<QString, QTreeWidgetItem*> categories;
};
