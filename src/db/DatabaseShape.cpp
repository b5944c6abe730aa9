#include "db/DatabaseSql.h"

#include <QHash>

#include <sqlite3.h>

#include <algorithm>

namespace db::sql {

namespace {

struct ShapeColumn
{
    QString name;
    QString defaultValue; // as SQL: what a row written before the column existed reads
};

struct ShapeTable
{
    QString name;
    QList<ShapeColumn> columns;
};

QString columnText(sqlite3_stmt* statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

// This version's tables and columns, as its own statements make them in an empty database: a column
// added later is known here without being named twice.
QList<ShapeTable> readCurrentShape()
{
    QList<ShapeTable> tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return tables;
    }
    bool made = true;
    for (const QString& sql : tableStatements())
        made = made && sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt* names = nullptr;
    if (made && sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid;",
                                   -1, &names, nullptr) == SQLITE_OK)
        while (sqlite3_step(names) == SQLITE_ROW)
            tables.append({columnText(names, 0), {}});
    sqlite3_finalize(names);
    for (ShapeTable& table : tables) {
        sqlite3_stmt* info = nullptr;
        const QByteArray sql =
            "SELECT name, dflt_value FROM pragma_table_info('" + table.name.toUtf8() + "');";
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &info, nullptr) == SQLITE_OK)
            while (sqlite3_step(info) == SQLITE_ROW)
                table.columns.append({columnText(info, 0), sqlite3_column_type(info, 1) == SQLITE_NULL
                                                               ? QStringLiteral("NULL")
                                                               : columnText(info, 1)});
        sqlite3_finalize(info);
    }
    sqlite3_close(db);
    return tables;
}

const QList<ShapeTable>& currentShape()
{
    static const QList<ShapeTable> shape = readCurrentShape();
    return shape;
}

QString quoted(const QString& name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

// The select list of a view of the table: each column of this version as the file's row `row` gives
// it, or by `given` where it is worked out, else its default where the file lacks it.
QString selectList(const ShapeTable& table, const QStringList& own, const QHash<QString, QString>& given,
                   const QString& row)
{
    QStringList list;
    for (const ShapeColumn& column : table.columns) {
        QString value = given.value(column.name);
        if (value.isEmpty())
            value = own.contains(column.name) ? row + QLatin1Char('.') + quoted(column.name)
                                              : column.defaultValue;
        list << value + QStringLiteral(" AS ") + quoted(column.name);
    }
    return list.join(QStringLiteral(", "));
}

// The patients of an index keyed by Patient ID alone as its upgrade keys them (rekeyPatientsStatements):
// one for each Patient ID, and one of its own for each study without one, which takes the name and
// birth date of the row that every such study shared.
QString patientsKeyedAnew(const ShapeTable& patients, const QStringList& own)
{
    const auto text = [](const QString& column) {
        return QStringLiteral("COALESCE(t.%1, '')").arg(quoted(column));
    };
    QHash<QString, QString> byId{{QStringLiteral("patient_key"), QStringLiteral("t.rowid")},
                                 {QStringLiteral("patient_name"), text(QStringLiteral("patient_name"))},
                                 {QStringLiteral("birth_date"), text(QStringLiteral("birth_date"))},
                                 {QStringLiteral("sole_study_uid"), QStringLiteral("''")}};
    QHash<QString, QString> ofStudy = byId;
    ofStudy.insert(QStringLiteral("patient_key"), QStringLiteral("-s.rowid"));
    ofStudy.insert(QStringLiteral("patient_id"), QStringLiteral("''"));
    ofStudy.insert(QStringLiteral("sole_study_uid"), QStringLiteral("s.study_instance_uid"));
    return QStringLiteral(
               "SELECT %1, t.rowid AS rowid FROM main.patients t WHERE COALESCE(t.patient_id, '') != '' "
               "UNION ALL SELECT %2, -s.rowid FROM main.studies s LEFT JOIN main.patients t "
               "ON t.patient_id = s.patient_id WHERE COALESCE(s.patient_id, '') = ''")
        .arg(selectList(patients, own, byId, QStringLiteral("t")),
             selectList(patients, own, ofStudy, QStringLiteral("t")));
}

} // namespace

bool readEarlierShapeAsCurrent(const QSqlDatabase& db, QString* failure)
{
    const QList<ShapeTable>& shape = currentShape();
    QSqlQuery q(db);
    const auto failed = [&q, failure] {
        if (failure)
            *failure = q.lastError().isValid()
                           ? errorText(q)
                           : QStringLiteral("не удалось прочитать устройство локальной базы исследований");
        return false;
    };
    if (shape.isEmpty())
        return failed();
    QHash<QString, QStringList> own; // the file's columns of each table; none for a table it lacks
    for (const ShapeTable& table : shape) {
        if (!q.exec(QStringLiteral("PRAGMA main.table_info(%1);").arg(quoted(table.name))))
            return failed();
        QStringList& columns = own[table.name];
        while (q.next())
            columns << q.value(1).toString();
    }
    if (!q.exec(QStringLiteral("PRAGMA main.user_version;")) || !q.next())
        return failed();
    const bool totalsKept = q.value(0).toInt() >= kTotalsVersion;
    q.finish();
    const bool keyedById = !own.value(QStringLiteral("patients")).contains(QStringLiteral("patient_key"));

    for (const ShapeTable& table : shape) {
        const QStringList& columns = own.value(table.name);
        QHash<QString, QString> given;
        if (table.name == QLatin1String("studies") && keyedById)
            given.insert(
                QStringLiteral("patient_key"),
                QStringLiteral("CASE WHEN COALESCE(t.patient_id, '') = '' THEN -t.rowid ELSE (SELECT p.rowid "
                               "FROM main.patients p WHERE p.patient_id = t.patient_id) END"));
        if (table.name == QLatin1String("studies") && !totalsKept)
            for (const auto& [column, counted] : studyTotalsCounted(QStringLiteral("t.study_instance_uid")))
                given.insert(column, counted);
        const bool keyedAnew = table.name == QLatin1String("patients") && keyedById;
        const bool lacks =
            std::any_of(table.columns.begin(), table.columns.end(),
                        [&columns](const ShapeColumn& c) { return !columns.contains(c.name); });
        if (!lacks && given.isEmpty() && !keyedAnew)
            continue;
        QString select;
        if (columns.isEmpty())
            select = QStringLiteral("SELECT %1 WHERE 0").arg(selectList(table, columns, {}, QString()));
        else if (keyedAnew)
            select = patientsKeyedAnew(table, columns);
        else
            select = QStringLiteral("SELECT %1, t.rowid AS rowid FROM main.%2 t")
                         .arg(selectList(table, columns, given, QStringLiteral("t")), quoted(table.name));
        if (!q.exec(QStringLiteral("DROP VIEW IF EXISTS temp.%1;").arg(quoted(table.name))) ||
            !q.exec(QStringLiteral("CREATE TEMP VIEW %1 AS %2;").arg(quoted(table.name), select)))
            return failed();
    }
    return true;
}

} // namespace db::sql
