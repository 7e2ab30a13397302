#include "midi/midiio.h"

#include "app/say.h"
#include "midi/midifilter.h"
#include "midi/midiports.h"
#include "midi/midisystem.h"
#include "midi/realtime.h"
#include "midi/routerworker.h"
#include "midi/timer.h"

#include <thread>

namespace {

enum WorkerEvent
{
    SwitchNow = 1,
    ProgramSent,
    ProgramRefused,
    Recheck
};

} // namespace

MidiIO::MidiIO() : QObject(nullptr)
{
    callbackCell = new MidiIO *(this);
    timer = new Timer(this, 3000);
    connect(timer, &Timer::timerDone, this, &MidiIO::sendCurProgChange);
    worker = std::make_unique<RouterWorker>([this](int e, int v) { onWorkerEvent(e, v); },
                                            [this] {
                                                if (MidiPorts *p = ticked.load())
                                                    p->tick();
                                                tellScheduling();
                                            });
    ports = std::make_unique<MidiPorts>(midiInPorts, midiOutPorts, &MidiIO::onInput, this,
                                        &MidiIO::midiInCallback, callbackCell);
    connect(ports.get(), &MidiPorts::portsChanged, this, &MidiIO::portsChanged);
    connect(ports.get(), &MidiPorts::portLost, this, &MidiIO::portLost);
    connect(ports.get(), &MidiPorts::portReconnected, this, &MidiIO::portReconnected);
    connect(ports.get(), &MidiPorts::systemChanged, this, &MidiIO::systemChanged);
    ticked = ports.get();
}

MidiIO::~MidiIO()
{
    // The input keeps coming until the ports have closed (the output drains
    // first): from now on it is dropped at the door. The worker goes before
    // the ports it sends to.
    closing = true;
    while (routing.load() != 0)
        std::this_thread::yield();
    ticked = nullptr;
    worker.reset();
    ports.reset();
    delete timer;
    delete callbackCell;
}

bool MidiIO::openMidiIn(int index, bool createVirtual)
{
    return ports->openMidiIn(index, createVirtual);
}

bool MidiIO::openMidiOut(int index)
{
    return ports->openMidiOut(index);
}

bool MidiIO::closeMidiIn()
{
    return ports->closeMidiIn();
}

bool MidiIO::closeMidiOut()
{
    return ports->closeMidiOut();
}

bool MidiIO::openMidiInNamed(const QString &name)
{
    return ports->openMidiInNamed(name);
}

bool MidiIO::openMidiOutNamed(const QString &name)
{
    return ports->openMidiOutNamed(name);
}

void MidiIO::replaceOutput(MidiSink *sink)
{
    ports->replaceOutput(sink);
}

void MidiIO::refreshPorts()
{
    ports->refreshPorts();
}

bool MidiIO::send(const MidiSink::Message *messages, std::size_t count)
{
    const bool taken = ports->send(messages, count);
    Activity::count(taken ? counters.out : counters.dropped, std::uint32_t(count));
    return taken;
}

bool MidiIO::forward(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    const bool taken = ports->forward(bytes, size, frame);
    Activity::count(taken ? counters.out : counters.dropped);
    return taken;
}

void MidiIO::setMidiChannel(int channel)
{
    if (midiChannel.exchange(channel - 1) != channel - 1)
        ports->setChannel(channel - 1);
}

void MidiIO::setTranslateCC0(bool on)
{
    translateCC0 = on;
}

void MidiIO::setIgnoreSysex(bool ignore)
{
    ignoreSysex = ignore;
}

void MidiIO::setIgnoreClockMessages(bool ignore)
{
    ignoreClockMessages = ignore;
}

void MidiIO::setLoadingTimes(int t0, int t1, int t2, int t3, int t4, int t5, int t6, int t7)
{
    const int times[pluginCount] = {t0, t1, t2, t3, t4, t5, t6, t7};
    for (int i = 0; i < pluginCount; ++i)
        plugins.setLoadingTime(i, times[i]);
}

int MidiIO::loadingTime(int index) const
{
    return index >= 0 && index < pluginCount ? plugins.loadingTime(index) : 0;
}

bool MidiIO::sendMidiMessage(unsigned char type, unsigned char channel, unsigned char data1,
                             unsigned char data2)
{
    const unsigned char message[3] = {static_cast<unsigned char>(type + channel), data1, data2};
    const MidiSink::Message m{message, std::size_t(data2 == 255 ? 2 : 3)};
    return send(&m, 1);
}

bool MidiIO::sendProgramChange(unsigned char program)
{
    return sendMidiMessage(0xC0, static_cast<unsigned char>(midiChannel.load()), program, 255);
}

bool MidiIO::panic()
{
    if (!ports->panic())
        return false;
    // Sustain off, All Sound Off and All Notes Off on every channel: the
    // lights show it like any other output.
    Activity::count(counters.out, 16 * 3);
    return true;
}

void MidiIO::settle()
{
    worker->settle();
    ports->drain();
}

void MidiIO::midiInCallback(double timeStamp, std::vector<unsigned char> *message, void *userData)
{
    Q_UNUSED(timeStamp);
    if (!message || !userData)
        return;
    (*static_cast<MidiIO **>(userData))->route(message->data(), message->size(), 0);
}

void MidiIO::onInput(void *self, const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    static_cast<MidiIO *>(self)->route(bytes, size, frame);
}

// The input thread: no lock, no allocation, no output of its own but the
// port; what takes longer goes to the worker.
void MidiIO::route(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    // Counted in, so that closing waits for a message on its way.
    struct Pass
    {
        std::atomic<int> &count;
        ~Pass() { count.fetch_sub(1); }
    } pass{routing};
    routing.fetch_add(1);
    if (closing.load())
        return;
    Activity::count(counters.in);
    FilterFlags flags;
    flags.channel = midiChannel.load(std::memory_order_relaxed);
    flags.ignoreSysex = ignoreSysex.load(std::memory_order_relaxed);
    flags.ignoreClock = ignoreClockMessages.load(std::memory_order_relaxed);
    flags.translateCC0 = translateCC0.load(std::memory_order_relaxed);
    flags.loading = plugins.loading();
    flags.inSysex = inSysex;
    inSysex = sysexContinues(inSysex, bytes, size);
    const Decision decision = filterMessage(flags, bytes, size);
    switch (decision.verdict) {
    case Verdict::Drop:
        return;
    case Verdict::Forward:
        forward(bytes, size, frame);
        return;
    case Verdict::BankSelect:
        plugins.requestPlugin(decision.value);
        return;
    case Verdict::ProgramChange:
        switch (plugins.requestProgram(decision.value)) {
        case PluginSwitch::OnProgram::Forward:
            worker->post(forward(bytes, size, frame) ? ProgramSent : ProgramRefused,
                         decision.value);
            return;
        case PluginSwitch::OnProgram::Switch:
            worker->post(SwitchNow, 0);
            return;
        case PluginSwitch::OnProgram::Hold:
            worker->post(Recheck, 0);
            return;
        }
    }
}

void MidiIO::onWorkerEvent(int event, int value)
{
    const int channel = midiChannel;
    auto sendTo = [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); };
    auto release = [this] { ports->releaseHeldNotes(); };
    switch (event) {
    case SwitchNow:
        finish(plugins.switchNow(channel, sendTo, release));
        return;
    case ProgramSent:
        finish(plugins.programSent(value));
        return;
    case ProgramRefused:
        say(QStringLiteral("Brantolex Fixer: program %1 could not be sent to the unit")
                .arg(value + 1));
        return;
    case Recheck:
        finish(plugins.recheck(channel, sendTo, release));
        return;
    }
}

void MidiIO::switchPlugin()
{
    finish(plugins.switchNow(
        midiChannel, [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); },
        [this] { ports->releaseHeldNotes(); }));
}

void MidiIO::sendCurProgChange()
{
    finish(plugins.loadEnded(
        midiChannel, [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); },
        [this] { ports->releaseHeldNotes(); }));
}

void MidiIO::finish(PluginSwitch::Step step)
{
    switch (step.what) {
    case PluginSwitch::Emit::None:
        return;
    case PluginSwitch::Emit::Program:
        emit programmChanged();
        return;
    case PluginSwitch::Emit::Loaded:
        emit setIsLoadingPlugin(false);
        emit programmChanged();
        return;
    case PluginSwitch::Emit::Switch:
        // Signals first: their queued events then reach the window before a
        // short wait's timerDone() can end the load.
        emit pluginChanged();
        emit setIsLoadingPlugin(true);
        timer->startWait(step.wait);
        return;
    }
}

QString MidiIO::schedulingProblem()
{
    if (!midiPriorityRefused().load(std::memory_order_relaxed))
        return QString();
    return QStringLiteral("MIDI runs without real-time priority; timing may suffer under load "
                          "(allow it with an rtprio limit, e.g. membership of the audio group)");
}

// The worker's: once, when the first MIDI thread was refused.
void MidiIO::tellScheduling()
{
    if (schedulingSaid || !midiPriorityRefused().load(std::memory_order_relaxed))
        return;
    schedulingSaid = true;
    say(QStringLiteral("Brantolex Fixer: ") + schedulingProblem());
    emit systemChanged();
}

bool MidiIO::setPreferredSystem(const QString &system)
{
    return MidiSystem::setPreferred(system);
}

QString MidiIO::preferredSystem()
{
    return MidiSystem::preferred();
}
