// The MIDI side of bench/startup.sh, on JACK: a sink "Bench Sink:in" for the
// program's output, and, on the line "switch" on stdin, a source that asks the
// program's virtual input for a plug-in switch. Answers "loading" once the
// unit's plug-in selection has come out, i.e. once the loading wait runs.
#include <RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Inbox
{
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> messages;

    bool waitFor(const Bytes &wanted, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] {
            for (const Bytes &m : messages)
                if (m == wanted)
                    return true;
            return false;
        });
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }
};

void received(double, std::vector<unsigned char> *message, void *inbox)
{
    auto *box = static_cast<Inbox *>(inbox);
    {
        std::lock_guard<std::mutex> lock(box->mutex);
        box->messages.push_back(*message);
    }
    box->arrived.notify_all();
}

bool requestSwitch(Inbox &inbox)
{
    RtMidiOut source(RtMidi::UNIX_JACK, "Bench Source");
    bool opened = false;
    for (unsigned int i = 0; i < source.getPortCount() && !opened; ++i) {
        if (source.getPortName(i).find("Brantolex helper virtual input") != std::string::npos) {
            source.openPort(i);
            opened = true;
        }
    }
    if (!opened)
        return false;

    // A new connection takes effect at the server's next cycle: a silent note
    // (velocity 0) that comes through shows the way is open.
    const Bytes silentNote{0x90, 0x01, 0x00};
    bool joined = false;
    for (int attempt = 0; attempt < 50 && !joined; ++attempt) {
        source.sendMessage(&silentNote);
        joined = inbox.waitFor(silentNote, std::chrono::milliseconds(100));
    }
    if (!joined)
        return false;

    inbox.clear();
    const Bytes bankSelect{0xB0, 0x00, 0x03};
    const Bytes programChange{0xC0, 0x05};
    source.sendMessage(&bankSelect);
    source.sendMessage(&programChange);
    // Plug-in 3 selected: the wait has begun.
    return inbox.waitFor(Bytes{0xC0, 0x68}, std::chrono::milliseconds(2000));
}

} // namespace

int main()
{
    Inbox inbox;
    RtMidiIn sink(RtMidi::UNIX_JACK, "Bench Sink");
    sink.ignoreTypes(false, false, false);
    sink.setCallback(received, &inbox);
    sink.openVirtualPort("in");
    std::cout << "ready" << std::endl;

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "switch")
            std::cout << (requestSwitch(inbox) ? "loading" : "failed") << std::endl;
    }
    sink.cancelCallback();
    sink.closePort();
    return 0;
}
