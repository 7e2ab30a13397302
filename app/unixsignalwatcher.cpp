#include "app/unixsignalwatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> writeFd{-1};
std::atomic<bool> caught{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used from a signal handler");

// Only async-signal-safe calls in here.
void onSignal(int number)
{
    if (caught.exchange(true)) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    const int fd = writeFd.load();
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
        // Nothing to be done about it here.
    }
    errno = savedErrno;
}

} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        qWarning("UnixSignalWatcher: socketpair: %s", strerror(errno));
        return;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    caught = false;
    writeFd = fds[1];

    notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readPending);

    for (int number : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        // Interrupted system calls resume; the event loop sees the byte.
        action.sa_flags = SA_RESTART;
        Previous old{number, {}};
        if (::sigaction(number, &action, &old.action) == 0)
            previous.push_back(old);
    }
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    for (const Previous &old : previous)
        ::sigaction(old.number, &old.action, nullptr);
    writeFd = -1;
    delete notifier;
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

void UnixSignalWatcher::readPending()
{
    unsigned char byte;
    while (::read(fds[0], &byte, 1) == 1)
        emit received(byte);
}
