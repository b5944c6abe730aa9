#include "dialogs/VendorSite.h"

#ifndef KALVENOR_VENDOR_ORIGIN
#define KALVENOR_VENDOR_ORIGIN "https://kalvenor.example"
#endif
#ifndef KALVENOR_SUPPORT_EMAIL
#define KALVENOR_SUPPORT_EMAIL "support@kalvenor.example"
#endif

QString applicationVersionText()
{
    return QStringLiteral("0.5.6");
}

QString vendorOrigin()
{
    return QStringLiteral(KALVENOR_VENDOR_ORIGIN);
}

QString supportEmailAddress()
{
    return QStringLiteral(KALVENOR_SUPPORT_EMAIL);
}

QUrl updateFileUrl()
{
    const char* overrideName = "KALVENOR_UPDATE_URL";
    const QUrl url = qEnvironmentVariableIsSet(overrideName)
                         ? QUrl(qEnvironmentVariable(overrideName))
                         : QUrl(vendorOrigin() + QStringLiteral("/version.json"));
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return {};
    return url;
}

bool isVendorPageUrl(const QUrl& url)
{
    const QUrl origin(vendorOrigin());
    return url.isValid() && url.scheme() == QLatin1String("https") && url.userInfo().isEmpty()
        && url.host().compare(origin.host(), Qt::CaseInsensitive) == 0 && url.port(443) == origin.port(443);
}
