#pragma once

#include "midi/midibackend.h"

#include <QStringList>

#include <RtMidi.h>

#include <memory>
#include <mutex>

class PortPoller;

// The router on MIDI systems that have no back-end of their own, through
// RtMidi. Such systems do not announce ports that come and go: the lists
// are read again every half second, off the GUI thread.
class RtMidiBackend : public MidiBackend
{
public:
    static std::unique_ptr<RtMidiBackend> open(RtMidi::Api api, const Hooks &hooks);
    ~RtMidiBackend() override;
    void silence() override;
    void listPorts(QStringList &inputs, QStringList &outputs, QStringList &appeared) override;
    bool openInput(const QString &name) override;
    void closeInput() override;
    bool relinkInput() override { return false; }
    NoteOutput *openOutput(const QString &name) override;
    void closeOutput() override { output.reset(); }

private:
    RtMidiBackend() = default;

    RtMidi::Api api = RtMidi::UNSPECIFIED;
    Hooks hooks;
    std::unique_ptr<RtMidiIn> input;
    std::unique_ptr<NoteOutput> output;
    std::unique_ptr<PortPoller> poller;
    std::mutex mutex; // the lists, between the poller and the GUI thread
    QStringList inputs, outputs;
};
