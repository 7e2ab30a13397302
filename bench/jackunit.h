#pragma once

// What the JACK benchmarks that drive the real router share: a unit's input
// port with a process callback of the bench's own, and a feeder that sends
// into the router's virtual input.
#include <RtMidi.h>

#include <jack/jack.h>

#include <string>

// A client named "Bench Unit" with one input port "in", active; null when
// any step failed.
inline jack_port_t *openUnitPort(jack_client_t *&client, JackProcessCallback process, void *arg)
{
    client = jack_client_open("Bench Unit", JackNoStartServer, nullptr);
    jack_port_t *port =
        client ? jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0)
               : nullptr;
    if (!port || jack_set_process_callback(client, process, arg) != 0 || jack_activate(client) != 0)
        return nullptr;
    return port;
}

// Opens the feeder on the router's virtual input; false when it is not there.
inline bool openFeeder(RtMidiOut &feeder)
{
    for (unsigned int i = 0; i < feeder.getPortCount(); ++i)
        if (feeder.getPortName(i).find("Brantolex helper virtual input") != std::string::npos) {
            feeder.openPort(i);
            return true;
        }
    return false;
}
