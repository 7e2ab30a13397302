#include "midipeers.h"

#include "alsapeers.h"
#include "jackpeers.h"

#include "midi/midiio.h"

#include <QTest>

#include <jack/jack.h>

#include <unistd.h>

namespace testbackend {

Kind kind()
{
    const QByteArray name = qgetenv("BRANTOLEX_TEST_BACKEND");
    if (name == "alsa")
        return Kind::Alsa;
    if (name == "pipewire")
        return Kind::PipeWire;
    return Kind::Jack;
}

bool isAlsa()
{
    return kind() == Kind::Alsa;
}

bool isPipeWire()
{
    return kind() == Kind::PipeWire;
}

QString name()
{
    switch (kind()) {
    case Kind::Alsa:
        return QStringLiteral("ALSA");
    case Kind::PipeWire:
        return QStringLiteral("PipeWire's JACK");
    case Kind::Jack:
        break;
    }
    return QStringLiteral("JACK");
}

QString systemName()
{
    return isAlsa() ? QStringLiteral("ALSA") : QStringLiteral("JACK");
}

RtMidi::Api api()
{
    return isAlsa() ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

QString select()
{
    qInfo("back-end: %s", qPrintable(name()));
    const QByteArray asked = qgetenv("BRANTOLEX_TEST_BACKEND");
    if (!asked.isEmpty() && asked != "jack" && asked != "alsa" && asked != "pipewire")
        return QStringLiteral("BRANTOLEX_TEST_BACKEND is '%1', not jack, alsa or pipewire")
            .arg(QString::fromLatin1(asked));
    MidiIO::setPreferredSystem(isAlsa() ? QStringLiteral("alsa") : QStringLiteral("jack"));
    if (isAlsa()) {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0)
            return QStringLiteral("no ALSA sequencer here (/dev/snd/seq): the ALSA tests run in "
                                  "the guest of tests/alsa-vm.sh");
        return QString();
    }
    if (kind() == Kind::Jack && qEnvironmentVariableIsEmpty("JACK_DEFAULT_SERVER"))
        return QStringLiteral("these tests need the private JACK server of the test suite");
    jack_client_t *client = jack_client_open("Test Lister", JackNoStartServer, nullptr);
    if (!client)
        return QStringLiteral("the JACK server does not answer");
    jack_client_close(client);
    return QString();
}

QString routerVirtualInput()
{
    return isAlsa() ? QStringLiteral("Brantolex helper input:Brantolex helper virtual input")
                    : QStringLiteral("Brantolex helper:Brantolex helper virtual input");
}

Bytes asSent(Bytes message)
{
    if (isPipeWire() && message.size() == 3 && (message[0] & 0xF0) == 0x80 && message[2] == 0x40)
        message = {static_cast<unsigned char>(0x90 | (message[0] & 0x0F)), message[1], 0};
    return message;
}

} // namespace testbackend

PeerSource::PeerSource(const std::string &client) : client(client)
{
    plugIn();
}

PeerSource::~PeerSource() = default;

QString PeerSource::portName() const
{
    if (alsa)
        return alsa->portName();
    return jack ? JackSource::portName(client) : QString();
}

bool PeerSource::send(const Bytes &message)
{
    if (alsa)
        return alsa->send(message);
    if (jack)
        jack->send(message);
    return jack != nullptr;
}

void PeerSource::unplug()
{
    const int number = alsa ? alsa->clientNumber() : -1;
    jack.reset();
    alsa.reset();
    if (number >= 0)
        hold = std::make_unique<AlsaNumberHold>(number);
}

void PeerSource::plugIn()
{
    if (testbackend::isAlsa())
        alsa = std::make_unique<AlsaSource>(client);
    else
        jack = std::make_unique<JackSource>(client);
    hold.reset();
}

PeerSink::PeerSink(const std::string &client) : client(client)
{
    plugIn();
}

PeerSink::~PeerSink() = default;

QString PeerSink::portName() const
{
    if (alsa)
        return alsa->portName();
    return jack || slow ? JackSink::portName(client) : QString();
}

void PeerSink::unplug()
{
    const int number = alsa ? alsa->clientNumber() : -1;
    jack.reset();
    slow.reset();
    alsa.reset();
    if (number >= 0)
        hold = std::make_unique<AlsaNumberHold>(number);
}

void PeerSink::plugIn(int slowCycles)
{
    if (testbackend::isAlsa())
        alsa = std::make_unique<AlsaSink>(client, log);
    else if (slowCycles > 0)
        slow = std::make_unique<JackBurstPeer>(client, 0, log, slowCycles);
    else
        jack = std::make_unique<JackSink>(client, log);
    hold.reset();
}

PeerSourceTo::PeerSourceTo(const QString &inputPortContains, const std::string &client)
    : out(testbackend::api(), client)
{
    for (unsigned int i = 0; i < out.getPortCount(); ++i) {
        if (QString::fromStdString(out.getPortName(i)).contains(inputPortContains)) {
            out.openPort(i);
            connected = true;
            return;
        }
    }
}

BurstPeer::BurstPeer(const std::string &client, int perCycle, int window)
{
    if (testbackend::isAlsa())
        alsa = std::make_unique<AlsaBurstPeer>(client, window);
    else
        jack = std::make_unique<JackBurstPeer>(client, perCycle);
}

BurstPeer::BurstPeer(std::unique_ptr<AlsaBurstPeer> ends) : alsa(std::move(ends)) {}

BurstPeer::~BurstPeer() = default;

bool BurstPeer::isOpen() const
{
    return alsa ? alsa->isOpen() : jack->isOpen();
}

QString BurstPeer::inName() const
{
    return alsa ? alsa->inName() : QString::fromStdString(jack->inName());
}

bool BurstPeer::connectTo(const QString &port)
{
    return alsa ? alsa->connectTo(port) : jack->connectTo(port.toStdString());
}

bool BurstPeer::send(std::vector<Bytes> messages)
{
    return alsa ? alsa->send(std::move(messages)) : jack->send(std::move(messages));
}

std::vector<Bytes> BurstPeer::takeReceived()
{
    return alsa ? alsa->takeReceived() : jack->takeReceived();
}

bool routeThrough(MidiIO &router, BurstPeer &peer)
{
    // JACK's lists are read again at once; ALSA's at the next look.
    router.refreshPorts();
    return peer.isOpen() &&
           QTest::qWaitFor([&] { return router.midiOutPorts.contains(peer.inName()); }, 10000) &&
           router.openMidiIn(-1, true) && router.openMidiOutNamed(peer.inName()) &&
           peer.connectTo(testbackend::routerVirtualInput());
}

QStringList peerPorts(const QString &prefix)
{
    return testbackend::isAlsa() ? alsaPorts(prefix) : jackPorts(prefix);
}

QStringList peerConnections(const QString &port)
{
    return testbackend::isAlsa() ? alsaConnections(port) : jackConnections(port);
}

bool patchRouterOutput(const QString &port, bool connect)
{
    if (testbackend::isAlsa())
        return alsaConnect(QStringLiteral("Brantolex helper output:RtMidi Output"), port, connect);
    return jackConnect(QStringLiteral("Brantolex helper:RtMidi Output"), port, connect);
}

bool warmUp(const std::function<void()> &ping, const std::function<bool()> &arrived,
            const std::function<bool()> &setUpAgain)
{
    constexpr int pings = 10, wait = 300; // ms for each
    // Once a path never warmed up, the next ones get one round: the run
    // fails in seconds either way.
    static bool failedBefore = false;
    const int setUps = setUpAgain && !failedBefore ? 3 : 1;
    for (int setUp = 0; setUp < setUps; ++setUp) {
        if (setUp > 0 && !setUpAgain())
            continue;
        for (int attempt = 0; attempt < pings; ++attempt) {
            ping();
            if (QTest::qWaitFor(arrived, wait))
                return true;
        }
    }
    failedBefore = true;
    qWarning("no ping came through on %s after %d set-up(s) of %d pings, %d ms each: the path "
             "never warmed up",
             qPrintable(testbackend::name()), setUps, pings, wait);
    return false;
}
