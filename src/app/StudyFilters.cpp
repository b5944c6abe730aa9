#include "app/StudyFilters.h"

#include <QRegularExpression>

#include <algorithm>

namespace studyfilters {

std::pair<QDate, QDate> periodDates(int index, int exactIndex, const QDate& today, const QDate& first, const QDate& second)
{
    switch (index) {
    case 1:
        return {today, today};
    case 2:
        return {today.addDays(-1), today.addDays(-1)};
    case 3:
        return {today.addDays(-10), today};
    case 4:
        return {today.addMonths(-1), today};
    case 5:
    case 6:
        return index == exactIndex ? std::pair{first, first} : std::pair{first, second};
    default:
        return {};
    }
}

QStringList modalityCodes(const QString& text)
{
    // Compiled once: the filter runs over every row on every keystroke.
    static const QRegularExpression separators(QStringLiteral("[,\\\\/ ]+"));
    QStringList codes;
    for (const QString& part : text.split(separators, Qt::SkipEmptyParts))
        codes << part.trimmed().toUpper();
    return codes;
}

bool modalitiesMatch(const QString& rowModalities, const QStringList& selected)
{
    if (selected.isEmpty())
        return true;
    const QStringList codes = modalityCodes(rowModalities);
    return std::any_of(selected.cbegin(), selected.cend(),
                       [&](const QString& code) { return codes.contains(code.trimmed().toUpper()); });
}

} // namespace studyfilters
