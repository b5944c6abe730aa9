#include "dialogs/DicomTagEditorDialog.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/ContentDigest.h"
#include "platform/OwnFileDoor.h"

#include <QBrush>
#include <QColor>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

enum Column { GroupColumn, ElementColumn, VrColumn, NameColumn, ValueColumn };

constexpr quint16 MetaGroup = 0x0002;

// Which files of the study an edited element belongs in: the patient's and the study's elements are
// the same in every file of the study, a series' in every file of that series, everything else is the
// image's own.
enum class Level { Study, Series, Image };

Level levelOf(quint16 group, quint16 element)
{
    constexpr auto tag = [](quint16 g, quint16 e) { return quint32(g) << 16 | e; };
    static const QSet<quint32> studyTags{
        tag(0x0008, 0x0020), tag(0x0008, 0x0030), tag(0x0008, 0x0050), tag(0x0008, 0x0090),
        tag(0x0008, 0x1030), tag(0x0008, 0x1048), tag(0x0008, 0x1060), tag(0x0008, 0x1080),
        tag(0x0020, 0x000D), tag(0x0020, 0x0010), tag(0x0038, 0x0010), tag(0x0038, 0x0500)};
    static const QSet<quint32> seriesTags{
        tag(0x0008, 0x0021), tag(0x0008, 0x0031), tag(0x0008, 0x0060), tag(0x0008, 0x0070),
        tag(0x0008, 0x0080), tag(0x0008, 0x0081), tag(0x0008, 0x1010), tag(0x0008, 0x103E),
        tag(0x0008, 0x1040), tag(0x0008, 0x1050), tag(0x0008, 0x1070), tag(0x0008, 0x1090),
        tag(0x0018, 0x0015), tag(0x0018, 0x1000), tag(0x0018, 0x1020), tag(0x0018, 0x1030),
        tag(0x0018, 0x5100), tag(0x0020, 0x000E), tag(0x0020, 0x0011), tag(0x0020, 0x0052),
        tag(0x0020, 0x0060), tag(0x0020, 0x1040), tag(0x0040, 0x0244), tag(0x0040, 0x0245),
        tag(0x0040, 0x0253), tag(0x0040, 0x0254)};
    // Groups 0010 (patient) and 0032 (study requests) hold nothing image-specific.
    if (group == 0x0010 || group == 0x0032 || studyTags.contains(tag(group, element)))
        return Level::Study;
    return seriesTags.contains(tag(group, element)) ? Level::Series : Level::Image;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')).toUpper();
}

QTableWidgetItem* readOnlyItem(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

} // namespace

bool DicomTagEditorDialog::isEditableVr(const QString& vr)
{
    static const QSet<QString> editable{
        QStringLiteral("PN"), QStringLiteral("LO"), QStringLiteral("SH"), QStringLiteral("ST"), QStringLiteral("LT"),
        QStringLiteral("UT"), QStringLiteral("DA"), QStringLiteral("TM"), QStringLiteral("DT"), QStringLiteral("UI"),
        QStringLiteral("CS"), QStringLiteral("AS"), QStringLiteral("IS"), QStringLiteral("DS")};
    return editable.contains(vr);
}

DicomTagEditorDialog::DicomTagEditorDialog(const QString& filePath, QWidget* parent,
                                           const QStringList& studyFiles, db::Database* db,
                                           const dicom::RowObject& shown)
    : QDialog(parent), m_filePath(filePath), m_shown(shown), m_studyFiles(studyFiles), m_db(db)
{
    setWindowTitle(QStringLiteral("DICOM-теги — %1").arg(QFileInfo(filePath).fileName()));
    resize(820, 640);

    auto* layout = new QVBoxLayout(this);
    auto* fileLabel = new QLabel(QStringLiteral("Файл: %1").arg(filePath), this);
    fileLabel->setWordWrap(true);
    fileLabel->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(fileLabel);

    auto* warning = new QLabel(
        QStringLiteral("⚠ Редактирование значений сохраняется НЕПОСРЕДСТВЕННО в файл и необратимо (перезаписывает "
                       "исходник). Редактируются только текстовые поля (имена, описания, даты, ID и т.п.) — "
                       "числовые/бинарные/служебные теги показаны серым и доступны только для просмотра, чтобы "
                       "случайно не повредить файл."),
        this);
    warning->setWordWrap(true);
    warning->setStyleSheet(QStringLiteral("color: #cc8800; font-weight: bold;"));
    layout->addWidget(warning);

    m_table = new QTableWidget(0, 5, this);
    m_table->setObjectName(QStringLiteral("tagTable"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Группа"), QStringLiteral("Элемент"), QStringLiteral("VR"),
                                        QStringLiteral("Имя тега"), QStringLiteral("Значение")});
    m_table->horizontalHeader()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(ValueColumn, QHeaderView::Stretch);
    m_table->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSortingEnabled(false);
    layout->addWidget(m_table, 1);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setStyleSheet(QStringLiteral("color: #999;"));
    layout->addWidget(m_statusLabel);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* save = new QPushButton(QStringLiteral("Сохранить изменения"), this);
    save->setObjectName(QStringLiteral("saveButton"));
    const int count = std::max<int>(1, static_cast<int>(m_studyFiles.size()));
    save->setToolTip(count < 2 ? QStringLiteral("Изменённые значения будут записаны в этот файл.")
                               : QStringLiteral("Значения пациента и исследования будут записаны во ВСЕ %1 "
                                                "снимков текущего исследования, значения серии — в снимки этой "
                                                "серии, остальные — только в этот файл.")
                                     .arg(count));
    connect(save, &QPushButton::clicked, this, &DicomTagEditorDialog::saveChanges);
    buttons->addWidget(save);
    auto* close = new QPushButton(QStringLiteral("Закрыть"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    loadTags();
}

void DicomTagEditorDialog::loadTags()
{
    QString error;
    const QList<dicom::TagEntry> entries = dicom::readTagList(m_filePath, &error, m_shown);
    if (entries.isEmpty() && !error.isEmpty()) {
        QMessageBox::critical(this, QStringLiteral("Ошибка"), error);
        return;
    }

    m_table->setRowCount(static_cast<int>(entries.size()));
    m_loadedValues.clear();
    m_loadedValues.reserve(entries.size());
    for (int row = 0; row < entries.size(); ++row) {
        const dicom::TagEntry& entry = entries.at(row);
        m_loadedValues.append(entry.value);
        m_table->setItem(row, GroupColumn, readOnlyItem(hex4(entry.group)));
        m_table->setItem(row, ElementColumn, readOnlyItem(hex4(entry.element)));
        m_table->setItem(row, VrColumn, readOnlyItem(entry.vr));
        m_table->setItem(row, NameColumn, readOnlyItem(entry.name));

        auto* value = new QTableWidgetItem(entry.value);
        if (entry.group == MetaGroup) {
            value->setFlags(value->flags() & ~Qt::ItemIsEditable);
            value->setToolTip(QStringLiteral("Служебный тег файла (группа 0002) — не редактируется"));
        } else if (!isEditableVr(entry.vr)) {
            value->setFlags(value->flags() & ~Qt::ItemIsEditable);
            value->setToolTip(QStringLiteral("Этот VR (%1) не редактируется — риск повредить файл").arg(entry.vr));
        }
        if (!(value->flags() & Qt::ItemIsEditable)) {
            value->setBackground(QBrush(QColor(45, 45, 48, 255), Qt::SolidPattern));
            // Grey text stays readable on the dark cell in the light theme too.
            value->setForeground(QColor(170, 170, 170));
        }
        m_table->setItem(row, ValueColumn, value);
    }
    m_statusLabel->setText(QStringLiteral("Всего тегов: %1").arg(entries.size()));
}

QList<dicom::TagEntry> DicomTagEditorDialog::collectEdits() const
{
    QList<dicom::TagEntry> edits;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const auto text = [this, row](int column) {
            const QTableWidgetItem* item = m_table->item(row, column);
            return item ? item->text() : QString();
        };
        const QString value = text(ValueColumn);
        const QString vr = text(VrColumn);
        const quint16 group = static_cast<quint16>(text(GroupColumn).toUInt(nullptr, 16));
        if (!isEditableVr(vr) || group == MetaGroup)
            continue;
        if (row < m_loadedValues.size() && value == m_loadedValues.at(row))
            continue;
        dicom::TagEntry entry;
        entry.group = group;
        entry.element = static_cast<quint16>(text(ElementColumn).toUInt(nullptr, 16));
        entry.vr = vr;
        entry.name = text(NameColumn);
        entry.value = value;
        edits.append(entry);
    }
    return edits;
}

QList<DicomTagEditorDialog::Target> DicomTagEditorDialog::targetsFor(const QList<dicom::TagEntry>& edits,
                                                                      const QStringList& studyFiles) const
{
    const auto shown = dicom::readFileSummary(m_filePath);
    const QString shownSeries = shown ? shown->seriesInstanceUid : QString();
    QList<Target> targets;
    for (const QString& path : studyFiles) {
        Target target{path, {}, path == m_filePath ? shown : dicom::readFileSummary(path)};
        const bool sameSeries =
            path == m_filePath || (target.before && target.before->seriesInstanceUid == shownSeries);
        for (const dicom::TagEntry& edit : edits) {
            const Level level = levelOf(edit.group, edit.element);
            if (level == Level::Study || (level == Level::Series && sameSeries) || path == m_filePath)
                target.edits << edit;
        }
        if (!target.edits.isEmpty())
            targets << target;
    }
    return targets;
}

bool DicomTagEditorDialog::holdsListedObject(const Target& target) const
{
    // Without an index, or a file that does not read, there is nothing to compare: the write finds out.
    if (!m_db || !target.before)
        return true;
    const std::optional<db::IndexedFile> listed = m_db->objectFile(target.before->sopInstanceUid);
    return listed && (listed->filePath == target.path || platform::isSameFile(listed->filePath, target.path));
}

void DicomTagEditorDialog::saveChanges()
{
    const QList<dicom::TagEntry> edits = collectEdits();
    if (edits.isEmpty()) {
        QMessageBox::information(
            this, QStringLiteral("Нет изменений"),
            QStringLiteral("Ни одно значение не отличается от исходного — сохранять нечего.\n\nЕсли вы уже меняли это "
                           "поле раньше и сохраняли — возможно, текущее значение уже совпадает с тем, что вы хотите "
                           "указать."));
        return;
    }

    // A multi-frame file is listed once per frame; it is still one file to write.
    QStringList studyFiles = m_studyFiles.isEmpty() ? QStringList{m_filePath} : m_studyFiles;
    studyFiles.removeDuplicates();
    QList<Target> targets = targetsFor(edits, studyFiles);
    if (targets.isEmpty()) // the image's own values, and the shown file is not among the study's
        targets = targetsFor(edits, {m_filePath});
    const bool wholeStudy = targets.size() == studyFiles.size()
        && std::all_of(targets.cbegin(), targets.cend(),
                       [&edits](const Target& t) { return t.edits.size() == edits.size(); });

    QString question;
    if (targets.size() < 2)
        question = QStringLiteral("Файл будет перезаписан с новыми значениями тегов (%1 шт.). Это "
                                  "необратимо. Продолжить?")
                       .arg(edits.size());
    else if (wholeStudy)
        question = QStringLiteral("Эти же %1 изменённых значений тегов будут записаны во ВСЕ %2 файлов текущего "
                                  "исследования. Это необратимо. Продолжить?")
                       .arg(edits.size())
                       .arg(targets.size());
    else
        question = QStringLiteral("Изменённые значения тегов (%1 шт.) будут записаны в %2 файлов: значения "
                                  "пациента и исследования — во все файлы исследования, значения серии — в "
                                  "файлы этой серии, остальные — только в этот файл. Это необратимо. "
                                  "Продолжить?")
                       .arg(edits.size())
                       .arg(targets.size());
    if (QMessageBox::warning(this, QStringLiteral("Сохранить изменения?"), question,
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;

    // Until the last file is written the study's files hold old and new values side by side, while
    // the list already shows the new ones: a kill in between is named at the next start.
    QStringList editedStudies;
    for (const Target& target : targets)
        if (target.before && !editedStudies.contains(target.before->studyInstanceUid))
            editedStudies << target.before->studyInstanceUid;
    if (m_db)
        for (const QString& uid : std::as_const(editedStudies))
            m_db->markEditUnfinished(uid);

    int written = 0;
    QStringList failures;
    QStringList indexFailures; // written, but the list and the viewers still show the old values
    for (const Target& target : targets) {
        QString error;
        if (!holdsListedObject(target)) {
            failures << QStringLiteral("%1: в файле теперь другой снимок, чем в списке исследований, — "
                                       "файл не изменён")
                            .arg(QFileInfo(target.path).fileName());
            continue;
        }
        // The object the file was found to hold is the one written: another copied over it meanwhile is not.
        const dicom::RowObject held{target.before ? target.before->sopInstanceUid : QString(), {}};
        if (!dicom::writeTagValues(target.path, target.edits, &error, held)) {
            failures << QStringLiteral("%1: %2").arg(QFileInfo(target.path).fileName(), error);
            continue;
        }
        ++written;
        if (m_db) {
            // The rows follow an edited UID or patient ID instead of staying behind under the old one;
            // an edited copy of the program's is known by the bytes just written.
            auto summary = dicom::readFileSummary(target.path);
            if (summary)
                summary->contentDigest = platform::ContentDigest::of(target.path);
            const bool indexed = summary && (target.before ? m_db->reindexEditedFile(*target.before, *summary)
                                                           : m_db->indexFile(*summary));
            if (!indexed)
                indexFailures << QStringLiteral("%1: %2").arg(
                    QFileInfo(target.path).fileName(),
                    summary ? m_db->lastError() : QStringLiteral("файл не читается после записи"));
        }
    }
    if (m_db)
        for (const QString& uid : std::as_const(editedStudies))
            m_db->clearEditUnfinished(uid);
    if (written > 0)
        emit tagsChanged();

    if (!indexFailures.isEmpty()) {
        m_statusLabel->setText(QStringLiteral("Изменения записаны в файлы, но база исследований не обновлена "
                                              "для %1 из них.")
                                   .arg(indexFailures.size()));
        QMessageBox::warning(this, QStringLiteral("База не обновлена"),
                             QStringLiteral("Изменения записаны в файлы, но локальная база исследований не "
                                            "приняла %1 из них: список и окна просмотра покажут прежние "
                                            "значения.\n\n%2")
                                 .arg(indexFailures.size())
                                 .arg(indexFailures.join(QLatin1Char('\n'))));
    }
    if (!failures.isEmpty()) {
        m_statusLabel->setText(QStringLiteral("Применено к %1 из %2 файлов — %3 с ошибкой.")
                                   .arg(written)
                                   .arg(targets.size())
                                   .arg(failures.size()));
        QMessageBox::warning(this, QStringLiteral("Есть ошибки"),
                             QStringLiteral("Не удалось применить к %1 файлам:\n\n%2")
                                 .arg(failures.size())
                                 .arg(failures.join(QLatin1Char('\n'))));
    } else if (indexFailures.isEmpty()) {
        const QString done =
            targets.size() < 2 ? QStringLiteral("Изменения записаны.")
            : wholeStudy       ? QStringLiteral("Изменения записаны во все %1 файлов исследования.").arg(written)
                               : QStringLiteral("Изменения записаны в %1 файлов.").arg(written);
        m_statusLabel->setText(done);
        QMessageBox::information(this, QStringLiteral("Готово"), done);
    }
    loadTags();
}
