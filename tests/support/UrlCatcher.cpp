#include "support/UrlCatcher.h"

#include <QDesktopServices>

namespace fixtures {

namespace {
constexpr const char* Schemes[] = {"mailto", "https", "file"};
}

UrlCatcher::UrlCatcher()
{
    for (const char* scheme : Schemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
}

UrlCatcher::~UrlCatcher()
{
    for (const char* scheme : Schemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

} // namespace fixtures
