#include "app/StudyTableItem.h"

StudyTableItem::StudyTableItem(const QString& text, const QString& sortKey)
    : QTableWidgetItem(text, Type), m_key(sortKey.isNull() ? text : sortKey)
{
}

bool StudyTableItem::operator<(const QTableWidgetItem& other) const
{
    if (other.type() == Type)
        return m_key < static_cast<const StudyTableItem&>(other).m_key;
    return QTableWidgetItem::operator<(other);
}
