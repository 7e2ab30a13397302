#pragma once

#include <QStringList>

// The program's own options. Those that end the program at once (--help,
// --version, --list-ports, a mistake) are answered here, before the
// single-instance guard, so they work while an instance runs.
class CommandLine
{
public:
    // Before the application object: options that show no window, and any
    // start without a display, get the offscreen platform (unless the user
    // named one).
    CommandLine(int argc, char **argv);

    // The arguments the application object left, the toolkit's own taken
    // out. Returns the exit code when the program ends here, otherwise -1;
    // then the MIDI system is chosen, from the option (which the settings
    // keep, but not for a listing) or from the settings.
    int process(const QStringList &arguments);

    bool headless() const { return runHeadless; }
    // --panic: the running instance is asked to send one; nothing else runs.
    bool panic() const { return askPanic; }
    // Neither a display nor a platform was named: only --headless can run.
    bool displayMissing() const { return noDisplay; }

    // Names the program as the desktop knows it: the window's class and the
    // desktop entry match.
    static void setIdentity();
    // Where the MIDI system in use was chosen ("midiSystem=alsa in
    // /home/u/.Brantolex_Fixer/config", "--midi-system jack"); empty for the
    // usual order.
    static QString systemChosenBy();

private:
    bool runHeadless = false;
    bool askPanic = false;
    bool noDisplay = false;
};
