#include "dialogs/StudyPickerDialog.h"

#include "db/Database.h"
#include "db/StudyRecord.h"
#include "dicom/DicomDateTime.h"

#include <QDate>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

QString orPlaceholder(const QString& text, const QString& placeholder)
{
    return text.isEmpty() ? placeholder : text;
}

} // namespace

StudyPickerDialog::StudyPickerDialog(db::Database* db, const QString& excludedStudyUid, QWidget* parent)
    : QDialog(parent)
    , m_db(db)
    , m_excludedStudyUid(excludedStudyUid)
{
    setWindowTitle(QStringLiteral("Выбрать исследование для сравнения"));
    resize(700, 500);

    auto* layout = new QVBoxLayout(this);

    auto* hint = new QLabel(QStringLiteral("Автоматический поиск по ID пациента ничего не нашёл (или вы хотите "
                                           "сравнить с чем-то другим) — выберите исследование из всего локального "
                                           "архива вручную."),
                            this);
    hint->setWordWrap(true);
    hint->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(hint);

    m_filterEdit = new QLineEdit(this);
    m_filterEdit->setPlaceholderText(QStringLiteral("Фильтр: ФИО, ID пациента или описание исследования…"));
    layout->addWidget(m_filterEdit);
    connect(m_filterEdit, &QLineEdit::textChanged, this, &StudyPickerDialog::fillTable);

    m_table = new QTableWidget(0, 5, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("Пациент"), QStringLiteral("ID"), QStringLiteral("Дата"),
                                        QStringLiteral("Описание"), QStringLiteral("Модальности")});
    m_table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this] { acceptSelection(); });
    layout->addWidget(m_table);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* open = new QPushButton(QStringLiteral("Открыть рядом"), this);
    open->setDefault(true);
    connect(open, &QPushButton::clicked, this, &StudyPickerDialog::acceptSelection);
    buttons->addWidget(open);
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    fillTable(QString());
    m_filterEdit->setFocus();
}

void StudyPickerDialog::fillTable(const QString& filter)
{
    m_table->setRowCount(0);
    if (!m_db)
        return;
    const QString f = filter.trimmed().toLower();
    for (const db::StudyRecord& study : m_db->allStudies()) {
        if (study.studyInstanceUid == m_excludedStudyUid)
            continue;
        if (!f.isEmpty() && !study.patientName.toLower().contains(f) && !study.patientId.toLower().contains(f)
            && !study.studyDescription.toLower().contains(f))
            continue;
        const int row = m_table->rowCount();
        m_table->insertRow(row);
        auto* name = new QTableWidgetItem(orPlaceholder(study.patientName, QStringLiteral("(без имени)")));
        name->setData(Qt::UserRole, study.studyInstanceUid);
        m_table->setItem(row, 0, name);
        m_table->setItem(row, 1, new QTableWidgetItem(study.patientId));
        m_table->setItem(row, 2, new QTableWidgetItem(dicom::dicomDateText(study.studyDate, QStringLiteral("dd.MM.yyyy"))));
        m_table->setItem(row, 3,
                         new QTableWidgetItem(orPlaceholder(study.studyDescription, QStringLiteral("(без описания)"))));
        m_table->setItem(row, 4, new QTableWidgetItem(study.modalities));
    }
}

void StudyPickerDialog::acceptSelection()
{
    const QList<QTableWidgetSelectionRange> ranges = m_table->selectedRanges();
    if (ranges.isEmpty())
        return;
    const QTableWidgetItem* item = m_table->item(ranges.first().topRow(), 0);
    if (!item)
        return;
    m_selectedStudyUid = item->data(Qt::UserRole).toString();
    accept();
}
