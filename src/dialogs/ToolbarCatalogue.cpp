#include "dialogs/ToolbarCatalogue.h"

#include <QHash>

QList<ToolbarActionEntry> viewerToolbarActionCatalogue()
{
    return {
        {QStringLiteral("backToList"), QStringLiteral("К списку исследований"), true},
        {QStringLiteral("print"), QStringLiteral("Печать"), true},
        {QStringLiteral("invert"), QStringLiteral("Инверсия"), true},
        {QStringLiteral("selectAll"), QStringLiteral("Выбрать все"), true},
        {QStringLiteral("compare"), QStringLiteral("Сравнить с…"), true},
        {QStringLiteral("clearMeasurements"), QStringLiteral("Очистить измерения"), true},
        {QStringLiteral("syncSlices"), QStringLiteral("Синхронизация срезов"), true},
        {QStringLiteral("wheelSeries"), QStringLiteral("Колесо: серии"), true},
        {QStringLiteral("dicomTags"), QStringLiteral("DICOM-теги"), true},
        {QStringLiteral("calculators"), QStringLiteral("Расчёты"), true},
        {QStringLiteral("classifications"), QStringLiteral("Классификации"), true},
    };
}

QList<ToolbarActionEntry> mergeToolbarArrangement(const QList<ToolbarActionEntry>& catalogue,
                                                  const QStringList& storedOrder,
                                                  const QStringList& storedHidden)
{
    if (storedOrder.isEmpty())
        return catalogue;

    QHash<QString, qsizetype> remaining; // id -> position in the catalogue, until placed
    for (qsizetype i = 0; i < catalogue.size(); ++i)
        remaining.insert(catalogue.at(i).id, i);

    QList<ToolbarActionEntry> merged;
    merged.reserve(catalogue.size());
    for (const QString& id : storedOrder) {
        const auto found = remaining.constFind(id);
        if (found == remaining.constEnd())
            continue;
        ToolbarActionEntry entry = catalogue.at(found.value());
        entry.visibleByDefault = !storedHidden.contains(id, Qt::CaseSensitive);
        merged.append(entry);
        remaining.erase(found);
    }
    for (const ToolbarActionEntry& entry : catalogue) {
        if (remaining.contains(entry.id))
            merged.append(entry);
    }
    return merged;
}
