#pragma once
// Start-up shared by the tests that drive the program's windows (main window flows, portable mode):
// the program's names, windows that may close without ending the run, DICOM types for queued
// signals, and a clean slate of settings and stored data.

#include "support/SettingsFileHelpers.h"

#include "dicom/DicomFileSummary.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace fixtures {

// The program's names and the DICOM types queued signals carry.
inline void prepareProgramTest()
{
    useProgramNames();
    dicom::registerMetaTypes();
}

// As prepareProgramTest, with windows that may close without ending the run.
inline void prepareWindowTest()
{
    prepareProgramTest();
    QApplication::setQuitOnLastWindowClosed(false);
}

// Forgets every setting and removes the program's data folder (index, staging, logs).
inline void clearProgramData()
{
    QSettings().clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
}

} // namespace fixtures
