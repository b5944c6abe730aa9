#pragma once

#include "dialogs/ToolbarCatalogue.h"

#include <QDialog>

class QListWidget;

// Lets the user reorder (drag and drop) and hide (check box) the viewer's customisable toolbar
// buttons. Each item carries the button id under Qt::UserRole.
class ToolbarCustomizeDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ToolbarCustomizeDialog(const QList<ToolbarActionEntry>& entries, QWidget* parent = nullptr);
    ~ToolbarCustomizeDialog() override;

    QListWidget* listWidget() const { return m_list; }

private:
    void fill(const QList<ToolbarActionEntry>& entries);

    QListWidget* m_list = nullptr;
};

// Merges the stored arrangement with the catalogue, runs the dialog modally and, only when it is
// accepted, stores the new "toolbar/order" and "toolbar/hidden". The caller rebuilds its toolbar.
void showToolbarCustomizeDialog(QWidget* parent);
