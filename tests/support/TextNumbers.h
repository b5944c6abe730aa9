#pragma once
// The numbers a user reads in a message or a label, for tests that check numbers rather than wording.

#include <QList>
#include <QRegularExpression>
#include <QString>

namespace fixtures {

// Every number in the text, in order; a minus sign right before the digits belongs to the number.
inline QList<double> numbersIn(const QString& text)
{
    static const QRegularExpression number(QStringLiteral("-?\\d+(\\.\\d+)?"));
    QList<double> out;
    for (auto it = number.globalMatch(text); it.hasNext();)
        out << it.next().captured().toDouble();
    return out;
}

} // namespace fixtures
