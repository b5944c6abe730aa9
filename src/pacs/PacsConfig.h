#pragma once
// The system's own DICOM identity and the PACS servers it knows, kept in the settings group "pacs".

#include <QList>
#include <QString>

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

PacsConfig loadPacsConfig();
void savePacsConfig(const PacsConfig& config);

} // namespace pacs
