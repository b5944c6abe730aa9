#pragma once
// What requests from outside (web pages, launch URLs, second copies) have to tell or ask the user,
// shown one box at a time. Any local program may send such requests as fast as it likes: none of
// them may stack a second box or wait for the user inside an event loop of its own.

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class ExternalRequestNotices : public QObject
{
    Q_OBJECT
public:
    // Texts that arrive while a box is open wait behind it, each once, up to this many.
    static constexpr int kMaxWaiting = 8;
    // Requests turned away while busy are counted; this many of them are named.
    static constexpr int kNamedNotTaken = 3;

    explicit ExternalRequestNotices(QObject* parent = nullptr);
    ~ExternalRequestNotices() override;

    // A box is open, or promised to a request that was accepted and not yet handled.
    bool busy() const;
    // A warning posted now would be dropped: a box is open and kMaxWaiting others wait behind it.
    bool lineFull() const;
    // Promises the next box to the request being accepted; false while busy. The promise ends with
    // the next warn or ask, or with release.
    bool reserve();
    void release();

    void warn(const QString& text);
    // onYes runs once the user answers Yes; No, closing the box or dropping the question do nothing.
    void ask(const QString& question, std::function<void()> onYes);
    // A request was turned away while busy. Its sender may be gone already (a second copy that stopped
    // waiting), so the box being answered, or the one promised, says so; with none to come, a box of its
    // own does. However many come, they take no more than that one line.
    void notTaken(const QString& studyUid);
    // A state that ends by itself (a retrieve waiting for its port), told as information beside the
    // boxes above, never in their line and never modal: one at a time, a later one replacing its
    // text. endNotice takes it away once the state is over; what it came to is told as any outcome.
    void showNotice(const QString& text);
    void endNotice();
    QMessageBox* notice() const { return m_notice; }

private:
    struct Notice
    {
        QString text;
        std::function<void()> onYes; // empty for a warning
        bool question = false;
        bool sameAs(const Notice& other) const { return question == other.question && text == other.text; }
    };

    void post(Notice notice);
    void showNext();
    QString notTakenText() const;

    QPointer<QMessageBox> m_box;
    QPointer<QMessageBox> m_notice;
    Notice m_shown;
    QList<Notice> m_waiting;
    bool m_reserved = false;
    int m_notTaken = 0;
    QStringList m_notTakenUids; // the first few, to name them
    bool m_notTakenShowing = false;
};
