#include "signalwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_fds[2] = {-1, -1};
}

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{}

SignalWatcher::~SignalWatcher()
{
    for (int sig : {SIGTERM, SIGINT})
        std::signal(sig, SIG_DFL);
    for (int &fd : g_fds) {
        if (fd != -1)
            ::close(fd);
        fd = -1;
    }
}

bool SignalWatcher::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_fds) != 0)
        return false;
    for (int fd : g_fds)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);
    struct sigaction sa = {};
    sa.sa_handler = &SignalWatcher::handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}

void SignalWatcher::handler(int signalNumber)
{
    // Only async-signal-safe work here: one byte into the pipe.
    const char c = char(signalNumber);
    if (::write(g_fds[0], &c, 1) < 0) {
        // Nothing to do: the pipe is full, a termination is already pending.
    }
}

void SignalWatcher::onReadable()
{
    char c = 0;
    if (::read(g_fds[1], &c, 1) == 1)
        emit terminationRequested(int(c));
}
