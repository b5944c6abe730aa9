#pragma once
// What the measurement windows share for their results: the reusable result dialog with its rich-text
// label and "Экспорт (PNG)" button, and the PNG export of that label through a save-file dialog.

#include <QDateTime>
#include <QString>

#include <functional>

class QDialog;
class QLabel;
class QWidget;

struct MeasurementReportDialog
{
    QDialog* dialog = nullptr;
    QLabel* label = nullptr;
};

// A non-modal dialog, child of `parent`, sized to at most maxWidth × maxHeight of the primary screen's
// available area less 80 pixels; the export button calls `onExport`.
MeasurementReportDialog createMeasurementReportDialog(QWidget* parent, const QString& title, int maxWidth,
                                                      int maxHeight, std::function<void()> onExport);

// Replaces the label's text and brings the dialog to the front.
void showMeasurementReport(const MeasurementReportDialog& parts, const QString& html);

// "<prefix>_<title>_<yyyyMMdd_HHmmss>.png" with every run of characters outside Latin and Russian
// letters, digits, "_" and "-" in the title replaced by one "_".
QString measurementReportFileName(const QString& prefix, const QString& title, const QDateTime& when);

// Grabs the whole label and saves it where the user says; a failed save gives the warning box.
void exportMeasurementReportPng(QWidget* parent, QLabel* label, const QString& caption, const QString& prefix,
                                const QString& title);
