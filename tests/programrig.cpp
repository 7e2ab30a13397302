#include "programrig.h"

#include <QCoreApplication>

#include <grp.h>

const QByteArray shownLine("brantolex.startup: window shown");

QByteArray configWith(int loadingTime4, const QString &output)
{
    return "[MIDI]\n"
           "createVirtualInput=Yes\n"
           "midiChannel=1\n"
           "midiSystem=" +
           testbackend::systemName().toLower().toLatin1() +
           "\n"
           "midiOutDevice=" +
           output.toUtf8() +
           "\n"
           "translateCC0toPluginSelect=Yes\n"
           "\n"
           "[Plugin]\n"
           "loadingTime4=" +
           QByteArray::number(loadingTime4) + "\n";
}

uid_t freshUid()
{
    static int counter = 0;
    if (::geteuid() != 0)
        return ::geteuid();
    return 200000 + uid_t(QCoreApplication::applicationPid() % 100000) * 10 + uid_t(++counter % 10);
}

void chownTree(const QString &path, uid_t uid)
{
    if (::chown(QFile::encodeName(path).constData(), uid, uid) != 0)
        return;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        if (::lchown(QFile::encodeName(it.next()).constData(), uid, uid) != 0)
            return;
}

Program::Program(const QProcessEnvironment &env, uid_t uid, const QStringList &arguments)
{
    if (uid != ::geteuid())
        process.setChildProcessModifier([uid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(99);
        });
    process.setProcessEnvironment(env);
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral(BRANTOLEX_EXE), arguments);
}
