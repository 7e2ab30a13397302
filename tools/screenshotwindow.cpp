// Shows the main window with one tab current, for tools/screenshots.sh.
// Usage: brantolex-screenshot TAB   (0 Events, 1 Device, 2 About)
// Prints "ready X Y W H" (the window's frame on the screen) once it is shown.

#include "midi/midiio.h"
#include "ui/brantolexmainwindow.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QApplication>
#include <QTimer>
#include <QWindow>

#include <RtMidi.h>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int tab = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 0;

    // A sequencer and a unit to pick from, on the MIDI system the router
    // chooses; made before the window so its router lists them.
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    {
        MidiIO probe;
        api = probe.api();
    }
    std::unique_ptr<RtMidiOut> sequencer;
    std::unique_ptr<RtMidiIn> unit;
    try {
        sequencer = std::make_unique<RtMidiOut>(api, "Sequencer");
        sequencer->openVirtualPort("out");
        unit = std::make_unique<RtMidiIn>(api, "Brantolex unit");
        unit->openVirtualPort("MIDI in");
    } catch (RtMidiError &e) {
        e.printMessage();
    }

    BrantolexMainWindow window;
    window.form()->tabWidget->setCurrentIndex(tab);
    window.move(0, 0);
    window.show();
    // Announced once the window is on the screen with its content drawn and
    // the display server has caught up, never after a guessed delay.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&window, &poll] {
        const QWindow *handle = window.windowHandle();
        if (!handle || !handle->isExposed())
            return;
        poll.stop();
        window.repaint();
        QGuiApplication::sync();
        const QRect frame = window.frameGeometry();
        std::printf("ready %d %d %d %d\n", frame.x(), frame.y(), frame.width(), frame.height());
        std::fflush(stdout);
    });
    poll.start(20);
    return app.exec();
}
