#include "app/ExternalRequestNotices.h"

#include <QMessageBox>
#include <QTimer>

#include <algorithm>
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
    delete m_notice;
}

void ExternalRequestNotices::showNotice(const QString& text)
{
    if (m_notice) {
        m_notice->setText(text);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Kalvenor"), text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    m_notice = box;
    box->show();
}

void ExternalRequestNotices::endNotice()
{
    if (m_notice)
        m_notice->close();
}

bool ExternalRequestNotices::busy() const
{
    return m_box || m_reserved;
}

bool ExternalRequestNotices::lineFull() const
{
    return m_box && m_waiting.size() >= kMaxWaiting;
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
    // The promised box was not needed after all: what was turned away for it is told on its own.
    if (!m_box && m_notTaken > 0) {
        const QString text = notTakenText();
        m_notTaken = 0;
        m_notTakenUids.clear();
        warn(text);
    }
}

void ExternalRequestNotices::notTaken(const QString& studyUid)
{
    ++m_notTaken;
    // Only a UID's own characters are shown: the text comes from any local program.
    const bool plainUid = !studyUid.isEmpty() && studyUid.size() <= 64
        && std::all_of(studyUid.cbegin(), studyUid.cend(), [](QChar c) { return c.isDigit() || c == u'.'; });
    if (plainUid && m_notTakenUids.size() < kNamedNotTaken && !m_notTakenUids.contains(studyUid))
        m_notTakenUids.append(studyUid);
    // Once per turn of the event loop, however many a flood brings in it.
    if (m_box && !m_notTakenShowing) {
        m_notTakenShowing = true;
        QTimer::singleShot(0, this, [this] {
            m_notTakenShowing = false;
            if (m_box && m_notTaken > 0)
                m_box->setInformativeText(notTakenText());
        });
    }
}

QString ExternalRequestNotices::notTakenText() const
{
    QString named = m_notTakenUids.join(QStringLiteral(", "));
    if (m_notTaken > m_notTakenUids.size() && !named.isEmpty())
        named += QStringLiteral(", …");
    if (m_notTaken == 1)
        return QStringLiteral("Пока программа была занята другим запросом, она не приняла запрос на открытие "
                              "исследования%1 — откройте его снова.")
            .arg(named.isEmpty() ? QString() : QLatin1Char(' ') + named);
    return QStringLiteral("Пока программа была занята другим запросом, она не приняла запросов на открытие "
                          "исследований: %1%2 — откройте их снова.")
        .arg(m_notTaken)
        .arg(named.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(named));
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
    if (m_notTaken > 0)
        box->setInformativeText(notTakenText());
    m_box = box;
    connect(box, &QMessageBox::finished, this, [this, box] {
        const bool yes = box->standardButton(box->clickedButton()) == QMessageBox::Yes;
        const Notice answered = std::exchange(m_shown, Notice{});
        m_box = nullptr;
        // Read with this box.
        m_notTaken = 0;
        m_notTakenUids.clear();
        if (answered.question && yes && answered.onYes)
            answered.onYes();
        if (!m_box && !m_waiting.isEmpty()) {
            m_shown = m_waiting.takeFirst();
            showNext();
        }
    });
    box->show();
}
