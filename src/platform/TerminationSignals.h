#pragma once
// The requests to end that the system sends a desktop program (SIGTERM at logout and shutdown, SIGHUP
// when its terminal goes, SIGINT from Ctrl+C), turned into a Qt signal on the thread that made this
// object. Without it such a request ends the process on the spot, in the middle of whatever it was
// writing, as a kill would.

#include <QObject>

class QSocketNotifier;

namespace platform {

class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Takes over the three signals while the object lives; one object at a time.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the signals could not be taken over: they then end the process as before.
    bool isActive() const { return m_notifier != nullptr; }
    // A request came while the active object lives, whether or not its signal has been handled yet:
    // long work that runs before the event loop does (the start) looks here to end early.
    static bool requested();

signals:
    void terminationRequested(int signalNumber);

private:
    void readPending();

    QSocketNotifier* m_notifier = nullptr;
};

} // namespace platform
