#pragma once
// Work of the start that can take long on a large archive (an index of an earlier version brought up
// to date, copies listed again after a session that was cut short): once it has taken a moment, a
// window says what is being done and how far it got, so that a start never looks frozen. One for the
// whole start, so that one step's window does not close and leave nothing shown before the next.

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <memory>

class QProgressDialog;

class StartupProgress
{
public:
    StartupProgress();
    ~StartupProgress();
    StartupProgress(const StartupProgress&) = delete;
    StartupProgress& operator=(const StartupProgress&) = delete;

    // What is being done, done of total (total 0: not known).
    void advance(const QString& text, int done, int total);
    // A step's reports, text(done, total) saying what it does.
    std::function<void(int, int)> step(std::function<QString(int done, int total)> text)
    {
        return [this, text = std::move(text)](int done, int total) { advance(text(done, total), done, total); };
    }
    bool wasShown() const { return m_dialog != nullptr; }

    static constexpr int kShowAfterMs = 500;

private:
    QElapsedTimer m_clock;
    QElapsedTimer m_sincePaint;
    std::unique_ptr<QProgressDialog> m_dialog;
};
