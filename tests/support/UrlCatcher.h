#pragma once
// Records what the program hands to the desktop services (mail links, web pages, folders) instead
// of opening it, for as long as the catcher lives.

#include <QList>
#include <QObject>
#include <QUrl>

namespace fixtures {

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher();
    ~UrlCatcher() override;
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl& url) { urls << url; }
};

} // namespace fixtures
