#pragma once

#include "render/CtaSubtraction.h"

#include <QMainWindow>
#include <QPointer>

class CtaSubtractionBuildWorker;
class QThread;

// A small progress window that builds the CT angiography subtraction volume (post-contrast minus
// native) on a worker thread, opens a 3D volume window on it and closes itself.
class CtaSubtractionWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The parent (the viewer) also becomes the parent of the 3D window, which outlives this one.
    CtaSubtractionWindow(const render::CtaSubtractionPair& pair, QWidget* parent);
    ~CtaSubtractionWindow() override;

    // The title the 3D window gets after its "3D VRT — " prefix.
    static QString resultTitle(const render::CtaSubtractionPair& pair);

private:
    void onSubtractionBuilt();

    QPointer<QWidget> m_resultParent;
    QString m_resultTitle;
    QThread* m_thread = nullptr;
    CtaSubtractionBuildWorker* m_worker = nullptr;
};
