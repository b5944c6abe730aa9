#pragma once
// A tool button that drops down a check list of modality codes plus an entry for "any modality".
// Its value is the list of checked codes; the empty list means no restriction.

#include <QStringList>
#include <QToolButton>

class QListWidget;
class QListWidgetItem;

class ModalityFilterButton : public QToolButton
{
    Q_OBJECT
public:
    explicit ModalityFilterButton(QWidget* parent = nullptr);

    QStringList selectedModalities() const;
    // Sets the check states without emitting selectionChanged; unknown codes are ignored.
    void setSelectedModalities(const QStringList& codes);

signals:
    void selectionChanged();

private:
    void onItemChanged(QListWidgetItem* item);
    void updateButtonText();
    bool isAnyEntry(const QListWidgetItem* item) const;

    QListWidget* list = nullptr;
    bool updating = false;
};
