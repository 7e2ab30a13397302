// The least any RtMidi router can do: every message from its input goes
// straight to its output, on JACK or, with the argument "alsa", on the ALSA
// sequencer. The yardstick for the router's latency.
#include <RtMidi.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

RtMidiOut *out = nullptr;

void forward(double, std::vector<unsigned char> *message, void *)
{
    out->sendMessage(message);
}

void stop(int) {}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    const RtMidi::Api api =
        argc > 1 && std::string(argv[1]) == "alsa" ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
    try {
        RtMidiOut output(api, "Bench Passthrough Out");
        output.openVirtualPort("out");
        out = &output;
        RtMidiIn input(api, "Bench Passthrough In");
        input.ignoreTypes(false, false, false);
        input.setCallback(forward, nullptr);
        input.openVirtualPort("in");
        pause();
        input.cancelCallback();
        input.closePort();
        output.closePort();
    } catch (RtMidiError &e) {
        e.printMessage();
        return 1;
    }
    return 0;
}
