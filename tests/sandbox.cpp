#include "sandbox.h"

#include "midipeers.h"
#include "signalprocess.h"
#include "testhelpers.h"

#include "app/privatedirectory.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

const QByteArray shownLine("brantolex.startup: window shown");

namespace {

bool userNamespaces()
{
    static const bool work = [] {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(::unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
        int status = 0;
        return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }();
    return work;
}

// After fork: only calls that are safe there, on text made before it.
bool writeFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

} // namespace

QByteArray configWith(int loadingTime4, const QString &output)
{
    return "[MIDI]\ncreateVirtualInput=Yes\nmidiChannel=1\nmidiSystem=" +
           testbackend::systemName().toLower().toLatin1() + "\nmidiOutDevice=" + output.toUtf8() +
           "\ntranslateCC0toPluginSelect=Yes\n\n[Plugin]\nloadingTime4=" +
           QByteArray::number(loadingTime4) + "\n";
}

uid_t freshUid()
{
    static int counter = 0;
    if (::geteuid() != 0 && !userNamespaces())
        return ::geteuid();
    return 200000 + uid_t(QCoreApplication::applicationPid() % 100000) * 10 + uid_t(++counter % 10);
}

uid_t midiUid()
{
    // Only the suite's JACK server lets the audio group in. PipeWire's
    // sockets are ours alone, and in the ALSA guest (which runs no instance
    // of the user's) the sequencer is root's.
    if (testbackend::kind() == testbackend::Kind::Jack &&
        qEnvironmentVariableIsSet("JACK_PROMISCUOUS_SERVER"))
        return freshUid();
    return ::geteuid();
}

bool Sandbox::give(const QTemporaryDir &directory) const
{
    if (!directory.isValid())
        return false;
    chownTree(directory.path(), uid);
    return true;
}

void chownTree(const QString &path, uid_t uid)
{
    if (::chown(QFile::encodeName(path).constData(), uid, uid) != 0)
        return;
    QDirIterator it(path, QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        if (::lchown(QFile::encodeName(it.next()).constData(), uid, uid) != 0)
            return;
}

Sandbox::Sandbox(uid_t uid) : uid(uid)
{
    QDir(home.path()).mkpath(QStringLiteral(".Brantolex_Fixer"));
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    // Libraries' caches (fontconfig's, after fonts came or went) are no
    // change the program made to the home.
    env.insert(QStringLiteral("XDG_CACHE_HOME"), tmp.filePath(QStringLiteral("cache")));
    // PipeWire's socket stays where the suite's server has it.
    if (testbackend::isPipeWire())
        env.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), qEnvironmentVariable("XDG_RUNTIME_DIR"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brantolex.startup.debug=true"));
    chownTree(home.path(), uid);
    chownTree(tmp.path(), uid);
    chownTree(runtime.path(), uid);
}

Sandbox::~Sandbox()
{
    if (uid != ::geteuid())
        for (const QString &dir : PrivateDirectory::candidates(uid))
            if (QFileInfo(dir).isDir() && !QFileInfo(dir).isSymLink())
                QDir(dir).removeRecursively();
}

bool Sandbox::writeConfig(const QByteArray &content) const
{
    const bool ok = ::writeConfig(home.path(), content);
    chownTree(home.path(), uid);
    return ok;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QByteArray> Sandbox::homeSnapshot() const
{
    QMap<QString, QByteArray> files;
    QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        // The instance's marker beside the settings: made at a first start
        // and kept, it holds nothing.
        if (QFileInfo(file).fileName().contains(QLatin1String("BrantolexFixer")))
            continue;
        if (file.open(QIODevice::ReadOnly))
            files.insert(file.fileName(),
                         QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
    }
    return files;
}

QStringList Sandbox::leftovers() const
{
    QStringList left;
    for (const QString &dir : PrivateDirectory::candidates(uid))
        for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::System | QDir::Hidden))
            if (name.contains(QLatin1String("BrantolexFixer")))
                left << name;
    return left;
}

Program::Program(const QProcessEnvironment &env, uid_t uid, const QStringList &arguments,
                 const ChildSetUp &asRoot)
{
    const uid_t own = ::geteuid();
    // The audio group reaches the sequencer and the suite's JACK server.
    const group *audio = ::getgrnam("audio");
    const gid_t groups[1] = {audio ? audio->gr_gid : gid_t(0)};
    const std::size_t groupCount = audio ? 1 : 0;
    if ((uid != own && own == 0) || (uid == own && asRoot)) {
        process.setChildProcessModifier([uid, own, asRoot, groups, groupCount] {
            if (asRoot)
                asRoot();
            if (uid != own &&
                (::setgroups(groupCount, groups) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
                ::_exit(99);
        });
    } else if (uid != own) {
        const std::string uidMap = std::to_string(uid) + ' ' + std::to_string(own) + " 1\n";
        const std::string gidMap = std::to_string(uid) + ' ' + std::to_string(::getegid()) + " 1\n";
        process.setChildProcessModifier([uidMap, gidMap, asRoot] {
            if (asRoot)
                asRoot();
            if (::unshare(CLONE_NEWUSER) != 0 || !writeFile("/proc/self/setgroups", "deny") ||
                !writeFile("/proc/self/uid_map", uidMap) ||
                !writeFile("/proc/self/gid_map", gidMap))
                ::_exit(99);
        });
    }
    process.setProcessEnvironment(env);
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral(BRANTOLEX_EXE), arguments);
}

Program::~Program()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(quitMs)) {
        process.kill();
        process.waitForFinished(quitMs);
    }
}

bool Program::waitForShown()
{
    return waitForError(shownLine);
}

bool Program::waitForError(const QByteArray &text)
{
    const QDeadlineTimer deadline(startMs);
    while (!stderrSoFar().contains(text))
        if (!process.waitForReadyRead(int(deadline.remainingTime())))
            return stderrSoFar().contains(text);
    return true;
}

QByteArray Program::stderrSoFar()
{
    errors += process.readAllStandardError();
    return errors;
}

void Program::signal(int number)
{
    signalProcess(process, number);
}

bool Program::endedNormally(int ms)
{
    // It may have ended while an event loop ran.
    const bool ended = process.state() == QProcess::NotRunning || process.waitForFinished(ms);
    return ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
