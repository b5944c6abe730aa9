#pragma once

#include "db/InstanceRecord.h"
#include "render/CtaSubtraction.h"
#include "render/Volume.h"

#include <QList>
#include <QObject>
#include <QString>

// Builds the post-contrast minus native volume off the GUI thread. Lives on its own thread without a
// parent; the window reads volume and errorMessage only after `finished` has arrived.
class CtaSubtractionBuildWorker : public QObject
{
    Q_OBJECT

public:
    explicit CtaSubtractionBuildWorker(const render::CtaSubtractionPair& pair);

    QList<db::InstanceRecord> nativeInstances;
    QList<db::InstanceRecord> contrastInstances;
    QString nativeLabel;
    QString contrastLabel;
    qint32 orderApproximate = 0;
    QString pairError;
    render::Volume volume;
    QString errorMessage;

signals:
    void finished();

public slots:
    void run();
};
