#pragma once
// The buttons of the 2D viewer's toolbar that the user may reorder and hide, and the merge of the
// stored arrangement ("toolbar/order", "toolbar/hidden") with them.

#include <QList>
#include <QString>
#include <QStringList>

struct ToolbarActionEntry
{
    QString id;    // the button's object name, the value stored in the settings
    QString label; // shown in the customisation list
    bool visibleByDefault = true; // in a merged arrangement: whether the button is shown
};

// A fresh list on every call, in default toolbar order.
QList<ToolbarActionEntry> viewerToolbarActionCatalogue();

// The arrangement the customisation dialog starts from. An empty stored order gives the catalogue
// unchanged. Otherwise the stored order comes first (ids the catalogue lacks and repeats dropped,
// shown unless hidden), then the catalogue entries it does not name, in catalogue order, with their
// default visibility: a button added to the program later must not start out hidden.
QList<ToolbarActionEntry> mergeToolbarArrangement(const QList<ToolbarActionEntry>& catalogue,
                                                  const QStringList& storedOrder,
                                                  const QStringList& storedHidden);
