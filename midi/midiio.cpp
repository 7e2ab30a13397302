#include "midi/midiio.h"

#include "midi/jackmidisink.h"
#include "midi/jackwatch.h"
#include "midi/portpoller.h"
#include "midi/rtmidisink.h"
#include "midi/timer.h"

#include <iostream>
#include <memory>

#if defined(__linux__)
#include <unistd.h>
#endif

namespace {

struct Plugin
{
    const char *name;
    int loadingTime; // ms
};

constexpr Plugin plugins[MidiIO::pluginCount] = {
    {"VARKONI", 2000}, {"TESSEL", 1500}, {"ORMALINE", 3000}, {"QUENDRA", 3000},
    {"BALTRIX", 2300}, {"ZOLA-7", 2100}, {"MERIDOX", 1900},  {"KAVOLINE", 1500},
};

constexpr unsigned char firstPluginProgram = 101;
constexpr unsigned char pluginSelectKey = 64;
constexpr unsigned char noData = 255;
constexpr int programCount = 100;

constexpr const char *listInClient = "Brantolex Fixer In";
constexpr const char *listOutClient = "Brantolex Fixer Out";
constexpr const char *inClient = "Brantolex helper input";
constexpr const char *inPortName = "RtMidi Input";
constexpr const char *virtualInPortName = "Brantolex helper virtual input";
constexpr const char *outClient = "Brantolex helper output";
constexpr const char *outPortName = "RtMidi Output";

QString preferred; // "alsa", "jack" or empty

RtMidi::Api platformDefaultApi()
{
    if (preferred == QLatin1String("jack"))
        return RtMidi::UNIX_JACK;
    if (preferred == QLatin1String("alsa"))
        return RtMidi::LINUX_ALSA;
#if defined(__APPLE__)
    return RtMidi::MACOSX_CORE;
#elif defined(_WIN32)
    return RtMidi::WINDOWS_MM;
#else
    return RtMidi::LINUX_ALSA;
#endif
}

// Trying ALSA without its sequencer device only fills stderr with errors.
bool usable(RtMidi::Api api)
{
#if defined(__linux__)
    if (api == RtMidi::LINUX_ALSA)
        return access("/dev/snd/seq", R_OK | W_OK) == 0;
#endif
    (void)api;
    return true;
}

// The platform's own MIDI system first, then every other compiled one; the
// dummy API only when nothing else is there.
std::vector<RtMidi::Api> candidateApis()
{
    std::vector<RtMidi::Api> all;
    RtMidi::getCompiledApi(all);
    std::vector<RtMidi::Api> compiled;
    for (RtMidi::Api api : all)
        if (usable(api))
            compiled.push_back(api);
    std::vector<RtMidi::Api> order;
    const RtMidi::Api preferred = platformDefaultApi();
    for (RtMidi::Api api : compiled)
        if (api == preferred)
            order.push_back(api);
    for (RtMidi::Api api : compiled)
        if (api != preferred && api != RtMidi::RTMIDI_DUMMY)
            order.push_back(api);
    for (RtMidi::Api api : compiled)
        if (api == RtMidi::RTMIDI_DUMMY)
            order.push_back(api);
    return order;
}

// Makes a listing handle on the router's API, choosing that API on first use.
template <typename Handle>
std::unique_ptr<Handle> makeListingHandle(RtMidi::Api &api, const char *clientName)
{
    if (api != RtMidi::UNSPECIFIED) {
        try {
            return std::make_unique<Handle>(api, clientName);
        } catch (RtMidiError &e) {
            e.printMessage();
            return nullptr;
        }
    }
    for (RtMidi::Api candidate : candidateApis()) {
        try {
            auto handle = std::make_unique<Handle>(candidate, clientName);
            api = candidate;
            return handle;
        } catch (RtMidiError &e) {
            e.printMessage();
        }
    }
    return nullptr;
}

// Port names as the MIDI system gives them: UTF-8.
QString fromPortName(const std::string &name)
{
    return QString::fromUtf8(name.data(), static_cast<int>(name.size()));
}

std::string toPortName(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The router's own ports are no place to route to or from.
bool isOwnPort(const QString &name)
{
    return name.startsWith(QLatin1String(inClient)) || name.startsWith(QLatin1String(outClient));
}

void addPort(QStringList &names, const std::string &port)
{
    const QString name = fromPortName(port);
    if (!isOwnPort(name))
        names << name;
}

template <typename Handle> void readPortNames(Handle &handle, QStringList &names)
{
    try {
        const unsigned int count = handle.getPortCount();
        for (unsigned int i = 0; i < count; ++i)
            addPort(names, handle.getPortName(i));
    } catch (RtMidiError &e) {
        e.printMessage();
    }
}

// Indexes shift when ports come and go: open the port that carries the
// name, never a stranger.
template <typename Handle> bool findPort(Handle &handle, const QString &wanted, unsigned int &port)
{
    const std::string name = toPortName(wanted);
    const unsigned int count = handle.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (handle.getPortName(i) == name) {
            port = i;
            return true;
        }
    }
    std::cerr << "Brantolex Fixer: the MIDI port \"" << name << "\" is not there\n";
    return false;
}

bool isNoteOn(const unsigned char *bytes, std::size_t size)
{
    return size >= 3 && (bytes[0] & 0xF0) == 0x90 && bytes[2] != 0;
}

} // namespace

MidiIO::MidiIO() : QObject(nullptr)
{
    callbackCell = new MidiIO *(this);
    timer = new Timer(this, 3000);
    connect(timer, &Timer::timerDone, this, &MidiIO::sendCurProgChange);
    for (int i = 0; i < pluginCount; ++i)
        loadingTimes[i] = plugins[i].loadingTime;
    readMidiInPorts();
    readMidiOutPorts();
    watchPorts();
}

MidiIO::~MidiIO()
{
    // No news of ports may arrive while the router goes.
    delete portPoller;
    portPoller = nullptr;
    if (serverWatch)
        serverWatch->silence();
    closeMidiIn();
    closeMidiOut();
    delete timer;
    delete serverWatch;
    delete callbackCell;
}

void MidiIO::readMidiInPorts()
{
    if (auto in = makeListingHandle<RtMidiIn>(midiApi, listInClient))
        readPortNames(*in, midiInPorts);
}

void MidiIO::readMidiOutPorts()
{
    if (auto out = makeListingHandle<RtMidiOut>(midiApi, listOutClient))
        readPortNames(*out, midiOutPorts);
}

// JACK announces ports that come and go; other systems are asked every
// half second, off the GUI thread. Either way the lists are compared on the
// GUI thread.
void MidiIO::watchPorts()
{
    if (midiApi == RtMidi::UNIX_JACK) {
        // Without a server (or a client slot) there is nothing to watch.
        auto watch = std::make_unique<JackWatch>([this] {
            if (!refreshPending.exchange(true))
                QMetaObject::invokeMethod(this, &MidiIO::refreshPorts, Qt::QueuedConnection);
        });
        if (watch->watching())
            serverWatch = watch.release();
        return;
    }
    if (midiApi == RtMidi::UNSPECIFIED || midiApi == RtMidi::RTMIDI_DUMMY)
        return;
    const RtMidi::Api api = midiApi;
    auto in = std::make_shared<std::unique_ptr<RtMidiIn>>();
    auto out = std::make_shared<std::unique_ptr<RtMidiOut>>();
    portPoller = new PortPoller(
        [api, in, out](QStringList &inputs, QStringList &outputs) {
            try {
                if (!*in)
                    *in = std::make_unique<RtMidiIn>(api, listInClient);
                if (!*out)
                    *out = std::make_unique<RtMidiOut>(api, listOutClient);
            } catch (RtMidiError &e) {
                e.printMessage();
                return;
            }
            readPortNames(**in, inputs);
            readPortNames(**out, outputs);
        },
        [this](const QStringList &inputs, const QStringList &outputs) {
            QMetaObject::invokeMethod(
                this, [this, inputs, outputs] { applyPortLists(inputs, outputs); },
                Qt::QueuedConnection);
        });
}

void MidiIO::refreshPorts()
{
    refreshPending = false;
    if (!serverWatch)
        return;
    QStringList inputs, outputs;
    for (const std::string &name : serverWatch->midiPorts(true))
        addPort(inputs, name);
    for (const std::string &name : serverWatch->midiPorts(false))
        addPort(outputs, name);
    applyPortLists(inputs, outputs);
}

void MidiIO::applyPortLists(const QStringList &inputs, const QStringList &outputs)
{
    const bool changed = inputs != midiInPorts || outputs != midiOutPorts;
    midiInPorts = inputs;
    midiOutPorts = outputs;
    followChosenPorts();
    if (changed)
        emit portsChanged();
}

// A chosen port that went away is closed; one that is there and not open
// (back again, or absent when chosen) is opened.
void MidiIO::followChosenPorts()
{
    if (midiOut && !outTarget.isEmpty() && !midiOutPorts.contains(outTarget)) {
        const QString gone = outTarget;
        replaceOutput(nullptr);
        std::cerr << "Brantolex Fixer: the MIDI output \"" << toPortName(gone)
                  << "\" has gone; it is opened again when it comes back\n";
        emit portLost(gone);
    } else if (auto *sink = dynamic_cast<JackMidiSink *>(midiOut)) {
        // Gone and back between two looks: the connection went with it.
        // Another client may see a new connection a cycle late, so this
        // asks the server, which knows.
        sink->relink();
    }
    if (midiIn && !midiInVirtual && !midiInPorts.contains(inSource)) {
        const QString gone = inSource;
        dropInput();
        std::cerr << "Brantolex Fixer: the MIDI input \"" << toPortName(gone)
                  << "\" has gone; it is opened again when it comes back\n";
        emit portLost(gone);
    }
    if (!outputOpen() && !chosenOut.isEmpty() && midiOutPorts.contains(chosenOut) &&
        openOutput(chosenOut)) {
        std::cerr << "Brantolex Fixer: the MIDI output \"" << toPortName(chosenOut)
                  << "\" is back and open\n";
        emit portReconnected(chosenOut);
    }
    if (!midiIn && !chosenIn.isEmpty() && midiInPorts.contains(chosenIn) && openInput(chosenIn)) {
        std::cerr << "Brantolex Fixer: the MIDI input \"" << toPortName(chosenIn)
                  << "\" is back and open\n";
        emit portReconnected(chosenIn);
    }
}

bool MidiIO::openMidiIn(int index, bool createVirtual)
{
    if (!createVirtual)
        return index >= 0 && index < midiInPorts.size() && openMidiInNamed(midiInPorts.at(index));
    chosenIn.clear();
    return openInput(QString());
}

bool MidiIO::openMidiInNamed(const QString &name)
{
    chosenIn = name;
    if (!midiInPorts.contains(name)) {
        dropInput();
        std::cerr << "Brantolex Fixer: the MIDI input \"" << toPortName(name)
                  << "\" is not there; it is opened when it appears\n";
        return false;
    }
    return openInput(name);
}

// The named port, or the virtual input for no name.
bool MidiIO::openInput(const QString &name)
{
    dropInput();
    if (serverWatch && serverWatch->serverGone()) {
        std::cerr << "Brantolex Fixer: the JACK server has gone away; no MIDI input opened\n";
        return false;
    }
    std::unique_ptr<RtMidiIn> in;
    try {
        in = std::make_unique<RtMidiIn>(midiApi, inClient);
        unsigned int port = 0;
        if (name.isEmpty())
            in->openVirtualPort(virtualInPortName);
        else if (findPort(*in, name, port))
            in->openPort(port, inPortName);
        else
            return false;
        in->ignoreTypes(ignoreSysex, ignoreClockMessages, true);
        in->setCallback(&MidiIO::midiInCallback, callbackCell);
    } catch (RtMidiError &e) {
        // A handle that failed half-way is never used again.
        e.printMessage();
        return false;
    }
    midiIn = in.release();
    midiInVirtual = name.isEmpty();
    inSource = name;
    return true;
}

bool MidiIO::openMidiOut(int index)
{
    return index >= 0 && index < midiOutPorts.size() && openMidiOutNamed(midiOutPorts.at(index));
}

bool MidiIO::openMidiOutNamed(const QString &name)
{
    chosenOut = name;
    if (!midiOutPorts.contains(name)) {
        replaceOutput(nullptr);
        std::cerr << "Brantolex Fixer: the MIDI output \"" << toPortName(name)
                  << "\" is not there; it is opened when it appears\n";
        return false;
    }
    return openOutput(name);
}

bool MidiIO::openOutput(const QString &name)
{
    replaceOutput(nullptr);
    if (serverWatch && serverWatch->serverGone()) {
        std::cerr << "Brantolex Fixer: the JACK server has gone away; no MIDI output opened\n";
        return false;
    }
    if (midiApi == RtMidi::UNIX_JACK) {
        // Our own output: RtMidi's drops what does not fit a cycle.
        auto sink = JackMidiSink::open(outClient, outPortName, toPortName(name));
        if (!sink)
            return false;
        replaceOutput(sink.release());
        outTarget = name;
        return true;
    }
    std::unique_ptr<RtMidiOut> out;
    try {
        out = std::make_unique<RtMidiOut>(midiApi, outClient);
        unsigned int port = 0;
        if (!findPort(*out, name, port))
            return false;
        out->openPort(port, outPortName);
    } catch (RtMidiError &e) {
        e.printMessage();
        return false;
    }
    replaceOutput(new RtMidiSink(std::move(out)));
    outTarget = name;
    return true;
}

bool MidiIO::closeMidiIn()
{
    chosenIn.clear();
    dropInput();
    return true;
}

// Closes the input but keeps the user's choice.
void MidiIO::dropInput()
{
    inSource.clear();
    if (midiIn)
        deleteInput();
    // The Note Offs of what the input held will never come.
    std::lock_guard<std::mutex> lock(outMutex);
    releaseHeldNotesLocked();
}

void MidiIO::deleteInput()
{
    std::unique_ptr<RtMidiIn> in(midiIn);
    midiIn = nullptr;
    midiInVirtual = false;
    if (serverWatch && serverWatch->serverGone()) {
        // Only clears RtMidi's own fields: safe without a server, and no
        // message reaches the router once it is gone.
        in->cancelCallback();
        JackWatch::keepUnclosed(std::move(in));
    } else {
        // The callback is not cancelled: RtMidi clears it unsynchronised
        // while its thread may be calling it. Closing the port and deleting
        // the handle stop that thread; the router outlives both.
        try {
            in->closePort();
        } catch (RtMidiError &e) {
            e.printMessage();
        }
        in.reset();
    }
}

bool MidiIO::closeMidiOut()
{
    chosenOut.clear();
    replaceOutput(nullptr);
    return true;
}

void MidiIO::replaceOutput(MidiSink *sink)
{
    MidiSink *old;
    {
        std::lock_guard<std::mutex> lock(outMutex);
        releaseHeldNotesLocked();
        old = midiOut;
        midiOut = sink;
    }
    outTarget.clear();
    // No send can reach the old handle any more; closing it lets what it
    // queued go out first, which may take a few cycles.
    delete old;
}

bool MidiIO::outputOpen() const
{
    std::lock_guard<std::mutex> lock(outMutex);
    return midiOut != nullptr;
}

void MidiIO::setMidiChannel(int channel)
{
    std::lock_guard<std::mutex> lock(outMutex);
    if (midiChannel.exchange(channel - 1) != channel - 1)
        releaseHeldNotesLocked();
}

int MidiIO::heldNoteCount() const
{
    std::lock_guard<std::mutex> lock(outMutex);
    return int(heldNotes.count());
}

void MidiIO::setTranslateCC0(bool on)
{
    translateCC0 = on;
}

void MidiIO::setIgnoreSysex(bool ignore)
{
    ignoreSysex = ignore;
    if (midiIn)
        midiIn->ignoreTypes(ignoreSysex, ignoreClockMessages, true);
}

void MidiIO::setIgnoreClockMessages(bool ignore)
{
    ignoreClockMessages = ignore;
    if (midiIn)
        midiIn->ignoreTypes(ignoreSysex, ignoreClockMessages, true);
}

void MidiIO::setLoadingTimes(int t0, int t1, int t2, int t3, int t4, int t5, int t6, int t7)
{
    const int times[pluginCount] = {t0, t1, t2, t3, t4, t5, t6, t7};
    for (int i = 0; i < pluginCount; ++i)
        loadingTimes[i] = times[i];
}

int MidiIO::loadingTime(int index) const
{
    return index >= 0 && index < pluginCount ? loadingTimes[index].load() : 0;
}

QString MidiIO::pluginName(int index)
{
    return index >= 0 && index < pluginCount ? QString::fromLatin1(plugins[index].name) : QString();
}

bool MidiIO::forward(const unsigned char *bytes, std::size_t size)
{
    const MidiSink::Message message{bytes, size};
    std::lock_guard<std::mutex> lock(outMutex);
    return sendLocked(&message, 1);
}

void MidiIO::forwardInput(const unsigned char *bytes, std::size_t size)
{
    const MidiSink::Message message{bytes, size};
    std::lock_guard<std::mutex> lock(outMutex);
    // A note that passed the channel check just before the channel changed:
    // its Note Off would never be routed.
    if (isNoteOn(bytes, size) && (bytes[0] & 0x0F) != midiChannel)
        return;
    sendLocked(&message, 1);
}

bool MidiIO::sendLocked(const MidiSink::Message *messages, std::size_t count)
{
    if (!midiOut)
        return true;
    bool sent = false;
    try {
        sent = midiOut->sendMessages(messages, count);
    } catch (RtMidiError &e) {
        e.printMessage();
    }
    if (sent)
        for (std::size_t i = 0; i < count; ++i)
            noteSent(messages[i].bytes, messages[i].size);
    return sent;
}

void MidiIO::noteSent(const unsigned char *bytes, std::size_t size)
{
    const unsigned char kind = bytes[0] & 0xF0;
    if (size < 3 || (kind != 0x80 && kind != 0x90))
        return;
    const std::size_t note = std::size_t(bytes[0] & 0x0F) * 128 + (bytes[1] & 0x7F);
    heldNotes.set(note, kind == 0x90 && bytes[2] != 0);
}

void MidiIO::releaseHeldNotesLocked()
{
    if (heldNotes.none())
        return;
    for (std::size_t note = 0; note < heldNotes.size(); ++note) {
        if (!heldNotes.test(note) || !midiOut)
            continue;
        const unsigned char off[3] = {static_cast<unsigned char>(0x80 | note / 128),
                                      static_cast<unsigned char>(note % 128), 0};
        try {
            midiOut->sendMessage(off, sizeof off);
        } catch (RtMidiError &e) {
            e.printMessage();
        }
    }
    heldNotes.reset();
}

bool MidiIO::sendMidiMessage(unsigned char type, unsigned char channel, unsigned char data1,
                             unsigned char data2)
{
    const unsigned char message[3] = {static_cast<unsigned char>(type + channel), data1, data2};
    return forward(message, data2 == noData ? 2 : 3);
}

bool MidiIO::sendProgramChange(unsigned char program)
{
    return sendMidiMessage(0xC0, static_cast<unsigned char>(midiChannel.load()), program, noData);
}

// The selection and its two trigger notes reach the unit together or not at all.
bool MidiIO::sendSelection(int plugin)
{
    const auto channel = static_cast<unsigned char>(midiChannel.load());
    const unsigned char select[2] = {static_cast<unsigned char>(0xC0 + channel),
                                     static_cast<unsigned char>(firstPluginProgram + plugin)};
    const unsigned char on[3] = {static_cast<unsigned char>(0x90 + channel), pluginSelectKey, 127};
    const unsigned char off[3] = {static_cast<unsigned char>(0x90 + channel), pluginSelectKey, 0};
    const MidiSink::Message messages[3] = {{select, 2}, {on, 3}, {off, 3}};
    std::lock_guard<std::mutex> lock(outMutex);
    return sendLocked(messages, 3);
}

void MidiIO::midiInCallback(double timeStamp, std::vector<unsigned char> *message, void *userData)
{
    Q_UNUSED(timeStamp);
    if (!message || !userData)
        return;
    MidiIO *router = *static_cast<MidiIO **>(userData);
    router->filter(*message);
}

void MidiIO::filter(const std::vector<unsigned char> &message)
{
    if (message.empty())
        return;
    const unsigned char status = message[0];

    if (status == 0xF0) {
        if (!ignoreSysex)
            forwardInput(message.data(), message.size());
        return;
    }
    if (status == 0xF1 || status == 0xF2 || status == 0xF3 || status == 0xF8) {
        if (!ignoreClockMessages)
            forwardInput(message.data(), message.size());
        return;
    }
    // Active Sensing is never routed. RtMidi is told to drop it on input, but
    // not every one of its back-ends does.
    if (status == 0xFE)
        return;
    if ((status & 0x0F) != midiChannel)
        return;

    if (!translateCC0) {
        if (!isLoadingPlugin)
            forwardInput(message.data(), message.size());
        return;
    }

    switch (status & 0xF0) {
    case 0x80:
    case 0x90:
    case 0xA0:
    case 0xD0:
    case 0xE0:
        if (!isLoadingPlugin)
            forwardInput(message.data(), message.size());
        return;
    case 0xB0:
        if (message.size() < 3)
            return;
        if (message[1] != 0) {
            if (!isLoadingPlugin)
                forwardInput(message.data(), message.size());
            return;
        }
        if (message[2] < pluginCount) {
            std::lock_guard<std::mutex> lock(switchMutex);
            reqPlugin = message[2];
        }
        return;
    case 0xC0: {
        if (message.size() < 2 || message[1] >= programCount)
            return;
        Switched done;
        {
            std::lock_guard<std::mutex> lock(switchMutex);
            reqProg = message[1];
            if (!isLoadingPlugin)
                done = switchPluginLocked();
        }
        finishSwitch(done);
        return;
    }
    default:
        return;
    }
}

void MidiIO::switchPlugin()
{
    Switched done;
    {
        std::lock_guard<std::mutex> lock(switchMutex);
        done = switchPluginLocked();
    }
    finishSwitch(done);
}

MidiIO::Switched MidiIO::switchPluginLocked()
{
    const int program = reqProg;
    const int plugin = reqPlugin;
    if (curPlugin == plugin) {
        if (!sendProgramChange(static_cast<unsigned char>(program))) {
            // The label keeps showing the program the unit really has.
            std::cerr << "Brantolex Fixer: program " << program + 1
                      << " could not be sent to the unit\n";
            return {Emit::None, 0};
        }
        curProg = program;
        return {Emit::Program, 0};
    }
    const bool wasLoading = isLoadingPlugin.exchange(true);
    if (!sendSelection(plugin)) {
        // Nothing reached the unit: it keeps its plug-in, and the request
        // stands for the next Program Change.
        isLoadingPlugin = false;
        std::cerr << "Brantolex Fixer: the plug-in " << plugins[plugin].name
                  << " could not be selected on the unit\n";
        return {wasLoading ? Emit::Loaded : Emit::None, 0};
    }
    curPlugin = plugin;
    return {Emit::Switch, loadingTimes[plugin].load()};
}

void MidiIO::finishSwitch(Switched done)
{
    switch (done.what) {
    case Emit::None:
        return;
    case Emit::Program:
        emit programmChanged();
        return;
    case Emit::Loaded:
        emit setIsLoadingPlugin(false);
        emit programmChanged();
        return;
    case Emit::Switch:
        // Signals first: their queued events then reach the window before a
        // short wait's timerDone() can end the load.
        emit pluginChanged();
        emit setIsLoadingPlugin(true);
        timer->startWait(done.wait);
        return;
    }
}

void MidiIO::sendCurProgChange()
{
    Switched done;
    bool loaded = false;
    {
        std::lock_guard<std::mutex> lock(switchMutex);
        if (reqPlugin != curPlugin) {
            done = switchPluginLocked();
        } else {
            const int program = reqProg;
            if (sendProgramChange(static_cast<unsigned char>(program)))
                curProg = program;
            else
                // The label keeps showing the program the unit really has.
                std::cerr << "Brantolex Fixer: program " << program + 1
                          << " could not be sent to the unit after loading\n";
            isLoadingPlugin = false;
            loaded = true;
        }
    }
    if (loaded) {
        emit setIsLoadingPlugin(false);
        emit programmChanged();
    } else {
        finishSwitch(done);
    }
}

QString MidiIO::getPGAndPluginName() const
{
    const int plugin = curPlugin;
    const int program = curProg;
    if (plugin >= 0 && plugin < pluginCount)
        return QString::fromLatin1(plugins[plugin].name) + QLatin1String(" - ") +
               QString::number(program + 1);
    return QString::number(program) + QLatin1String(": undefind plugin");
}

bool MidiIO::setPreferredSystem(const QString &system)
{
    const QString name = system.toLower();
    if (!name.isEmpty() && name != QLatin1String("alsa") && name != QLatin1String("jack"))
        return false;
    preferred = name;
    return true;
}

QString MidiIO::preferredSystem()
{
    return preferred;
}

QString MidiIO::systemName() const
{
    switch (midiApi) {
    case RtMidi::LINUX_ALSA:
        return QStringLiteral("ALSA");
    case RtMidi::UNIX_JACK:
        return QStringLiteral("JACK");
    case RtMidi::UNSPECIFIED:
    case RtMidi::RTMIDI_DUMMY:
        return QString();
    default:
        return QString::fromStdString(RtMidi::getApiDisplayName(midiApi));
    }
}

QString MidiIO::systemProblem() const
{
    if (systemName().isEmpty())
        return QStringLiteral("No MIDI system found");
    if (serverWatch && serverWatch->serverGone())
        return QStringLiteral("JACK server stopped");
    return QString();
}
