#pragma once

// The built program, started as a user would: offscreen, with a home and a
// temporary directory of its own per test, and, where it needs no MIDI
// system, as a user of its own, so that the instance's directories are the
// test's alone and a running instance of the user's is no hindrance.

#include "testhelpers.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include <sys/types.h>
#include <unistd.h>

extern const QByteArray shownLine;

// Bounds on the waits, fitted to the program: a start, up to its window or
// its end (a 5 s wait on a locked directory included), and a quit.
constexpr int startMs = 15000;
constexpr int quitMs = 5000;
// A running program's answer to a message or a change.
constexpr int answerMs = 5000;

// A uid nobody uses, new for each call. Root starts the program as that
// user; anyone else in a user namespace of its own where the uid is that
// one. Our own uid only where neither can be had.
uid_t freshUid();

// The same for a program that joins the suite's MIDI system: a fresh uid
// where the system lets the audio group in (the suite's JACK server), our
// own elsewhere.
uid_t midiUid();

void chownTree(const QString &path, uid_t uid);
// A file's content; empty where it cannot be read.
QByteArray contentOf(const QString &path);

// A pre-written configuration: the test's MIDI system, the given output,
// the virtual input, channel 1, short loading times.
QByteArray configWith(int loadingTime4, const QString &output = QStringLiteral("Test Sink:in"));

class Sandbox
{
public:
    explicit Sandbox(uid_t uid = ::geteuid());
    ~Sandbox();
    bool valid() const { return home.isValid() && tmp.isValid() && runtime.isValid(); }
    QString configPath() const { return home.filePath(QStringLiteral(".Brantolex_Fixer/config")); }
    bool writeConfig(const QByteArray &content) const;
    // Valid, with the usual configuration written (see configWith).
    bool prepared() const { return valid() && writeConfig(configWith(100)); }
    // A directory of the test's handed to the program's user.
    bool give(const QTemporaryDir &directory) const;
    QByteArray config() const { return contentOf(configPath()); }
    // Every file under HOME but the instance's marker, with a hash of its
    // content.
    QMap<QString, QByteArray> homeSnapshot() const;
    // What is left in the instance's directories.
    QStringList leftovers() const;

    const uid_t uid;
    QTemporaryDir home;
    QTemporaryDir tmp;
    QTemporaryDir runtime;
    QProcessEnvironment env;
};

class Program
{
public:
    // asRoot runs in the child before it becomes the sandbox's user (a mount
    // namespace of its own, say).
    using ChildSetUp = std::function<void()>;
    explicit Program(const Sandbox &sandbox, const QStringList &arguments = {})
        : Program(sandbox.env, sandbox.uid, arguments)
    {
    }
    explicit Program(const QProcessEnvironment &env, uid_t uid = ::geteuid(),
                     const QStringList &arguments = {}, const ChildSetUp &asRoot = {});
    // A killed instance would leave its marker behind for good once the test
    // removes the key file's directory: only what ignores SIGTERM is killed.
    ~Program();

    bool waitForShown();
    // Waits until stderr holds the text; false if the program ends first.
    bool waitForError(const QByteArray &text);
    QByteArray stderrSoFar();
    void signal(int number);
    // Ended with 0 within ms (a quit; a start that ends at once takes
    // startMs).
    bool endedNormally(int ms = quitMs);

    QProcess process;
    QByteArray errors;
};
