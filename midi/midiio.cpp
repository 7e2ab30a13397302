#include "midi/midiio.h"

#include "midi/jackwatch.h"
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

RtMidi::Api platformDefaultApi()
{
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

template <typename Handle> void readPortNames(Handle &handle, QStringList &names)
{
    try {
        const unsigned int count = handle.getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            const std::string name = handle.getPortName(i);
            names << QString::fromUtf8(name.data(), static_cast<int>(name.size()));
        }
    } catch (RtMidiError &e) {
        e.printMessage();
    }
}

// The lists were read at start-up and indexes shift when ports come and go:
// open the port that still carries the listed name, never a stranger.
template <typename Handle>
bool findListedPort(Handle &handle, const QStringList &names, int index, unsigned int &port)
{
    const QByteArray wanted = names.at(index).toUtf8();
    const std::string name(wanted.constData(), static_cast<std::size_t>(wanted.size()));
    const unsigned int count = handle.getPortCount();
    if (static_cast<unsigned int>(index) < count &&
        handle.getPortName(static_cast<unsigned int>(index)) == name) {
        port = static_cast<unsigned int>(index);
        return true;
    }
    for (unsigned int i = 0; i < count; ++i) {
        if (handle.getPortName(i) == name) {
            port = i;
            return true;
        }
    }
    std::cerr << "Brantolex Fixer: the MIDI port \"" << name << "\" is no longer there\n";
    return false;
}

// A watch that could not make its client (the server's client limit, say)
// tells nothing; the port then goes without one.
std::unique_ptr<JackWatch> makeWatch(RtMidi::Api api)
{
    if (api != RtMidi::UNIX_JACK)
        return nullptr;
    auto watch = std::make_unique<JackWatch>();
    return watch->watching() ? std::move(watch) : nullptr;
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
}

MidiIO::~MidiIO()
{
    closeMidiIn();
    closeMidiOut();
    delete timer;
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

bool MidiIO::openMidiIn(int index, bool createVirtual)
{
    if (!createVirtual && (index < 0 || index >= midiInPorts.size()))
        return false;
    closeMidiIn();
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<JackWatch> watch;
    try {
        watch = makeWatch(midiApi);
        in = std::make_unique<RtMidiIn>(midiApi, inClient);
        unsigned int port = 0;
        if (createVirtual)
            in->openVirtualPort(virtualInPortName);
        else if (findListedPort(*in, midiInPorts, index, port))
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
    midiInWatch = watch.release();
    midiInVirtual = createVirtual;
    return true;
}

bool MidiIO::openMidiOut(int index)
{
    if (index < 0 || index >= midiOutPorts.size())
        return false;
    closeMidiOut();
    std::unique_ptr<RtMidiOut> out;
    std::unique_ptr<JackWatch> watch;
    try {
        watch = makeWatch(midiApi);
        out = std::make_unique<RtMidiOut>(midiApi, outClient);
        unsigned int port = 0;
        if (!findListedPort(*out, midiOutPorts, index, port))
            return false;
        out->openPort(port, outPortName);
    } catch (RtMidiError &e) {
        e.printMessage();
        return false;
    }
    replaceOutput(new RtMidiSink(std::move(out), std::move(watch)));
    return true;
}

bool MidiIO::closeMidiIn()
{
    if (midiIn) {
        std::unique_ptr<RtMidiIn> in(midiIn);
        std::unique_ptr<JackWatch> watch(midiInWatch);
        midiIn = nullptr;
        midiInWatch = nullptr;
        midiInVirtual = false;
        if (watch && watch->serverGone()) {
            // Only clears RtMidi's own fields: safe without a server, and no
            // message reaches the router once it is gone.
            in->cancelCallback();
            JackWatch::keepUnclosed(std::move(in));
            JackWatch::keepUnclosed(std::move(watch));
            return true;
        }
        try {
            in->cancelCallback();
            in->closePort();
        } catch (RtMidiError &e) {
            e.printMessage();
        }
    }
    return true;
}

bool MidiIO::closeMidiOut()
{
    replaceOutput(nullptr);
    return true;
}

void MidiIO::replaceOutput(MidiSink *sink)
{
    MidiSink *old;
    {
        std::lock_guard<std::mutex> lock(outMutex);
        old = midiOut;
        midiOut = sink;
    }
    // No send can reach the old handle any more; closing it may take a while.
    delete old;
}

bool MidiIO::outputOpen() const
{
    std::lock_guard<std::mutex> lock(outMutex);
    return midiOut != nullptr;
}

void MidiIO::setMidiChannel(int channel)
{
    midiChannel = channel - 1;
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

void MidiIO::forward(const unsigned char *bytes, std::size_t size)
{
    std::lock_guard<std::mutex> lock(outMutex);
    if (!midiOut)
        return;
    try {
        midiOut->sendMessage(bytes, size);
    } catch (RtMidiError &e) {
        e.printMessage();
    }
}

void MidiIO::sendMidiMessage(unsigned char type, unsigned char channel, unsigned char data1,
                             unsigned char data2)
{
    const unsigned char message[3] = {static_cast<unsigned char>(type + channel), data1, data2};
    forward(message, data2 == noData ? 2 : 3);
}

void MidiIO::sendProgramChange(unsigned char program)
{
    sendMidiMessage(0xC0, static_cast<unsigned char>(midiChannel.load()), program, noData);
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
            forward(message.data(), message.size());
        return;
    }
    if (status == 0xF1 || status == 0xF2 || status == 0xF3 || status == 0xF8) {
        if (!ignoreClockMessages)
            forward(message.data(), message.size());
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
            forward(message.data(), message.size());
        return;
    }

    switch (status & 0xF0) {
    case 0x80:
    case 0x90:
    case 0xA0:
    case 0xD0:
    case 0xE0:
        if (!isLoadingPlugin)
            forward(message.data(), message.size());
        return;
    case 0xB0:
        if (message.size() < 3)
            return;
        if (message[1] != 0) {
            if (!isLoadingPlugin)
                forward(message.data(), message.size());
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
        sendProgramChange(static_cast<unsigned char>(program));
        curProg = program;
        return {Emit::Program, 0};
    }
    isLoadingPlugin = true;
    curPlugin = plugin;
    const auto channel = static_cast<unsigned char>(midiChannel.load());
    sendMidiMessage(0xC0, channel, static_cast<unsigned char>(firstPluginProgram + plugin), noData);
    sendMidiMessage(0x90, channel, pluginSelectKey, 127);
    sendMidiMessage(0x90, channel, pluginSelectKey, 0);
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
            sendProgramChange(static_cast<unsigned char>(program));
            curProg = program;
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
