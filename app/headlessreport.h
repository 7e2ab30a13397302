#pragma once

#include <QObject>
#include <QString>

#include <cstdio>

class MidiIO;
class MidiStateLine;

// Without a window the journal (or the terminal) is the user's only
// screen: this says on stderr what the window's state line would say, at
// start and at every change, one line each time and never the same line
// twice in a row. With nothing in the way it says where MIDI goes.
class HeadlessReport : public QObject
{
    Q_OBJECT

public:
    HeadlessReport(const MidiStateLine *line, const MidiIO *router, FILE *stream = stderr);

    // The last line said, without the program's name.
    QString lastLine() const { return last; }

    // Whether a window could open: the environment names a display or a
    // toolkit platform.
    static bool displayNamed();
    // Says that there is no display and how to run without one; the exit
    // code for that.
    static int refuseWithoutDisplay();
    // The same for a display that is named but cannot be opened.
    static int refuseUnopenedDisplay();

private:
    void report();
    QString routing() const;

    const MidiStateLine *const line;
    const MidiIO *const router;
    FILE *const stream;
    QString last;
};
