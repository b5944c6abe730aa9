#include "app/StartupProgress.h"

#include <QCoreApplication>
#include <QProgressDialog>

namespace {

// Often enough to look alive, seldom enough to cost nothing beside the work.
constexpr int kPaintEveryMs = 100;

} // namespace

StartupProgress::StartupProgress()
{
    m_clock.start();
}

StartupProgress::~StartupProgress() = default;

void StartupProgress::advance(const QString& text, int done, int total)
{
    if (!m_dialog) {
        if (m_clock.elapsed() < kShowAfterMs)
            return;
        // Not modal: a modal one would handle every pending event, requests from outside included,
        // before the study list that answers them exists.
        m_dialog = std::make_unique<QProgressDialog>();
        m_dialog->setWindowTitle(QStringLiteral("Kalvenor"));
        m_dialog->setCancelButton(nullptr);
        m_dialog->setMinimumDuration(0);
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->setMinimumWidth(420);
        m_dialog->show();
    } else if (m_sincePaint.isValid() && m_sincePaint.elapsed() < kPaintEveryMs) {
        return;
    }
    m_dialog->setRange(0, total > 0 ? total : 0);
    m_dialog->setValue(total > 0 ? qBound(0, done, total) : 0);
    m_dialog->setLabelText(text);
    // Only what paints the window: input waits for the study list, connections from outside too.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
    m_sincePaint.start();
}
