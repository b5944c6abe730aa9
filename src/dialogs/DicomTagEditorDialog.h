#pragma once
// Every data element of one DICOM file in a table; textual values may be edited and written back
// into that file or into every file of its study, which are then indexed again.

#include "dicom/DicomTagList.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QTableWidget;

namespace db {
class Database;
}

class DicomTagEditorDialog : public QDialog
{
    Q_OBJECT

public:
    // studyFiles may be empty (then only filePath is written); db may be null (then nothing is re-indexed).
    DicomTagEditorDialog(const QString& filePath, QWidget* parent, const QStringList& studyFiles, db::Database* db);

    // True for the value representations whose text can be edited without risk to the file.
    static bool isEditableVr(const QString& vr);

signals:
    // At least one file was written by a save.
    void tagsChanged();

public slots:
    void saveChanges();

private:
    void loadTags();
    QList<dicom::TagEntry> collectEdits() const;

    QString m_filePath;
    QStringList m_studyFiles;
    db::Database* m_db = nullptr;
    QTableWidget* m_table = nullptr;
    QLabel* m_statusLabel = nullptr;
    QStringList m_loadedValues; // each row's value as loaded, by row
};
