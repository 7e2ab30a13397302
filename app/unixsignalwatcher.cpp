#include "app/unixsignalwatcher.h"

#include "app/say.h"

#include <QLoggingCategory>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The start-up category: tests and benchmarks see when a quit began.
Q_LOGGING_CATEGORY(lcQuit, "brantolex.startup", QtWarningMsg)

std::atomic<int> writeFd{-1};
// Whether a quit has begun, and the SIGINTs so far.
std::atomic<bool> quitting{false};
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used from a signal handler");

// Only async-signal-safe calls in here.
void onSignal(int number)
{
    const int savedErrno = errno;
    const bool forced =
        number == SIGINT && interrupts.fetch_add(1) + 1 >= UnixSignalWatcher::forcingInterrupt;
    if (!quitting.exchange(true)) {
        const unsigned char byte = static_cast<unsigned char>(number);
        const int fd = writeFd.load();
        if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
            // Nothing to be done about it here.
        }
    } else if (forced) {
        static const char line[] =
            "Brantolex Fixer: a third Ctrl+C (SIGINT); leaving without saving\n";
        if (::write(STDERR_FILENO, line, sizeof line - 1) < 0) {
            // Leaving anyway.
        }
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
    errno = savedErrno;
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        say(QStringLiteral("UnixSignalWatcher: socketpair: %1").arg(errnoText(errno)));
        return;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    quitting = false;
    interrupts = 0;
    writeFd = fds[1];

    notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readPending);

    for (int number : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // One quit signal handled at a time, so that they are counted in order.
        for (int other : signalNumbers)
            sigaddset(&action.sa_mask, other);
        // Interrupted system calls resume; the event loop sees the byte.
        action.sa_flags = SA_RESTART;
        ::sigaction(number, &action, nullptr);
    }
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    // The handlers stay: the process is on its way out, and what is left of
    // the teardown (the guard's socket and marker) must not be cut short.
    // A signal from now on counts as one more during a quit.
    quitting = true;
    writeFd = -1;
    delete notifier;
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

void UnixSignalWatcher::readPending()
{
    unsigned char byte;
    while (::read(fds[0], &byte, 1) == 1) {
        qCDebug(lcQuit, "quitting on signal %d", int(byte));
        emit received(byte);
    }
}
