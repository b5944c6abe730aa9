#pragma once

#include <QString>
#include <QTableWidgetItem>

// A cell of the study list that sorts by a key made once, when the cell is made: sorting tens of
// thousands of rows then compares the keys alone, reading and copying nothing per comparison. The
// key is the cell's text unless it is given one that settles ties among equal texts.
class StudyTableItem : public QTableWidgetItem
{
public:
    static constexpr int Type = QTableWidgetItem::UserType + 1;

    explicit StudyTableItem(const QString& text, const QString& sortKey = QString());
    bool operator<(const QTableWidgetItem& other) const override;

private:
    QString m_key;
};
