#include "apps/common/SignalQuit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_fds[2] = {-1, -1};
volatile sig_atomic_t g_lastSignal = 0;

void onSignal(int signal)
{
    g_lastSignal = signal;
    const char byte = char(signal);
    // Nothing else is async-signal-safe enough to do here.
    [[maybe_unused]] const ssize_t written = ::write(g_fds[0], &byte, 1);
}

} // namespace

SignalQuit::SignalQuit(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_fds) != 0)
        return;
    m_notifier = new QSocketNotifier(g_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(g_fds[1], &byte, 1) == 1)
            Q_EMIT Received(int(byte));
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

SignalQuit::~SignalQuit()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    delete m_notifier;
    m_notifier = nullptr;
    for (int& fd : g_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

int SignalQuit::LastSignal()
{
    return g_lastSignal;
}
