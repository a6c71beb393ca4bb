#include "app/quitonsignals.h"

#include <QCoreApplication>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace {

int signalSockets[2] = { -1, -1 };

extern "C" void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalSockets[0], &byte, 1);
}

constexpr int handledSignals[] = { SIGTERM, SIGINT, SIGHUP };

} // namespace

QuitOnSignals::QuitOnSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalSockets) != 0)
        return; // the default actions stay: the program still ends, only less tidily
    m_notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitOnSignals::receive);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : handledSignals)
        ::sigaction(signal, &action, nullptr);
}

QuitOnSignals::~QuitOnSignals()
{
    if (!m_notifier)
        return;
    for (const int signal : handledSignals)
        std::signal(signal, SIG_DFL);
    delete m_notifier;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void QuitOnSignals::receive()
{
    char buffer[16];
    while (::read(signalSockets[1], buffer, sizeof buffer) > 0) { }
    QCoreApplication::quit();
}
