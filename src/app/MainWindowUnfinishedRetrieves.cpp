#include "app/MainWindow.h"

#include "db/Database.h"
#include "dicom/DicomDateTime.h"
#include "pacs/UnfinishedRetrieves.h"

#include <QLabel>
#include <QSet>

namespace {

// "name (dd.MM.yyyy)" of each listed study among the marked ones (among those of them named, when
// given), oldest study first; listed gets the marked UIDs found.
QStringList namesOfMarked(db::Database* index, const QStringList& marked, QSet<QString>* listed,
                          const QSet<QString>* named = nullptr)
{
    const QSet<QString> markedSet(marked.begin(), marked.end());
    QStringList names;
    for (const db::StudyRecord& study : index->allStudies()) {
        if (!markedSet.contains(study.studyInstanceUid))
            continue;
        listed->insert(study.studyInstanceUid);
        if (named && !named->contains(study.studyInstanceUid))
            continue;
        const QString date = dicom::dicomDateText(study.studyDate, QStringLiteral("dd.MM.yyyy"));
        const QString name = study.patientName.isEmpty() ? study.studyInstanceUid : study.patientName;
        names << (date.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, date));
    }
    return names;
}

} // namespace

void MainWindow::reportUnfinishedRetrieves()
{
    // No retrieve runs yet: every half-received object of the view-only folders belongs to a retrieve
    // of an earlier run. Those in the store go with its sweep.
    pacs::removeStaleReceiveFiles();
    const QStringList marked = pacs::unfinishedRetrieves();
    if (marked.isEmpty() || !m_db)
        return;
    // One that ended told the user then how it ended, and is still fetched again when next asked for.
    QSet<QString> cut;
    for (const QString& uid : marked)
        if (pacs::isRetrieveCut(uid))
            cut.insert(uid);
    QSet<QString> listed;
    const QStringList names = namesOfMarked(m_db, marked, &listed, &cut);
    // A mark without rows names nothing that could be opened: a new request retrieves it whole anyway.
    for (const QString& uid : marked)
        if (!listed.contains(uid))
            pacs::clearRetrieveUnfinished(uid);
    if (names.isEmpty())
        return;
    addStartupNote(QStringLiteral("Прерванные загрузки с PACS: %1 — при следующем открытии эти исследования "
                                  "будут загружены заново.")
                       .arg(names.join(QStringLiteral(", "))));
}

void MainWindow::reportUnfinishedEdits()
{
    const QStringList marked = m_db->unfinishedEdits();
    if (marked.isEmpty())
        return;
    QSet<QString> listed;
    const QStringList names = namesOfMarked(m_db, marked, &listed);
    // A study that is gone shows no mixed values any more.
    for (const QString& uid : marked)
        if (!listed.contains(uid))
            m_db->clearEditUnfinished(uid);
    if (names.isEmpty())
        return;
    addStartupNote(QStringLiteral("Изменение тегов прервано: %1 — часть файлов исследования осталась с прежними "
                                  "значениями, список может показывать новые. Повторите изменение.")
                       .arg(names.join(QStringLiteral(", "))));
}
