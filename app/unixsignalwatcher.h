#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>

class QSocketNotifier;

// Turns the given Unix signals into the Qt signal received(), delivered by the
// event loop, so that a signal can end the program the orderly way.
// Quitting is idempotent: received() comes once, for the first signal; later
// ones are ignored until the process has left, also after the watcher is
// gone, so that a session's SIGTERM, SIGCONT, SIGHUP, a closing terminal's
// SIGHUP or a relayed SIGTERM never cuts the saving of the settings short.
// Only a third SIGINT ends the process at once, after a line on stderr: a
// person pressing Ctrl+C can still interrupt a stuck shutdown.
// One watcher at a time per process.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    // Leaves the handlers in place, as if a first signal had come.
    ~UnixSignalWatcher() override;

    // The SIGINT that ends the process without waiting.
    static constexpr int forcingInterrupt = 3;

signals:
    void received(int signalNumber);

private:
    void readPending();

    int fds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};
