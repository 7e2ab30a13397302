#include "midi/midiports.h"

#include "app/say.h"
#include "midi/midisystem.h"

#include <algorithm>
#include <thread>

namespace {

void tell(const QString &what)
{
    say(QStringLiteral("Brantolex Fixer: ") + what);
}

} // namespace

MidiPorts::MidiPorts(QStringList &inputs, QStringList &outputs, InputHandler input, void *user,
                     RtMidiIn::RtMidiCallback callback, void *callbackUser,
                     std::function<void()> wake)
    : QObject(nullptr), midiInPorts(inputs), midiOutPorts(outputs), wantedApi(MidiSystem::chosen())
{
    hooks.input = input;
    hooks.user = user;
    hooks.callback = callback;
    hooks.callbackUser = callbackUser;
    hooks.portsChanged = [this] { notifyPorts(); };
    hooks.lost = &systemLost;
    hooks.lostNow = std::move(wake);
    hooks.overruns = &inputOverruns;
    searching = !startSystem();
}

MidiPorts::~MidiPorts()
{
    if (backend)
        backend->silence();
    dropInput();
    dropOutput(false);
    backend.reset(); // no input arrives after this
}

// News of ports comes on the MIDI system's thread; the lists are read again
// on the GUI thread, once for a flurry.
void MidiPorts::notifyPorts()
{
    if (!refreshPending.exchange(true))
        QMetaObject::invokeMethod(this, &MidiPorts::refreshPorts, Qt::QueuedConnection);
}

// One look at a time waits on the GUI thread, however often it is asked.
void MidiPorts::queueCheck()
{
    if (!checkPending.exchange(true))
        QMetaObject::invokeMethod(this, &MidiPorts::checkSystem, Qt::QueuedConnection);
}

void MidiPorts::lookAtSystem()
{
    if (systemLost.load())
        queueCheck();
}

// A server that just went is most likely restarting: it is looked for at
// every tick for a while, then once a second, as when none ran at start.
void MidiPorts::tick()
{
    lookAtSystem();
    if (searching.load()) {
        const bool soon = quickLooks.load() > 0;
        if (soon)
            quickLooks.fetch_sub(1);
        if (soon || ++ticksSearching % 4 == 0)
            queueCheck();
    }
    if (++ticksWatching % 4 == 0)
        QMetaObject::invokeMethod(this, &MidiPorts::restartSystem, Qt::QueuedConnection);
    reportDrops();
}

void MidiPorts::setChannel(int routed)
{
    std::lock_guard<std::mutex> lock(outMutex);
    channel = routed;
    if (NoteOutput *current = output.load()) {
        current->setChannel(routed);
        current->releaseHeldNotes();
    }
}

void MidiPorts::drain()
{
    std::lock_guard<std::mutex> lock(outMutex);
    if (NoteOutput *current = output.load())
        current->drain();
}

bool MidiPorts::startSystem()
{
    backend = MidiBackend::open(wantedApi, hooks);
    if (!backend)
        return false;
    refreshPorts();
    return true;
}

// Runs a few times a second while the system is missing or went away.
void MidiPorts::checkSystem()
{
    checkPending = false;
    const QString name = MidiSystem::displayName(wantedApi);
    if (backend && backend->gone()) {
        tell(QStringLiteral("the ") + name +
             QStringLiteral(" server stopped; the ports are opened again when it is back"));
        closeSystem();
        systemGone = true;
        systemLost = false;
        searching = true;
        quickLooks = 300;
        applyPortLists({}, {}, {});
        emit systemChanged();
        return;
    }
    if (backend || !startSystem())
        return;
    if (systemGone)
        tell(QStringLiteral("the ") + name + QStringLiteral(" server is back"));
    systemBack();
}

void MidiPorts::systemBack()
{
    searching = false;
    if (wantVirtual)
        openInput(QString());
    followPorts({});
    systemGone = false;
    emit systemChanged();
}

// The system went or never ran: its ports are closed, and the notes the
// unit was left with are owed to it.
void MidiPorts::closeSystem()
{
    backend->silence();
    dropInput();
    dropOutput(true);
    backend.reset();
}

// On these machines a fresh JACK client sometimes never gets its cycle and
// passes nothing: it is opened again with the same ports and connections.
void MidiPorts::restartSystem()
{
    if (backend && backend->hasRun())
        stallSaid = false;
    if (!backend || !backend->stalled())
        return;
    // Once for a run of clients that never run, not for each.
    if (!stallSaid)
        tell(QStringLiteral("the ") + MidiSystem::displayName(wantedApi) +
             QStringLiteral(
                 " client's process cycle has not run since it started; opening it again"));
    stallSaid = true;
    closeSystem();
    if (startSystem()) {
        systemBack();
    } else {
        searching = true;
        quickLooks = 300;
    }
}

// The lists are compared here, whichever way the system told of a change.
void MidiPorts::refreshPorts()
{
    refreshPending = false;
    if (!backend)
        return;
    QStringList inputs, outputs, appeared;
    backend->listPorts(inputs, outputs, appeared);
    applyPortLists(inputs, outputs, appeared);
    followLink();
}

// A connection to the unit removed from outside: what is released meanwhile
// reaches no one and stays owed, and goes out once a connection is made
// again (by whoever makes it).
void MidiPorts::followLink()
{
    NoteOutput *current = output.load();
    if (!current || handedIn)
        return;
    const bool linked = current->linked();
    const unsigned made = current->linksMade();
    if (linked && (made != linksSeen || !outLinked)) {
        // The Note Offs written just before it was cut may have reached no
        // one either.
        std::lock_guard<std::mutex> lock(outMutex);
        current->foldReleasedLately();
        current->releaseHeldNotes();
    }
    linksSeen = made;
    if (linked == outLinked)
        return;
    outLinked = linked;
    tell(QStringLiteral("the MIDI output \"") + out.openOn +
         (linked ? QStringLiteral("\" is connected again")
                 : QStringLiteral("\" is not connected: a connection removed from outside is "
                                  "left so; the notes it misses are ended once it is back")));
    emit systemChanged();
}

void MidiPorts::applyPortLists(const QStringList &inputs, const QStringList &outputs,
                               const QStringList &appeared)
{
    const bool changed = inputs != midiInPorts || outputs != midiOutPorts;
    midiInPorts = inputs;
    midiOutPorts = outputs;
    followPorts(appeared);
    if (changed)
        emit portsChanged();
}

void MidiPorts::followPorts(const QStringList &appeared)
{
    QString target;
    // A sink handed in is no port to follow.
    const bool handedIn = outIsOpen && out.openOn.isEmpty();
    switch (handedIn ? FollowedPort::Action::None : out.next(midiOutPorts, appeared, &target)) {
    case FollowedPort::Action::Close:
        tell(QStringLiteral("the MIDI output \"") + out.openOn +
             QStringLiteral("\" has gone; it is opened again when it comes back"));
        dropOutput(true);
        emit portLost(out.chosen);
        break;
    case FollowedPort::Action::Relink:
        // Back before anyone looked: what it was left sounding is released
        // once the new link is seen (followLink).
        if (NoteOutput *current = output.load())
            current->relink();
        break;
    case FollowedPort::Action::Open:
        if (openOutput(target)) {
            tell(QStringLiteral("the MIDI output \"") + target + QStringLiteral("\" is open"));
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
        tell(QStringLiteral("the MIDI input \"") + in.openOn +
             QStringLiteral("\" has gone; it is opened again when it comes back"));
        dropInput();
        emit portLost(in.chosen);
        break;
    case FollowedPort::Action::Relink:
        // The Note Offs it had while away never came.
        releaseHeldNotes();
        backend->relinkInput();
        break;
    case FollowedPort::Action::Open:
        if (openInput(target)) {
            tell(QStringLiteral("the MIDI input \"") + target + QStringLiteral("\" is open"));
            emit portReconnected(in.chosen);
        }
        break;
    case FollowedPort::Action::None:
        break;
    }
}

// Chosen again while open there: nothing to do (a reopen would cut the
// notes it holds and wait for a fresh link again).
bool MidiPorts::isOpenOn(const FollowedPort &port, const QStringList &list,
                         const QString &name) const
{
    return port.chosen == name && !port.openOn.isEmpty() &&
           MidiSystem::matchPort(list, name) == port.openOn;
}

bool MidiPorts::openMidiIn(int index, bool createVirtual)
{
    if (!createVirtual)
        return index >= 0 && index < midiInPorts.size() && openMidiInNamed(midiInPorts.at(index));
    in.chosen.clear();
    wantVirtual = true;
    return (inIsOpen && midiInVirtual) || openInput(QString());
}

bool MidiPorts::openMidiInNamed(const QString &name)
{
    if (inIsOpen && !wantVirtual && isOpenOn(in, midiInPorts, name))
        return true;
    in.chosen = name;
    wantVirtual = false;
    const QString port = MidiSystem::matchPort(midiInPorts, name);
    if (port.isEmpty()) {
        dropInput();
        tell(QStringLiteral("the MIDI input \"") + name +
             QStringLiteral("\" is not there; it is opened when it appears"));
        return false;
    }
    return openInput(port);
}

// The named port, or the virtual input for no name.
bool MidiPorts::openInput(const QString &name)
{
    dropInput();
    if (!backend || !backend->openInput(name))
        return false;
    midiInVirtual = name.isEmpty();
    in.openOn = name;
    inIsOpen = true;
    return true;
}

bool MidiPorts::closeMidiIn()
{
    in.chosen.clear();
    wantVirtual = false;
    dropInput();
    return true;
}

// Closes the input but keeps the user's choice. The old source is cut off
// first: only once it can bring nothing more are its notes released.
void MidiPorts::dropInput()
{
    in.openOn.clear();
    inIsOpen = midiInVirtual = false;
    cutOffInput();
    // The Note Offs of what the input held will never come.
    releaseHeldNotes();
}

std::function<void()> MidiPorts::cuttingOffInput;

void MidiPorts::cutOffInput()
{
    if (cuttingOffInput)
        cuttingOffInput();
    if (backend)
        backend->closeInput();
}

bool MidiPorts::openMidiOut(int index)
{
    return index >= 0 && index < midiOutPorts.size() && openMidiOutNamed(midiOutPorts.at(index));
}

bool MidiPorts::openMidiOutNamed(const QString &name)
{
    if (outIsOpen && isOpenOn(out, midiOutPorts, name))
        return true;
    out.chosen = name;
    const QString port = MidiSystem::matchPort(midiOutPorts, name);
    if (port.isEmpty()) {
        dropOutput(false);
        tell(QStringLiteral("the MIDI output \"") + name +
             QStringLiteral("\" is not there; it is opened when it appears"));
        return false;
    }
    return openOutput(port);
}

bool MidiPorts::openOutput(const QString &name)
{
    dropOutput(false);
    NoteOutput *opened = backend ? backend->openOutput(name) : nullptr;
    if (!opened)
        return false;
    // A reused output: what it held was owed to the port it left.
    opened->takeHeld();
    attachOutput(opened);
    out.openOn = name;
    outIsOpen = true;
    outLinked = true; // connected just now
    linksSeen = opened->linksMade();
    // Notes left sounding when this unit went are released now it is back.
    const auto owedHere = owed.find(out.chosen);
    if (owedHere != owed.end()) {
        std::lock_guard<std::mutex> lock(outMutex);
        output.load()->adoptHeld(*owedHere);
        owed.erase(owedHere);
    }
    return true;
}

bool MidiPorts::closeMidiOut()
{
    out.chosen.clear();
    dropOutput(false);
    return true;
}

// lost: the port went away; the notes it was left sounding are owed to it.
// Otherwise they are released first, and the output closes once: what it
// queued goes out, then it disconnects.
void MidiPorts::dropOutput(bool lost)
{
    out.openOn.clear();
    outIsOpen = false;
    NoteOutput *current = output.load();
    if (!current)
        return;
    if (!lost)
        current->releaseHeldNotes();
    detachOutput();
    if (lost) {
        // Out of the input's reach now; what its writer still has reaches no one.
        current->drain();
        const NoteOutput::HeldTable notes = current->takeHeld();
        if (std::any_of(notes.begin(), notes.end(), [](std::uint64_t w) { return w != 0; })) {
            NoteOutput::HeldTable &entry = owed[out.chosen];
            for (std::size_t i = 0; i < entry.size(); ++i)
                entry[i] |= notes[i];
        }
    }
    if (handedIn)
        handedIn.reset();
    else if (backend)
        backend->closeOutput();
}

void MidiPorts::attachOutput(NoteOutput *next)
{
    next->setChannel(channel);
    std::lock_guard<std::mutex> lock(outMutex);
    output.store(next);
}

// Takes the output out of the input's reach.
void MidiPorts::detachOutput()
{
    {
        std::lock_guard<std::mutex> lock(outMutex);
        output.store(nullptr);
    }
    while (outputUsers.load() != 0)
        std::this_thread::yield();
}

void MidiPorts::replaceOutput(MidiSink *sink)
{
    dropOutput(false);
    if (!sink)
        return;
    handedIn = std::make_unique<ThreadedOutput>(std::unique_ptr<MidiSink>(sink));
    attachOutput(handedIn.get());
    outIsOpen = true;
}

int MidiPorts::heldNoteCount() const
{
    std::lock_guard<std::mutex> lock(outMutex);
    NoteOutput *current = output.load();
    return current ? current->heldNoteCount() : 0;
}

bool MidiPorts::send(const MidiSink::Message *messages, std::size_t count)
{
    std::lock_guard<std::mutex> lock(outMutex);
    NoteOutput *current = output.load();
    return !current || current->send(messages, count);
}

void MidiPorts::releaseHeldNotes()
{
    std::lock_guard<std::mutex> lock(outMutex);
    if (NoteOutput *current = output.load())
        current->releaseHeldNotes();
}

bool MidiPorts::panic()
{
    std::lock_guard<std::mutex> lock(outMutex);
    NoteOutput *current = output.load();
    return current && current->panic();
}

void MidiPorts::reportDrops()
{
    std::uint32_t dropped = 0;
    unsigned doubted = doubtsSeen;
    {
        std::lock_guard<std::mutex> lock(outMutex);
        if (NoteOutput *current = output.load()) {
            dropped = current->takeDropped();
            doubted = current->doubtedLinks();
        }
    }
    if (doubted > doubtsSeen)
        tell(QStringLiteral("the MIDI output was linked while the server's cycles kept failing "
                            "(xruns): what it was sent may be lost; the notes it was owed are "
                            "ended again once the cycles run clean"));
    doubtsSeen = doubted;
    if (dropped && !dropsInEpisode)
        tell(QStringLiteral(
            "the MIDI output is not taking messages (queue full); they are dropped"));
    else if (!dropped && dropsInEpisode)
        tell(QString::number(dropsInEpisode) +
             QStringLiteral(" MIDI message(s) were dropped; output flows again"));
    dropsInEpisode = dropped ? dropsInEpisode + dropped : 0;

    const std::uint32_t overrun = inputOverruns.exchange(0, std::memory_order_relaxed);
    if (overrun && !overrunning)
        tell(QStringLiteral("the MIDI input could not keep up: the MIDI system dropped messages"));
    overrunning = overrun != 0;
}

QString MidiPorts::systemName() const
{
    return MidiSystem::displayName(api());
}

QString MidiPorts::systemProblem() const
{
    if (systemGone)
        return MidiSystem::displayName(wantedApi) + QStringLiteral(" server stopped");
    if (systemName().isEmpty())
        return QStringLiteral("No MIDI system found");
    return QString();
}
