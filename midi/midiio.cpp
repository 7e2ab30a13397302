#include "midi/midiio.h"

#include "app/say.h"
#include "midi/midifilter.h"
#include "midi/midiports.h"
#include "midi/midisystem.h"
#include "midi/realtime.h"
#include "midi/routerworker.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// What the input posts to the worker in its queue.
enum WorkerEvent : unsigned char
{
    KeepValue = 1 // a controller during a load: status, data
};

// What the input and the window ask of the worker by flag: these cannot
// be lost to a full queue.
enum News : unsigned
{
    SwitchWanted = 1,  // the input claimed a switch
    RecheckWanted = 2, // a request came during a load
    ProgramForwarded = 4,
    ProgramRefused = 8,
    UnitForgotten = 16
};

} // namespace

MidiIO::MidiIO() : QObject(nullptr)
{
    callbackCell = new MidiIO *(this);
    unit.send = [this](const MidiSink::Message *m, std::size_t n, bool &reached) {
        const bool taken = send(m, n);
        reached = taken && ports->reachesUnit();
        return taken;
    };
    unit.release = [this] { ports->releaseHeldNotes(); };
    unit.channel = [this] { return midiChannel.load(); };
    RouterWorker::Hooks hooks;
    hooks.woken = [this] {
        onNews(news.exchange(0));
        if (MidiPorts *p = ticked.load())
            p->lookAtSystem();
    };
    hooks.event = [this](const RouterWorker::Event &e) { onWorkerEvent(e); };
    hooks.deadline = [this] { sendCurProgChange(); };
    hooks.tick = [this] {
        if (MidiPorts *p = ticked.load()) {
            p->tick();
            // A server that went is looked for often, so that MIDI flows
            // again soon after it is back; the cost is only while it is away.
            worker->setTickInterval(p->lookingQuickly() ? 100 : 250);
        }
        tellScheduling();
    };
    worker = std::make_unique<RouterWorker>(std::move(hooks));
    ports = std::make_unique<MidiPorts>(midiInPorts, midiOutPorts, &MidiIO::onInput, this,
                                        &MidiIO::midiInCallback, callbackCell, [this] {
                                            // Counted in, as the input is:
                                            // the worker outlives it.
                                            routing.fetch_add(1);
                                            if (!closing.load())
                                                worker->wake();
                                            routing.fetch_sub(1);
                                        });
    connect(ports.get(), &MidiPorts::portsChanged, this, &MidiIO::portsChanged);
    connect(ports.get(), &MidiPorts::portLost, this, [this](const QString &name) {
        if (name == ports->chosenOut())
            forgetUnit();
        emit portLost(name);
    });
    connect(ports.get(), &MidiPorts::portReconnected, this, [this](const QString &name) {
        // Back before anyone saw it go: it may have been switched off.
        if (name == ports->chosenOut())
            forgetUnit();
        emit portReconnected(name);
    });
    connect(ports.get(), &MidiPorts::systemChanged, this, &MidiIO::systemChanged);
    ticked = ports.get();
}

MidiIO::~MidiIO()
{
    // The input keeps coming until the ports have closed (the output drains
    // first): from now on it is dropped at the door. The worker goes before
    // the ports it sends to.
    // A pass takes microseconds; one that never ends was a JACK cycle that
    // libjack cancelled mid-way, closing a client whose server had died.
    closing = true;
    const auto stale = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (routing.load() != 0 && std::chrono::steady_clock::now() < stale)
        std::this_thread::yield();
    ticked = nullptr;
    // Deleted while still held: a tick under way sets its interval through it.
    delete worker.get();
    (void)worker.release();
    ports.reset();
    delete callbackCell;
}

void MidiIO::ask(unsigned what)
{
    news.fetch_or(what);
    worker->wake();
}

void MidiIO::forgetUnit()
{
    ask(UnitForgotten);
}

bool MidiIO::openMidiIn(int index, bool createVirtual)
{
    return ports->openMidiIn(index, createVirtual);
}

bool MidiIO::openMidiOut(int index)
{
    // By name, so that the open port chosen again keeps what the unit has.
    return index >= 0 && index < midiOutPorts.size() && openMidiOutNamed(midiOutPorts.at(index));
}

bool MidiIO::closeMidiIn()
{
    return ports->closeMidiIn();
}

bool MidiIO::closeMidiOut()
{
    forgetUnit();
    return ports->closeMidiOut();
}

bool MidiIO::openMidiInNamed(const QString &name)
{
    return ports->openMidiInNamed(name);
}

bool MidiIO::openMidiOutNamed(const QString &name)
{
    // Another port may reach another unit, or the same one restarted.
    if (name != ports->chosenOut() || !ports->outputOpen())
        forgetUnit();
    return ports->openMidiOutNamed(name);
}

void MidiIO::replaceOutput(MidiSink *sink)
{
    forgetUnit();
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
    case Verdict::Keep:
        if (!worker->post({KeepValue, bytes[0], bytes[1],
                           size > 2 ? bytes[2] : static_cast<unsigned char>(0)}))
            Activity::count(counters.dropped);
        return;
    case Verdict::BankSelect:
        plugins.requestPlugin(decision.value);
        return;
    case Verdict::ProgramChange:
        switch (plugins.requestProgram(decision.value)) {
        case PluginSwitch::OnProgram::Forward:
            if (forward(bytes, size, frame)) {
                plugins.programForwarded(decision.value);
                ask(ProgramForwarded);
            } else {
                refusedProgram.store(decision.value);
                ask(ProgramRefused);
            }
            return;
        case PluginSwitch::OnProgram::Switch:
            ask(SwitchWanted);
            return;
        case PluginSwitch::OnProgram::Hold:
            ask(RecheckWanted);
            return;
        }
    }
}

// The worker's, from here on: it alone runs the switch.
void MidiIO::onNews(unsigned what)
{
    if ((what & UnitForgotten) && plugins.forgetUnit())
        emit pluginChanged();
    if (what & ProgramForwarded)
        emit programmChanged();
    if (what & ProgramRefused)
        say(QStringLiteral("Brantolex Fixer: program %1 could not be sent to the unit")
                .arg(refusedProgram.load() + 1));
    if (what & SwitchWanted)
        switchPlugin();
    if (what & RecheckWanted)
        finish(plugins.recheck(unit));
}

void MidiIO::onWorkerEvent(const RouterWorker::Event &event)
{
    if (event[0] != KeepValue)
        return;
    const std::size_t size = (event[1] & 0xF0) == 0xD0 ? 2 : 3;
    // The load ended before this came to be kept: it goes out now.
    if (!plugins.keep(&event[1], size)) {
        const MidiSink::Message m{&event[1], size};
        send(&m, 1);
    }
}

void MidiIO::switchPlugin()
{
    finish(plugins.begin(unit));
}

void MidiIO::sendCurProgChange()
{
    finish(plugins.loadEnded(unit));
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
        emit pluginChanged();
        emit setIsLoadingPlugin(true);
        worker->wakeAt(RouterWorker::Clock::now() +
                       std::chrono::milliseconds(std::max(0, step.wait)));
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
