// Shows the main window with one tab current, for tools/screenshots.sh.
// Usage: brantolex-screenshot TAB [dark] [panic]   (0 Events, 1 Device,
// 2 About; "dark" for a dark colour scheme, as a desktop's dark theme gives;
// "panic" with the Panic button pressed)
// Prints "ready X Y W H" (the window's frame on the screen) once it is shown.

#include "app/commandline.h"
#include "midi/midiio.h"
#include "ui/brantolexmainwindow.h"
#include "ui/ui_brantolexmainwindow.h"

#include <QApplication>
#include <QStyleFactory>
#include <QTimer>
#include <QWindow>

#include <RtMidi.h>

#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    CommandLine::setIdentity();
    const int tab = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 0;
    QByteArrayList options;
    for (int i = 2; i < argc; ++i)
        options << QByteArray(argv[i]);
    if (options.contains("dark")) {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QPalette dark;
        const QColor window(0x2b, 0x29, 0x29), base(0x1f, 0x1d, 0x1d), text(0xe6, 0xe3, 0xe0),
            disabled(0x80, 0x7c, 0x7a);
        dark.setColor(QPalette::Window, window);
        dark.setColor(QPalette::Button, window);
        dark.setColor(QPalette::Base, base);
        dark.setColor(QPalette::AlternateBase, window);
        dark.setColor(QPalette::ToolTipBase, base);
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text,
                          QPalette::ToolTipText, QPalette::BrightText})
            dark.setColor(role, text);
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
            dark.setColor(QPalette::Disabled, role, disabled);
        dark.setColor(QPalette::Light, window.lighter(150));
        dark.setColor(QPalette::Midlight, window.lighter(125));
        dark.setColor(QPalette::Mid, window.darker(120));
        dark.setColor(QPalette::Dark, window.darker(150));
        dark.setColor(QPalette::Shadow, Qt::black);
        dark.setColor(QPalette::Highlight, QColor(0x3d, 0x6e, 0xa8));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        QApplication::setPalette(dark);
    }

    // A sequencer and a unit to pick from, on the MIDI system the router
    // chooses; made before the window so its router lists them.
    RtMidi::Api api = RtMidi::UNSPECIFIED;
    {
        MidiIO probe;
        api = probe.api();
    }
    std::unique_ptr<RtMidiOut> sequencer;
    std::unique_ptr<RtMidiIn> unit, interface;
    try {
        sequencer = std::make_unique<RtMidiOut>(api, "Sequencer");
        sequencer->openVirtualPort("out");
        unit = std::make_unique<RtMidiIn>(api, "Brantolex unit");
        unit->openVirtualPort("MIDI in");
        // A long name, as an audio interface's bridged ports have.
        interface = std::make_unique<RtMidiIn>(api, "Scarlett 18i20 USB");
        interface->openVirtualPort("Scarlett 18i20 USB MIDI 1");
    } catch (RtMidiError &e) {
        e.printMessage();
    }

    BrantolexMainWindow window;
    window.form()->tabWidget->setCurrentIndex(tab);
    // Music playing, so that the activity lights show: a volume controller
    // on the routed channel, as the input would bring it.
    QTimer playing;
    QObject::connect(&playing, &QTimer::timeout, &window, [&window] {
        std::vector<unsigned char> volume = {0xB0, 0x07, 0x64};
        MidiIO::midiInCallback(0.0, &volume, window.router()->callbackUserData());
    });
    playing.start(20);
    window.move(0, 0);
    window.show();
    // Announced once the window is on the screen with its content drawn and
    // the display server has caught up, never after a guessed delay.
    QTimer poll;
    const bool panic = options.contains("panic");
    QObject::connect(&poll, &QTimer::timeout, &window, [&window, &poll, panic] {
        const QWindow *handle = window.windowHandle();
        if (!handle || !handle->isExposed())
            return;
        poll.stop();
        if (panic)
            window.panic();
        window.repaint();
        QGuiApplication::sync();
        const QRect frame = window.frameGeometry();
        std::printf("ready %d %d %d %d\n", frame.x(), frame.y(), frame.width(), frame.height());
        std::fflush(stdout);
    });
    poll.start(20);
    return app.exec();
}
