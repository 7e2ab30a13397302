#include "midi/midiio.h"

#include "midi/alsasequencer.h"
#include "midi/jackclient.h"
#include "midi/midifilter.h"
#include "midi/midisystem.h"
#include "midi/portpoller.h"
#include "midi/routerworker.h"
#include "midi/timer.h"


#include <algorithm>
#include <iostream>
#include <thread>

namespace {

enum WorkerEvent
{
    SwitchNow = 1,
    ProgramSent,
    ProgramRefused,
    Recheck
};

std::ostream &say()
{
    return std::cerr << "Brantolex Fixer: ";
}

} // namespace

MidiIO::MidiIO() : QObject(nullptr)
{
    callbackCell = new MidiIO *(this);
    timer = new Timer(this, 3000);
    connect(timer, &Timer::timerDone, this, &MidiIO::sendCurProgChange);
    worker = std::make_unique<RouterWorker>([this](int e, int v) { onWorkerEvent(e, v); },
                                            [this] { onTick(); });
    searching = !startSystem();
}

MidiIO::~MidiIO()
{
    delete portPoller;
    portPoller = nullptr;
    alsaWatch.reset();
    dropInput();
    if (jack && !jack->serverGone())
        jack->disconnectInput();
    dropOutput(false);
    setOutput(nullptr, nullptr);
    JackClient::dispose(std::move(jack)); // no input reaches the router after this
    worker.reset();
    delete timer;
    delete callbackCell;
}

bool MidiIO::startSystem()
{
    for (RtMidi::Api api : MidiSystem::candidates()) {
        if (api == RtMidi::UNIX_JACK) {
            jack = JackClient::open(
                &MidiIO::onInput, this,
                [this] {
                    if (!refreshPending.exchange(true))
                        QMetaObject::invokeMethod(this, &MidiIO::refreshPorts,
                                                  Qt::QueuedConnection);
                },
                &systemLost);
            if (!jack)
                continue;
            midiApi = api;
            jack->setChannel(midiChannel);
            refreshPorts();
            return true;
        }
        if (api == RtMidi::LINUX_ALSA) {
            alsaWatch = AlsaSequencer::Watch::open([this] {
                if (!refreshPending.exchange(true))
                    QMetaObject::invokeMethod(this, &MidiIO::refreshPorts, Qt::QueuedConnection);
            });
            if (!alsaWatch)
                continue;
            midiApi = api;
            refreshPorts();
            return true;
        }
        QStringList inputs, outputs;
        if (!MidiSystem::listPorts(api, inputs, outputs))
            continue;
        midiApi = api;
        applyPortLists(inputs, outputs, {});
        watchPorts();
        return true;
    }
    return false;
}

void MidiIO::checkSystem()
{
    if (jack && jack->serverGone()) {
        say() << "the JACK server stopped; the ports are opened again when it is back\n";
        dropInput();
        dropOutput(true);
        JackClient::dispose(std::move(jack));
        midiApi = RtMidi::UNSPECIFIED;
        systemGone = true;
        systemLost = false;
        searching = true;
        applyPortLists({}, {}, {});
        emit systemChanged();
        return;
    }
    if (midiApi != RtMidi::UNSPECIFIED || !startSystem())
        return;
    searching = false;
    if (wantVirtual)
        openInput(QString());
    followPorts({});
    systemGone = false;
    emit systemChanged();
}

// JACK announces ports that come and go; other systems are asked every
// half second, off the GUI thread. Either way the lists are compared here.
void MidiIO::watchPorts()
{
    const RtMidi::Api api = midiApi;
    portPoller = new PortPoller(
        [api](QStringList &inputs, QStringList &outputs) {
            MidiSystem::listPorts(api, inputs, outputs);
        },
        [this](const QStringList &inputs, const QStringList &outputs) {
            QMetaObject::invokeMethod(
                this, [this, inputs, outputs] { applyPortLists(inputs, outputs, {}); },
                Qt::QueuedConnection);
        });
}

void MidiIO::refreshPorts()
{
    refreshPending = false;
    QStringList inputs, outputs, appeared;
    if (alsaWatch) {
        alsaWatch->list(inputs, outputs);
        inputs.erase(std::remove_if(inputs.begin(), inputs.end(), MidiSystem::isOwnPort),
                     inputs.end());
        outputs.erase(std::remove_if(outputs.begin(), outputs.end(), MidiSystem::isOwnPort),
                      outputs.end());
        applyPortLists(inputs, outputs, alsaWatch->takeAppeared());
        return;
    }
    if (!jack)
        return;
    for (const std::string &name : jack->midiPorts(true))
        inputs << MidiSystem::fromPortName(name);
    for (const std::string &name : jack->midiPorts(false))
        outputs << MidiSystem::fromPortName(name);
    for (const std::string &name : jack->takeAppeared())
        appeared << MidiSystem::fromPortName(name);
    applyPortLists(inputs, outputs, appeared);
}

void MidiIO::applyPortLists(const QStringList &inputs, const QStringList &outputs,
                            const QStringList &appeared)
{
    const bool changed = inputs != midiInPorts || outputs != midiOutPorts;
    midiInPorts = inputs;
    midiOutPorts = outputs;
    followPorts(appeared);
    if (changed)
        emit portsChanged();
}

void MidiIO::followPorts(const QStringList &appeared)
{
    QString target;
    // A sink handed in is no port to follow.
    const bool handedIn = outIsOpen && out.openOn.isEmpty();
    switch (handedIn ? FollowedPort::Action::None : out.next(midiOutPorts, appeared, &target)) {
    case FollowedPort::Action::Close:
        say() << "the MIDI output \"" << MidiSystem::toPortName(out.openOn)
              << "\" has gone; it is opened again when it comes back\n";
        dropOutput(true);
        emit portLost(out.chosen);
        break;
    case FollowedPort::Action::Relink:
        if (NoteOutput *current = output.load())
            current->relink();
        break;
    case FollowedPort::Action::Open:
        if (openOutput(target)) {
            say() << "the MIDI output \"" << MidiSystem::toPortName(target) << "\" is open\n";
            emit portReconnected(out.chosen);
        }
        break;
    case FollowedPort::Action::None:
        break;
    }
    if (wantVirtual)
        return;
    switch (in.next(midiInPorts, appeared, &target)) {
    case FollowedPort::Action::Close:
        say() << "the MIDI input \"" << MidiSystem::toPortName(in.openOn)
              << "\" has gone; it is opened again when it comes back\n";
        dropInput();
        emit portLost(in.chosen);
        break;
    case FollowedPort::Action::Relink:
        if (jack)
            jack->relinkInput();
        else if (alsaIn)
            alsaIn->relink();
        break;
    case FollowedPort::Action::Open:
        if (openInput(target)) {
            say() << "the MIDI input \"" << MidiSystem::toPortName(target) << "\" is open\n";
            emit portReconnected(in.chosen);
        }
        break;
    case FollowedPort::Action::None:
        break;
    }
}

bool MidiIO::openMidiIn(int index, bool createVirtual)
{
    if (!createVirtual)
        return index >= 0 && index < midiInPorts.size() && openMidiInNamed(midiInPorts.at(index));
    in.chosen.clear();
    wantVirtual = true;
    return openInput(QString());
}

bool MidiIO::openMidiInNamed(const QString &name)
{
    in.chosen = name;
    wantVirtual = false;
    const QString port = MidiSystem::matchPort(midiInPorts, name);
    if (port.isEmpty()) {
        dropInput();
        say() << "the MIDI input \"" << MidiSystem::toPortName(name)
              << "\" is not there; it is opened when it appears\n";
        return false;
    }
    return openInput(port);
}

// The named port, or the virtual input for no name.
bool MidiIO::openInput(const QString &name)
{
    dropInput();
    if (jack) {
        if (!jack->connectInput(MidiSystem::toPortName(name)))
            return false;
    } else if (alsaWatch) {
        alsaIn = AlsaSequencer::Input::open(MidiSystem::toPortName(name), &MidiIO::onInput, this);
        if (!alsaIn)
            return false;
    } else if (midiApi != RtMidi::UNSPECIFIED) {
        midiIn = MidiSystem::openInput(midiApi, name, &MidiIO::midiInCallback, callbackCell);
        if (!midiIn)
            return false;
    } else {
        return false;
    }
    midiInVirtual = name.isEmpty();
    in.openOn = name;
    inIsOpen = true;
    return true;
}

bool MidiIO::closeMidiIn()
{
    in.chosen.clear();
    wantVirtual = false;
    dropInput();
    if (jack)
        jack->disconnectInput();
    return true;
}

// Closes the input but keeps the user's choice.
void MidiIO::dropInput()
{
    in.openOn.clear();
    inIsOpen = midiInVirtual = false;
    MidiSystem::closeInput(std::move(midiIn));
    midiIn.reset();
    alsaIn.reset(); // its thread has stopped when this returns
    // The Note Offs of what the input held will never come.
    releaseHeldNotes();
}

bool MidiIO::openMidiOut(int index)
{
    return index >= 0 && index < midiOutPorts.size() && openMidiOutNamed(midiOutPorts.at(index));
}

bool MidiIO::openMidiOutNamed(const QString &name)
{
    out.chosen = name;
    lostHeld = {}; // the user moved on from the unit that went
    const QString port = MidiSystem::matchPort(midiOutPorts, name);
    if (port.isEmpty()) {
        dropOutput(false);
        say() << "the MIDI output \"" << MidiSystem::toPortName(name)
              << "\" is not there; it is opened when it appears\n";
        return false;
    }
    return openOutput(port);
}

bool MidiIO::openOutput(const QString &name)
{
    dropOutput(false);
    if (jack) {
        if (!jack->connectOutput(MidiSystem::toPortName(name)))
            return false;
        setOutput(nullptr, jack.get());
    } else if (alsaWatch) {
        auto sink = AlsaSequencer::Sink::open(MidiSystem::toPortName(name));
        if (!sink)
            return false;
        auto opened = std::make_unique<ThreadedOutput>(std::move(sink));
        NoteOutput *raw = opened.get();
        setOutput(std::move(opened), raw);
    } else if (midiApi != RtMidi::UNSPECIFIED) {
        std::unique_ptr<NoteOutput> opened = MidiSystem::openOutput(midiApi, name);
        if (!opened)
            return false;
        NoteOutput *raw = opened.get();
        setOutput(std::move(opened), raw);
    } else {
        return false;
    }
    out.openOn = name;
    outIsOpen = true;
    // Notes left sounding when the unit went are released now it is back.
    std::lock_guard<std::mutex> lock(outMutex);
    output.load()->adoptHeld(lostHeld);
    lostHeld = {};
    return true;
}

bool MidiIO::closeMidiOut()
{
    out.chosen.clear();
    dropOutput(false);
    return true;
}

// lost: the port went away; its held notes wait for its return.
void MidiIO::dropOutput(bool lost)
{
    out.openOn.clear();
    outIsOpen = false;
    NoteOutput *current = output.load();
    if (!current)
        return;
    if (lost) {
        lostHeld = current->takeHeld();
    } else {
        current->releaseHeldNotes();
        current->drain();
    }
    if (jack && current == jack.get()) {
        if (!lost)
            jack->disconnectOutput();
        setOutput(nullptr, nullptr);
        return;
    }
    setOutput(nullptr, nullptr);
}

void MidiIO::setOutput(std::unique_ptr<NoteOutput> owned, NoteOutput *next)
{
    if (next)
        next->setChannel(midiChannel);
    std::unique_ptr<NoteOutput> old;
    {
        std::lock_guard<std::mutex> lock(outMutex);
        output.store(next);
        old = std::move(ownedOutput);
        ownedOutput = std::move(owned);
    }
    while (outputUsers.load() != 0)
        std::this_thread::yield();
    old.reset(); // lets what it queued go out first
}

void MidiIO::replaceOutput(MidiSink *sink)
{
    dropOutput(false);
    if (!sink)
        return;
    auto opened = std::make_unique<ThreadedOutput>(std::unique_ptr<MidiSink>(sink));
    NoteOutput *raw = opened.get();
    setOutput(std::move(opened), raw);
    outIsOpen = true;
}

void MidiIO::setMidiChannel(int channel)
{
    if (midiChannel.exchange(channel - 1) == channel - 1)
        return;
    std::lock_guard<std::mutex> lock(outMutex);
    if (NoteOutput *current = output.load()) {
        current->setChannel(channel - 1);
        current->releaseHeldNotes();
    }
    if (jack)
        jack->setChannel(channel - 1);
}

int MidiIO::heldNoteCount() const
{
    std::lock_guard<std::mutex> lock(outMutex);
    NoteOutput *current = output.load();
    return current ? current->heldNoteCount() : 0;
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

bool MidiIO::send(const MidiSink::Message *messages, std::size_t count)
{
    std::lock_guard<std::mutex> lock(outMutex);
    NoteOutput *current = output.load();
    return !current || current->send(messages, count);
}

void MidiIO::releaseHeldNotes()
{
    std::lock_guard<std::mutex> lock(outMutex);
    if (NoteOutput *current = output.load())
        current->releaseHeldNotes();
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

void MidiIO::settle()
{
    worker->settle();
    std::lock_guard<std::mutex> lock(outMutex);
    if (NoteOutput *current = output.load())
        current->drain();
}

void MidiIO::midiInCallback(double timeStamp, std::vector<unsigned char> *message, void *userData)
{
    Q_UNUSED(timeStamp);
    if (!message || !userData)
        return;
    (*static_cast<MidiIO **>(userData))->route(message->data(), message->size(), 0);
}

void MidiIO::onInput(void *self, const unsigned char *bytes, std::size_t size,
                     std::uint32_t frame)
{
    static_cast<MidiIO *>(self)->route(bytes, size, frame);
}

// The input thread: no lock, no allocation, no output of its own but the
// port; what takes longer goes to the worker.
void MidiIO::route(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
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
        forwardOut(bytes, size, frame);
        return;
    case Verdict::BankSelect:
        plugins.requestPlugin(decision.value);
        return;
    case Verdict::ProgramChange:
        switch (plugins.requestProgram(decision.value)) {
        case PluginSwitch::OnProgram::Forward:
            worker->post(forwardOut(bytes, size, frame) ? ProgramSent : ProgramRefused,
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

bool MidiIO::forwardOut(const unsigned char *bytes, std::size_t size, std::uint32_t frame)
{
    outputUsers.fetch_add(1);
    NoteOutput *current = output.load();
    const bool taken = !current || current->forward(bytes, size, frame);
    outputUsers.fetch_sub(1);
    return taken;
}

void MidiIO::onWorkerEvent(int event, int value)
{
    const int channel = midiChannel;
    auto sendTo = [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); };
    auto release = [this] { releaseHeldNotes(); };
    switch (event) {
    case SwitchNow:
        finish(plugins.switchNow(channel, sendTo, release));
        return;
    case ProgramSent:
        finish(plugins.programSent(value));
        return;
    case ProgramRefused:
        say() << "program " << value + 1 << " could not be sent to the unit\n";
        return;
    case Recheck:
        finish(plugins.recheck(channel, sendTo, release));
        return;
    }
}

// The worker's tick: a MIDI system that is missing, or a JACK server that
// stopped, is looked for again (the choices stand until it is back); and
// one line when messages start being dropped, one when they stop.
void MidiIO::onTick()
{
    if (systemLost.load() || (searching.load() && ++ticksSearching % 4 == 0))
        QMetaObject::invokeMethod(this, &MidiIO::checkSystem, Qt::QueuedConnection);
    reportDrops();
}

void MidiIO::reportDrops()
{
    std::uint32_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(outMutex);
        if (NoteOutput *current = output.load())
            dropped = current->takeDropped();
    }
    if (dropped && !dropsInEpisode)
        say() << "the MIDI output is not taking messages (queue full); they are dropped\n";
    else if (!dropped && dropsInEpisode)
        say() << dropsInEpisode << " MIDI message(s) were dropped; output flows again\n";
    dropsInEpisode = dropped ? dropsInEpisode + dropped : 0;
}

void MidiIO::switchPlugin()
{
    finish(plugins.switchNow(
        midiChannel, [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); },
        [this] { releaseHeldNotes(); }));
}

void MidiIO::sendCurProgChange()
{
    finish(plugins.loadEnded(
        midiChannel, [this](const MidiSink::Message *m, std::size_t n) { return send(m, n); },
        [this] { releaseHeldNotes(); }));
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

bool MidiIO::setPreferredSystem(const QString &system)
{
    return MidiSystem::setPreferred(system);
}

QString MidiIO::preferredSystem()
{
    return MidiSystem::preferred();
}

QString MidiIO::systemName() const
{
    return MidiSystem::displayName(midiApi);
}

QString MidiIO::systemProblem() const
{
    if (systemGone)
        return QStringLiteral("JACK server stopped");
    if (systemName().isEmpty())
        return QStringLiteral("No MIDI system found");
    return QString();
}
