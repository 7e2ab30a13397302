#pragma once

#include <QString>
#include <QStringList>

#include <RtMidi.h>

#include <memory>
#include <vector>

class NoteOutput;

// Which MIDI system the router uses, port names, and opening RtMidi ports
// by name (JACK has a client of its own, see JackClient).
namespace MidiSystem {

// The names other MIDI software sees. On JACK one client holds both ports.
inline constexpr const char *inClient = "Brantolex helper input";
inline constexpr const char *outClient = "Brantolex helper output";
inline constexpr const char *jackClient = "Brantolex helper";
inline constexpr const char *inPortName = "RtMidi Input";
inline constexpr const char *virtualInPortName = "Brantolex helper virtual input";
inline constexpr const char *outPortName = "RtMidi Output";

// "alsa", "jack", or empty for the platform's own; false for other names.
bool setPreferred(const QString &system);
QString preferred();
// The one system a router uses: the preferred one, or else the ALSA
// sequencer where this machine has one, otherwise JACK. A router picks it
// once, and waits for it while it is away: it never moves to another.
RtMidi::Api chosen();
// Whether the system can be tried now.
bool usable(RtMidi::Api api);
QString displayName(RtMidi::Api api);

QString fromPortName(const std::string &name);
std::string toPortName(const QString &name);
// The router's own ports are no place to route to or from.
bool isOwnPort(const QString &name);

// The port lists through short-lived handles; false when no handle could
// be made on that system.
bool listPorts(RtMidi::Api api, QStringList &inputs, QStringList &outputs);

// The listed port that is the wanted one: the same name, or else, where a
// port's name ends in its client and port numbers (ALSA), the same name
// under other numbers, as a unit plugged in again gets, or a wanted name
// written without numbers (as aconnect -l shows it). Empty for none.
QString matchPort(const QStringList &ports, const QString &wanted);

// Opens the named input (the virtual input for an empty name) with the
// callback attached; null, with the reason on stderr, when it fails.
std::unique_ptr<RtMidiIn> openInput(RtMidi::Api api, const QString &name,
                                    RtMidiIn::RtMidiCallback callback, void *user);
std::unique_ptr<NoteOutput> openOutput(RtMidi::Api api, const QString &name);
// Closes and deletes an input; its thread has stopped when this returns.
void closeInput(std::unique_ptr<RtMidiIn> in);
// A failure the MIDI library reported, said once on stderr.
void sayError(const RtMidiError &error);

} // namespace MidiSystem
