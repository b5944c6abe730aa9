#pragma once
// The user's rules for the automatic clean-up of the local study store, kept in the settings group
// "cleanup". The study list applies them at start-up; the storage settings page edits them.

#include <QtGlobal>

struct CleanupSettings
{
    bool byAgeEnabled = false;
    int maxAgeDays = 90;
    bool bySizeEnabled = false;
    qint64 maxSizeBytes = 10LL * 1024 * 1024 * 1024;
};

// Reads the four keys of "cleanup", each with its default when absent. A limit that is stored but
// does not convert, or is zero or negative, also gives its default: such a value must never turn
// into a rule that removes every study at the next start.
CleanupSettings loadCleanupSettings();

void saveCleanupSettings(const CleanupSettings& settings);
