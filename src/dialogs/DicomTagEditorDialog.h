#pragma once
// Every data element of one DICOM file in a table; textual values may be edited and written back
// into that file, the files of its series or every file of its study, which are then indexed again.

#include "dicom/DicomFileSummary.h"
#include "dicom/DicomTagList.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

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
    // `shown`: the index row whose file is shown: its tags are listed only while the file holds its object.
    DicomTagEditorDialog(const QString& filePath, QWidget* parent, const QStringList& studyFiles,
                         db::Database* db, const dicom::RowObject& shown = {});

    // True for the value representations whose text can be edited without risk to the file.
    static bool isEditableVr(const QString& vr);

signals:
    // At least one file was written by a save.
    void tagsChanged();

public slots:
    void saveChanges();

private:
    // One file to write with the edits that belong in it, and what it said before.
    struct Target
    {
        QString path;
        QList<dicom::TagEntry> edits;
        std::optional<dicom::DicomFileSummary> before;
    };

    void loadTags();
    QList<dicom::TagEntry> collectEdits() const;
    // Patient and study elements go into every file of the study, series elements into the files of
    // the shown file's series, everything else into the shown file only.
    QList<Target> targetsFor(const QList<dicom::TagEntry>& edits, const QStringList& studyFiles) const;
    // The file holds the object the index lists there: one that holds another since the study's files
    // were listed (another disc copied over the folder) is another patient's, and is not written.
    bool holdsListedObject(const Target& target) const;

    QString m_filePath;
    dicom::RowObject m_shown;
    QStringList m_studyFiles;
    db::Database* m_db = nullptr;
    QTableWidget* m_table = nullptr;
    QLabel* m_statusLabel = nullptr;
    QStringList m_loadedValues; // each row's value as loaded, by row
};
