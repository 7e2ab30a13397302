// The least any RtMidi router over JACK can do: every message from its input
// goes straight to its output. The yardstick for the router's latency.
#include <RtMidi.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

RtMidiOut *out = nullptr;

void forward(double, std::vector<unsigned char> *message, void *)
{
    out->sendMessage(message);
}

void stop(int) {}

} // namespace

int main()
{
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    try {
        RtMidiOut output(RtMidi::UNIX_JACK, "Bench Passthrough Out");
        output.openVirtualPort("out");
        out = &output;
        RtMidiIn input(RtMidi::UNIX_JACK, "Bench Passthrough In");
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
