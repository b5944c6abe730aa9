#pragma once
// The system's own DICOM identity and the PACS servers it knows, kept in the settings group "pacs".

#include <QList>
#include <QString>
#include <QStringList>

namespace pacs {

struct PacsServer
{
    QString host;
    int port = 104;
    QString aeTitle;
    QString description;
    int retrieveMode = 0; // 1 = C-GET, 0 = C-MOVE

    bool operator==(const PacsServer&) const = default;
};

struct PacsConfig
{
    int localPort = 11112;
    QString localAeTitle = QStringLiteral("VAVOVIVIRUR");
    QString moveDestinationAeTitle; // empty: localAeTitle
    QList<PacsServer> servers;

    bool operator==(const PacsConfig&) const = default;
};

// A stored title that no peer would accept (empty, all blanks, not ASCII: written by an earlier
// version) never goes on the wire: the own title falls back to the default, the C-MOVE destination to
// the own title; a server keeps its title for the settings to correct. notices receives one Russian
// line per such title, also written to the log.
PacsConfig loadPacsConfig(QStringList* notices = nullptr);
void savePacsConfig(const PacsConfig& config);

} // namespace pacs
