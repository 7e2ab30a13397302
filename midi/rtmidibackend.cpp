#include "midi/rtmidibackend.h"

#include "midi/midisystem.h"
#include "midi/portpoller.h"

std::unique_ptr<RtMidiBackend> RtMidiBackend::open(RtMidi::Api api, const Hooks &hooks)
{
    std::unique_ptr<RtMidiBackend> self(new RtMidiBackend);
    self->api = api;
    self->hooks = hooks;
    if (!MidiSystem::listPorts(api, self->inputs, self->outputs))
        return nullptr;
    RtMidiBackend *raw = self.get();
    self->poller = std::make_unique<PortPoller>(
        [api](QStringList &inputs, QStringList &outputs) {
            MidiSystem::listPorts(api, inputs, outputs);
        },
        [raw](const QStringList &inputs, const QStringList &outputs) {
            {
                std::lock_guard<std::mutex> lock(raw->mutex);
                raw->inputs = inputs;
                raw->outputs = outputs;
            }
            if (raw->hooks.portsChanged)
                raw->hooks.portsChanged();
        });
    return self;
}

RtMidiBackend::~RtMidiBackend()
{
    silence();
    closeInput();
    output.reset();
}

void RtMidiBackend::silence()
{
    poller.reset();
}

void RtMidiBackend::listPorts(QStringList &in, QStringList &out, QStringList &)
{
    std::lock_guard<std::mutex> lock(mutex);
    in = inputs;
    out = outputs;
}

bool RtMidiBackend::openInput(const QString &name)
{
    input = MidiSystem::openInput(api, name, hooks.callback, hooks.callbackUser);
    return input != nullptr;
}

void RtMidiBackend::closeInput()
{
    MidiSystem::closeInput(std::move(input));
    input.reset();
}

NoteOutput *RtMidiBackend::openOutput(const QString &name)
{
    output = MidiSystem::openOutput(api, name);
    return output.get();
}
