#pragma once
// Work of the start that can take long on a large archive (an index of an earlier version brought up
// to date, copies listed again after a session that was cut short): once it has taken a moment, a
// window says what is being done and how far it got, so that a start never looks frozen.

#include <QElapsedTimer>
#include <QString>

#include <functional>
#include <memory>

class QProgressDialog;

class StartupProgress
{
public:
    // text(done, total) is what the window says; total is 0 when it is not known.
    explicit StartupProgress(std::function<QString(int done, int total)> text);
    ~StartupProgress();
    StartupProgress(const StartupProgress&) = delete;
    StartupProgress& operator=(const StartupProgress&) = delete;

    void advance(int done, int total);
    std::function<void(int, int)> callback()
    {
        return [this](int done, int total) { advance(done, total); };
    }
    bool wasShown() const { return m_dialog != nullptr; }

    static constexpr int kShowAfterMs = 500;

private:
    std::function<QString(int, int)> m_text;
    QElapsedTimer m_clock;
    QElapsedTimer m_sincePaint;
    std::unique_ptr<QProgressDialog> m_dialog;
};
