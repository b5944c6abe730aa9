#include "app/ExternalRequestNotices.h"

#include <QMessageBox>

#include <utility>

ExternalRequestNotices::ExternalRequestNotices(QObject* parent)
    : QObject(parent)
{
}

ExternalRequestNotices::~ExternalRequestNotices()
{
    if (m_box) {
        disconnect(m_box, nullptr, this, nullptr);
        delete m_box;
    }
}

bool ExternalRequestNotices::busy() const
{
    return m_box || m_reserved;
}

bool ExternalRequestNotices::reserve()
{
    if (busy())
        return false;
    m_reserved = true;
    return true;
}

void ExternalRequestNotices::release()
{
    m_reserved = false;
}

void ExternalRequestNotices::warn(const QString& text)
{
    post(Notice{text, {}, false});
}

void ExternalRequestNotices::ask(const QString& question, std::function<void()> onYes)
{
    post(Notice{question, std::move(onYes), true});
}

void ExternalRequestNotices::post(Notice notice)
{
    m_reserved = false;
    if (m_box) {
        if (notice.sameAs(m_shown))
            return;
        for (const Notice& waiting : std::as_const(m_waiting)) {
            if (notice.sameAs(waiting))
                return;
        }
        if (m_waiting.size() < kMaxWaiting)
            m_waiting.append(std::move(notice));
        else
            qWarning("External request notice dropped, %d are waiting already: %s", kMaxWaiting,
                     qPrintable(notice.text.left(200)));
        return;
    }
    m_shown = std::move(notice);
    showNext();
}

void ExternalRequestNotices::showNext()
{
    // Shown without exec(): requests and arriving files are served while the user reads.
    auto* box = m_shown.question
        ? new QMessageBox(QMessageBox::Question, QStringLiteral("Kalvenor"), m_shown.text,
                          QMessageBox::Yes | QMessageBox::No)
        : new QMessageBox(QMessageBox::Warning, QStringLiteral("Kalvenor"), m_shown.text);
    if (m_shown.question)
        box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    m_box = box;
    connect(box, &QMessageBox::finished, this, [this, box] {
        const bool yes = box->standardButton(box->clickedButton()) == QMessageBox::Yes;
        const Notice answered = std::exchange(m_shown, Notice{});
        m_box = nullptr;
        if (answered.question && yes && answered.onYes)
            answered.onYes();
        if (!m_box && !m_waiting.isEmpty()) {
            m_shown = m_waiting.takeFirst();
            showNext();
        }
    });
    box->show();
}
