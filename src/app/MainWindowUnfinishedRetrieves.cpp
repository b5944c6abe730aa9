#include "app/MainWindow.h"

#include "db/Database.h"
#include "dicom/DicomDateTime.h"
#include "pacs/UnfinishedRetrieves.h"

#include <QLabel>
#include <QSet>

void MainWindow::reportUnfinishedRetrieves()
{
    // No retrieve runs yet: every half-received object belongs to a retrieve of an earlier run.
    pacs::removeStaleReceiveFiles();
    const QStringList marked = pacs::unfinishedRetrieves();
    if (marked.isEmpty() || !m_db)
        return;
    const QSet<QString> markedSet(marked.begin(), marked.end());
    QStringList names;
    QSet<QString> listed;
    for (const db::StudyRecord& study : m_db->allStudies()) {
        if (!markedSet.contains(study.studyInstanceUid))
            continue;
        listed.insert(study.studyInstanceUid);
        const QString date = dicom::dicomDateText(study.studyDate, QStringLiteral("dd.MM.yyyy"));
        const QString name = study.patientName.isEmpty() ? study.studyInstanceUid : study.patientName;
        names << (date.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, date));
    }
    // A mark without rows names nothing that could be opened: a new request retrieves it whole anyway.
    for (const QString& uid : marked)
        if (!listed.contains(uid))
            pacs::clearRetrieveUnfinished(uid);
    if (names.isEmpty())
        return;
    const QString text = QStringLiteral("Прерванные загрузки с PACS: %1 — при следующем открытии эти исследования "
                                        "будут загружены заново.")
                             .arg(names.join(QStringLiteral(", ")));
    // The start-up clean-up may have reported before: both stay readable.
    const QString before = m_statusLabel->text();
    const bool cleanupSaid = before.startsWith(QStringLiteral("Автоочистка"));
    m_statusLabel->setText(cleanupSaid ? before + QStringLiteral("; ") + text : text);
}
