#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QTableWidget;

namespace db {
class Database;
}

// Lets the user pick any study of the local index by hand, to open it beside the viewer's own study.
// The caller runs exec() and reads selectedStudyUid() after an accepted result.
class StudyPickerDialog : public QDialog
{
    Q_OBJECT

public:
    // db may be null (the table stays empty); excludedStudyUid is the viewer's own study, never listed.
    StudyPickerDialog(db::Database* db, const QString& excludedStudyUid, QWidget* parent = nullptr);

    QString selectedStudyUid() const { return m_selectedStudyUid; }
    QLineEdit* filterEdit() const { return m_filterEdit; }
    QTableWidget* table() const { return m_table; }

private:
    void fillTable(const QString& filter);
    void acceptSelection();

    db::Database* m_db = nullptr;
    QString m_excludedStudyUid;
    QLineEdit* m_filterEdit = nullptr;
    QTableWidget* m_table = nullptr;
    QString m_selectedStudyUid;
};
