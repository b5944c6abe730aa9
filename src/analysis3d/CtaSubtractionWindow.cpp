#include "analysis3d/CtaSubtractionWindow.h"

#include "analysis3d/CtaSubtractionBuildWorker.h"
#include "analysis3d/Vrt3DWindow.h"
#include "dialogs/WaitingBox.h"

#include <QLabel>
#include <QMessageBox>
#include <QThread>
#include <QVBoxLayout>

CtaSubtractionWindow::CtaSubtractionWindow(const render::CtaSubtractionPair& pair, QWidget* parent)
    : QMainWindow(parent)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Субтракция КТ-ангиографии"));
    resize(480, 260);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* label = new QLabel(QStringLiteral("Строится объём субтракции…\n(%1) минус (%2)")
                                 .arg(pair.contrastLabel, pair.nativeLabel),
                             central);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() + 2);
    label->setFont(font);
    layout->addWidget(label);
    central->setStyleSheet(QStringLiteral("background-color: black; color: #cccccc;"));
    setCentralWidget(central);

    m_resultTitle = resultTitle(pair);
    m_resultParent = parent;

    m_thread = new QThread(this);
    m_worker = new CtaSubtractionBuildWorker(pair);
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::started, m_worker, &CtaSubtractionBuildWorker::run);
    connect(m_worker, &CtaSubtractionBuildWorker::finished, this, &CtaSubtractionWindow::onSubtractionBuilt,
            Qt::QueuedConnection);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start(QThread::InheritPriority);
}

CtaSubtractionWindow::~CtaSubtractionWindow()
{
    if (m_thread) {
        // Closed while building: the build finishes on its own and its result is dropped; the thread
        // leaves the window, quits right after the worker's run and then deletes itself and the worker.
        disconnect(m_worker, nullptr, this, nullptr);
        m_thread->setParent(nullptr);
        m_thread->quit();
    }
}

QString CtaSubtractionWindow::resultTitle(const render::CtaSubtractionPair& pair)
{
    return pair.orderIsApproximate
               ? QStringLiteral("Субтракция КТ-ангиографии — %1 минус %2 (порядок фаз определён приблизительно)")
                     .arg(pair.contrastLabel, pair.nativeLabel)
               : QStringLiteral("Субтракция КТ-ангиографии — %1 минус %2").arg(pair.contrastLabel, pair.nativeLabel);
}

void CtaSubtractionWindow::onSubtractionBuilt()
{
    CtaSubtractionBuildWorker* worker = m_worker;
    QThread* thread = m_thread;
    m_worker = nullptr;
    m_thread = nullptr;
    render::Volume volume = std::move(worker->volume);
    worker->volume.voxels = {};
    const QString error = worker->errorMessage;
    // The worker has returned from its run: the thread ends at once. Waiting for it keeps the window,
    // deleted on close just below, from destroying a thread that is still running.
    thread->quit();
    thread->wait();

    if (volume.isEmpty()) {
        // This window closes below and its worker goes as its thread ends: the box does not wait
        // inside them.
        showWaitingBox(m_resultParent, QMessageBox::Warning, QStringLiteral("Субтракция КТ-ангиографии"),
                       QStringLiteral("Не удалось построить разностный объём:\n%1")
                           .arg(error.isEmpty() ? QStringLiteral("неизвестная ошибка") : error));
    } else {
        // Beside the built volume the text holds the builds' warnings (a tilted or slid stack, uneven steps).
        auto* window = new Vrt3DWindow(std::move(volume), m_resultTitle, m_resultParent, 0.0, 0.0,
                                       QStringLiteral("Сосуды (контраст)"), QString(), error);
        window->show();
    }
    close();
}
