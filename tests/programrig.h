// The built program, started as a user would: offscreen, with a home and a
// temporary directory of its own per test, and, where the test runs as root,
// as a user of its own, so that the instance's directories are the test's
// alone.
#pragma once

#include "midipeers.h"
#include "signalprocess.h"

#include "app/privatedirectory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/types.h>
#include <unistd.h>

extern const QByteArray shownLine;

// A uid nobody uses, per test, so that the instance's directories are the
// test's own; only root can start a program as another user. Otherwise our
// own uid, and a running instance of ours would be in the way.
uid_t freshUid();

void chownTree(const QString &path, uid_t uid);

// A pre-written configuration: the test's MIDI system, the given output,
// the virtual input, channel 1, short loading times.
QByteArray configWith(int loadingTime4, const QString &output = QStringLiteral("Test Sink:in"));

class Sandbox
{
public:
    explicit Sandbox(uid_t uid = ::geteuid()) : uid(uid)
    {
        QDir(home.path()).mkpath(QStringLiteral(".Brantolex_Fixer"));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        // PipeWire's socket stays where the suite's server has it.
        if (testbackend::isPipeWire())
            env.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"),
                       qEnvironmentVariable("XDG_RUNTIME_DIR"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("brantolex.startup.debug=true"));
        chownTree(home.path(), uid);
        chownTree(tmp.path(), uid);
        chownTree(runtime.path(), uid);
    }
    ~Sandbox()
    {
        if (uid != ::geteuid())
            for (const QString &dir : PrivateDirectory::candidates(uid))
                if (QFileInfo(dir).isDir() && !QFileInfo(dir).isSymLink())
                    QDir(dir).removeRecursively();
    }
    bool valid() const { return home.isValid() && tmp.isValid() && runtime.isValid(); }
    QString configPath() const { return home.filePath(QStringLiteral(".Brantolex_Fixer/config")); }
    bool writeConfig(const QByteArray &content) const
    {
        QFile file(configPath());
        const bool ok = file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        file.close();
        chownTree(home.path(), uid);
        return ok;
    }
    QByteArray config() const
    {
        QFile file(configPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Every file under HOME, with a hash of its content.
    QMap<QString, QByteArray> homeSnapshot() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly))
                files.insert(file.fileName(),
                             QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
        }
        return files;
    }
    // What is left in the instance's directories.
    QStringList leftovers() const
    {
        QStringList left;
        for (const QString &dir : PrivateDirectory::candidates(uid))
            for (const QString &name :
                 QDir(dir).entryList(QDir::Files | QDir::System | QDir::Hidden))
                if (name.contains(QLatin1String("BrantolexFixer")))
                    left << name;
        return left;
    }

    const uid_t uid;
    QTemporaryDir home;
    QTemporaryDir tmp;
    QTemporaryDir runtime;
    QProcessEnvironment env;
};

class Program
{
public:
    explicit Program(const Sandbox &sandbox) : Program(sandbox.env, sandbox.uid) {}
    explicit Program(const QProcessEnvironment &env, uid_t uid = ::geteuid(),
                     const QStringList &arguments = {});
    // A killed instance would leave its marker behind for good once the test
    // removes the key file's directory: only what ignores SIGTERM is killed.
    ~Program()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    bool waitForShown()
    {
        for (;;) {
            if (stderrSoFar().contains(shownLine))
                return true;
            if (!process.waitForReadyRead(30000))
                return stderrSoFar().contains(shownLine);
        }
    }
    QByteArray stderrSoFar()
    {
        errors += process.readAllStandardError();
        return errors;
    }
    void signal(int number) { signalProcess(process, number); }
    bool endedNormally()
    {
        // It may have ended while an event loop ran.
        const bool ended =
            process.state() == QProcess::NotRunning || process.waitForFinished(30000);
        return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QProcess process;
    QByteArray errors;
};
