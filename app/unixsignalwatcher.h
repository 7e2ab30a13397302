#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns the given Unix signals into the Qt signal received(), delivered by the
// event loop, so that a signal can end the program the orderly way. A second
// signal, once one has been delivered, ends the process at once with the
// default action: a stuck shutdown can still be interrupted.
// One watcher at a time per process.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    // Restores the previous handlers.
    ~UnixSignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    void readPending();

    struct Previous
    {
        int number;
        struct sigaction action;
    };
    std::vector<Previous> previous;
    int fds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};
