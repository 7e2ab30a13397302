#include "midi/midisystem.h"

#include "app/say.h"
#include "midi/alsasequencer.h"
#include "midi/noteoutput.h"
#include "midi/rtmidisink.h"

#include <QRegularExpression>

namespace {

constexpr const char *listInClient = "Brantolex Fixer In";
constexpr const char *listOutClient = "Brantolex Fixer Out";

QString preferredName;

template <typename Handle> void readPortNames(Handle &handle, QStringList &names)
{
    try {
        const unsigned int count = handle.getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            const QString name = MidiSystem::fromPortName(handle.getPortName(i));
            if (!MidiSystem::isOwnPort(name))
                names << name;
        }
    } catch (RtMidiError &e) {
        MidiSystem::sayError(e);
    }
}

// Looked up on the handle that opens it: indexes shift as ports come and go.
template <typename Handle> bool findPort(Handle &handle, const QString &wanted, unsigned int &port)
{
    const std::string name = MidiSystem::toPortName(wanted);
    const unsigned int count = handle.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (handle.getPortName(i) == name) {
            port = i;
            return true;
        }
    }
    say(QStringLiteral("Brantolex Fixer: the MIDI port \"%1\" is not there").arg(wanted));
    return false;
}

QString withoutNumbers(const QString &name)
{
    static const QRegularExpression numbers(QStringLiteral(" \\d+:\\d+$"));
    QString bare = name;
    bare.remove(numbers);
    return bare;
}

} // namespace

namespace MidiSystem {

bool setPreferred(const QString &system)
{
    const QString name = system.toLower();
    if (!name.isEmpty() && name != QLatin1String("alsa") && name != QLatin1String("jack"))
        return false;
    preferredName = name;
    return true;
}

QString preferred()
{
    return preferredName;
}

RtMidi::Api chosen()
{
    if (preferredName == QLatin1String("jack"))
        return RtMidi::UNIX_JACK;
    if (preferredName == QLatin1String("alsa"))
        return RtMidi::LINUX_ALSA;
#if defined(__APPLE__)
    return RtMidi::MACOSX_CORE;
#elif defined(_WIN32)
    return RtMidi::WINDOWS_MM;
#else
    return AlsaSequencer::available() ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
#endif
}

// Trying ALSA without its sequencer device only fills stderr with errors.
bool usable(RtMidi::Api api)
{
#if defined(__linux__)
    if (api == RtMidi::LINUX_ALSA)
        return AlsaSequencer::available();
#endif
    return api != RtMidi::RTMIDI_DUMMY && api != RtMidi::UNSPECIFIED;
}

QString displayName(RtMidi::Api api)
{
    switch (api) {
    case RtMidi::LINUX_ALSA:
        return QStringLiteral("ALSA");
    case RtMidi::UNIX_JACK:
        return QStringLiteral("JACK");
    case RtMidi::UNSPECIFIED:
    case RtMidi::RTMIDI_DUMMY:
        return QString();
    default:
        return QString::fromStdString(RtMidi::getApiDisplayName(api));
    }
}

QString fromPortName(const std::string &name)
{
    return QString::fromUtf8(name.data(), static_cast<int>(name.size()));
}

std::string toPortName(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool isOwnPort(const QString &name)
{
    return name.startsWith(QLatin1String(jackClient));
}

bool listPorts(RtMidi::Api api, QStringList &inputs, QStringList &outputs)
{
    try {
        RtMidiIn in(api, listInClient);
        RtMidiOut out(api, listOutClient);
        readPortNames(in, inputs);
        readPortNames(out, outputs);
        return true;
    } catch (RtMidiError &e) {
        MidiSystem::sayError(e);
        return false;
    }
}

QString matchPort(const QStringList &ports, const QString &wanted)
{
    if (wanted.isEmpty())
        return QString();
    if (ports.contains(wanted))
        return wanted;
    // Either name may carry the numbers: the stored one as --list-ports
    // printed it, or not, as aconnect -l shows it.
    const QString bare = withoutNumbers(wanted);
    for (const QString &port : ports)
        if (withoutNumbers(port) == bare)
            return port;
    return QString();
}

std::unique_ptr<RtMidiIn> openInput(RtMidi::Api api, const QString &name,
                                    RtMidiIn::RtMidiCallback callback, void *user)
{
    std::unique_ptr<RtMidiIn> in;
    try {
        in = std::make_unique<RtMidiIn>(api, inClient);
        unsigned int port = 0;
        if (name.isEmpty())
            in->openVirtualPort(virtualInPortName);
        else if (findPort(*in, name, port))
            in->openPort(port, inPortName);
        else
            return nullptr;
        // The filter decides on every type itself.
        in->ignoreTypes(false, false, true);
        in->setCallback(callback, user);
    } catch (RtMidiError &e) {
        // A handle that failed half-way is never used again.
        MidiSystem::sayError(e);
        return nullptr;
    }
    return in;
}

void closeInput(std::unique_ptr<RtMidiIn> in)
{
    if (!in)
        return;
    // The callback is not cancelled: RtMidi clears it unsynchronised while
    // its thread may be calling it. Closing and deleting stop that thread.
    try {
        in->closePort();
    } catch (RtMidiError &e) {
        MidiSystem::sayError(e);
    }
}

std::unique_ptr<NoteOutput> openOutput(RtMidi::Api api, const QString &name)
{
    std::unique_ptr<RtMidiOut> out;
    try {
        out = std::make_unique<RtMidiOut>(api, outClient);
        unsigned int port = 0;
        if (!findPort(*out, name, port))
            return nullptr;
        out->openPort(port, outPortName);
    } catch (RtMidiError &e) {
        MidiSystem::sayError(e);
        return nullptr;
    }
    return std::make_unique<ThreadedOutput>(std::make_unique<RtMidiSink>(std::move(out)));
}

void sayError(const RtMidiError &error)
{
    say(QStringLiteral("Brantolex Fixer: MIDI library: %1")
            .arg(QString::fromStdString(error.getMessage()).trimmed()));
}

} // namespace MidiSystem
