// A second process for the guard and program tests. Modes, each with a key
// and then, optionally, the guard's candidate directories and
// "lasting=DIR" for the marker beside the settings (none unless given):
//   probe KEY   construct a guard, then ask the static test; print both, or
//               the guard's error
//   own KEY     hold a guard, print received messages, end on stdin EOF
//   send KEY    send stdin (UTF-8) as one message to the running instance
//   marker KEY  hold only the marker's lock until killed
//   socket KEY  hold only a bare local server at the socket's path until killed
//   signals -   report the first signal watched, then hang as a stuck
//               shutdown would, answering "alive" to each line on stdin
#include "app/singleapplication.h"
#include "app/unixsignalwatcher.h"
#include "testhelpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QSocketNotifier>

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    const QString mode = args.at(1);
    const QString key = args.at(2);
    if (args.size() > 3) {
        QStringList directories = args.mid(3);
        QString lasting;
        for (const QString &arg : args.mid(3))
            if (arg.startsWith(QLatin1String("lasting="))) {
                lasting = arg.mid(8);
                directories.removeOne(arg);
            }
        SingleApplication::setCandidateDirectories(
            directories.isEmpty() ? SingleApplication::candidateDirectories() : directories,
            lasting);
    }
    const QString firstDirectory = SingleApplication::candidateDirectories().value(0);

    if (mode == QLatin1String("signals")) {
        UnixSignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
        QObject::connect(&watcher, &UnixSignalWatcher::received, &app, [](int number) {
            say("received=" + QByteArray::number(number));
            // Stuck, but answering each line on stdin (which may be
            // non-blocking under the sanitizers).
            for (;;) {
                char byte;
                const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
                if (n == 1 && byte == '\n')
                    say("alive");
                if (n == 0)
                    break;
                pollfd input = {STDIN_FILENO, POLLIN, 0};
                if (n < 0)
                    ::poll(&input, 1, -1);
            }
            for (;;)
                ::pause();
        });
        say("ready");
        return app.exec();
    }

    if (mode == QLatin1String("probe")) {
        const SingleApplication guard(key, &app);
        if (!guard.errorString().isEmpty()) {
            say("error=" + guard.errorString().toUtf8());
            return 0;
        }
        const bool guardRunning = guard.isRunning();
        const bool staticRunning = SingleApplication::isRunning(key);
        say("guard=" + QByteArray::number(guardRunning) +
            " static=" + QByteArray::number(staticRunning));
        return 0;
    }

    if (mode == QLatin1String("send")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly))
            return 2;
        const QString message = QString::fromUtf8(in.readAll());
        say("sent=" + QByteArray::number(SingleApplication::sendMessage(key, message, 500)));
        return 0;
    }

    if (mode == QLatin1String("own")) {
        SingleApplication guard(key, &app);
        QObject::connect(
            &guard, &SingleApplication::messageReceived, &app,
            [](const QString &message) { say("message=" + message.toUtf8().toPercentEncoding()); });
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
            char byte;
            if (::read(STDIN_FILENO, &byte, 1) <= 0)
                app.quit();
        });
        say("guard=" + QByteArray::number(guard.isRunning()));
        return app.exec();
    }

    // The two halves of what a killed owner leaves behind.
    if (mode == QLatin1String("marker")) {
        const int fd = ::open(
            QFile::encodeName(SingleApplication::markerPath(firstDirectory, uniqueKeyOf(key)))
                .constData(),
            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return 1;
        say("ready");
        return app.exec();
    }
    if (mode == QLatin1String("socket")) {
        QLocalServer server;
        if (!server.listen(SingleApplication::serverPath(firstDirectory, uniqueKeyOf(key))))
            return 1;
        say("ready");
        return app.exec();
    }
    return 2;
}
