#pragma once
// The program's start: process set-up, then portable mode, forwarding to a running copy, or the
// study list with the loopback server.

#include <QString>

class QApplication;

// Names, icon, locale, Qt's own translations and the theme, as every start sets them up.
void setUpApplication(QApplication& app);

// Runs the whole program and returns the process exit code.
int runKalvenor(int argc, char** argv);

// The folder that portable mode and the viewer copy work from: the running executable's folder.
QString programFolder();

// The running executable's file name, which a portable folder carries next to the study.
QString programFileName();
