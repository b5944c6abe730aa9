#pragma once
// What requests from outside (web pages, launch URLs, second copies) have to tell or ask the user,
// shown one box at a time. Any local program may send such requests as fast as it likes: none of
// them may stack a second box or wait for the user inside an event loop of its own.

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class ExternalRequestNotices : public QObject
{
    Q_OBJECT
public:
    // Texts that arrive while a box is open wait behind it, each once, up to this many.
    static constexpr int kMaxWaiting = 8;

    explicit ExternalRequestNotices(QObject* parent = nullptr);
    ~ExternalRequestNotices() override;

    // A box is open, or promised to a request that was accepted and not yet handled.
    bool busy() const;
    // Promises the next box to the request being accepted; false while busy. The promise ends with
    // the next warn or ask, or with release.
    bool reserve();
    void release();

    void warn(const QString& text);
    // onYes runs once the user answers Yes; No, closing the box or dropping the question do nothing.
    void ask(const QString& question, std::function<void()> onYes);

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

    QPointer<QMessageBox> m_box;
    Notice m_shown;
    QList<Notice> m_waiting;
    bool m_reserved = false;
};
