#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class MidiIO;

// Runs one plug-in loading wait at a time on its own thread, then emits
// timerDone(). The wait can be cut short by destruction, so a router never
// waits a loading time to go away.
class Timer : public QThread
{
    Q_OBJECT

public:
    Timer(MidiIO *midiIO, int msec);
    ~Timer() override;

    // Starts a wait of msec milliseconds (negative counts as 0). A wait whose
    // thread is still finishing is let finish first, so no start is lost.
    void startWait(int msec);

signals:
    void timerDone();

protected:
    void run() override;

private:
    std::atomic<int> msec;
    MidiIO *midiIO;
    std::mutex mutex;
    std::condition_variable wakeUp;
    bool cancelled = false;
};
