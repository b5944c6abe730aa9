#pragma once
// Launch URLs of the form kalvenor://open?study=S&host=H&port=P&aet=A, which a web page hands to the
// program through the operating system's command line.

#include "pacs/PacsOpenRequest.h"

#include <QString>
#include <QStringList>

#include <optional>

// A request when `argument` is a valid launch URL (it names a study), else nothing.
std::optional<pacs::PacsOpenRequest> parseLaunchUrl(const QString& argument);

// The first argument that parses; `arguments` excludes the program's own name.
std::optional<pacs::PacsOpenRequest> firstLaunchRequest(const QStringList& arguments);
