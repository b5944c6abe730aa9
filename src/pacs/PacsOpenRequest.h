#pragma once
// A request to open a study from a PACS server: from a launch URL, the loopback HTTP server, or a
// second copy of the program that forwarded its own request.

#include <QMetaType>
#include <QString>

namespace pacs {

struct PacsOpenRequest
{
    QString studyInstanceUid;
    QString serverHost;
    int serverPort = 104;
    QString serverAeTitle;
};

} // namespace pacs

Q_DECLARE_METATYPE(pacs::PacsOpenRequest)
