#include "db/RowFileProof.h"

#include "dicom/DicomDateTime.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"

#include <QtConcurrent/QtConcurrentMap>

#include <atomic>

namespace db {

namespace {

std::atomic_int g_readAgain{0};
std::atomic_int g_listings{0};

QString fileKey(const ListedFile& file)
{
    return file.path + QLatin1Char('\n') + file.sopInstanceUid;
}

// The version looked at first: a file replaced while it is read is then another version than the
// one recorded as holding the object, and is read again at the next listing.
RowFileProof::Found readAgain(const ListedFile& file, const QString& version)
{
    ++g_readAgain;
    std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(file.path);
    if (!summary)
        return {RowFileProof::Holds::Unreadable, version, nullptr};
    const bool holds = summary->sopInstanceUid == file.sopInstanceUid
        && summary->seriesInstanceUid == file.seriesInstanceUid
        && summary->studyInstanceUid == file.studyInstanceUid;
    if (!holds)
        return {RowFileProof::Holds::Other, version, nullptr};
    return {RowFileProof::Holds::Again, version,
            std::make_shared<const dicom::DicomFileSummary>(std::move(*summary))};
}

} // namespace

QList<RowFileProof::Found> RowFileProof::check(const QList<ListedFile>& files)
{
    ++g_listings;
    QList<Found> found(files.size());
    QList<qsizetype> toRead;
    QStringList versions(files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const ListedFile& file = files.at(i);
        const dicom::FileIdentity now = dicom::fileIdentity(file.path);
        // Not there, or no plain file (a pipe, a folder): whoever opens it finds that out as before.
        if (!now.exists() || !now.regular)
            continue;
        versions[i] = now.text();
        if (!file.version.isEmpty() && versions.at(i) == file.version) {
            found[i].holds = Holds::Listed;
            continue;
        }
        // Found in this very version before (the object's for the rows to record, if they can now).
        if (const auto known = m_found.constFind(fileKey(file));
            known != m_found.constEnd() && known->version == versions.at(i))
            found[i] = *known;
        else
            toRead << i;
    }
    if (toRead.isEmpty())
        return found;
    // The calling thread reads too: a pool busy with other work delays, never stops, the listing.
    const QList<Found> read = QtConcurrent::blockingMapped<QList<Found>>(
        toRead, [&files, &versions](qsizetype i) { return readAgain(files.at(i), versions.at(i)); });
    for (qsizetype k = 0; k < toRead.size(); ++k) {
        const qsizetype i = toRead.at(k);
        found[i] = read.at(k);
        const QString key = fileKey(files.at(i));
        if (m_found.size() >= kRemembered && !m_found.contains(key))
            m_found.clear();
        m_found.insert(key, found.at(i));
    }
    return found;
}

void RowFileProof::settled(const ListedFile& file)
{
    if (const auto known = m_found.find(fileKey(file)); known != m_found.end())
        known->reading.reset();
}

int RowFileProof::filesReadAgain()
{
    return g_readAgain.load();
}

int RowFileProof::listingsChecked()
{
    return g_listings.load();
}

QString replacedFilesText(const std::optional<StudyRecord>& study, const QString& studyUid, int files)
{
    QString name = studyUid;
    if (study) {
        const QString date = dicom::dicomDateText(study->studyDate, QStringLiteral("dd.MM.yyyy"));
        name = study->patientName.isEmpty() ? QStringLiteral("(без имени)") : study->patientName;
        if (!date.isEmpty())
            name += QStringLiteral(", ") + date;
    }
    return QStringLiteral("В исследовании «%1» файлов, в которых на диске теперь не те снимки, что в списке: "
                          "%2.")
        .arg(name)
        .arg(files);
}

} // namespace db
