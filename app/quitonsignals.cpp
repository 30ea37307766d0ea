#include "app/quitonsignals.h"

#include <QCoreApplication>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

#ifdef Q_OS_UNIX
// A signal handler may do next to nothing: it writes a byte into this pair, and the event
// loop, watching the other end, does the rest.
int signalPipe[2] = {-1, -1};
const int Signals[] = {SIGTERM, SIGINT};
#endif

#ifdef Q_OS_WIN
// Ctrl+C, and the console closed under a program started from one; called on a thread of
// its own, which may post to the event loop.
BOOL WINAPI handleConsoleEvent(DWORD)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    return TRUE;
}
#endif

} // namespace

QuitOnSignals::QuitOnSignals(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitOnSignals::quit);
    struct sigaction action = {};
    action.sa_handler = &QuitOnSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : Signals)
        sigaction(number, &action, nullptr);
#endif
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(handleConsoleEvent, TRUE);
#endif
}

QuitOnSignals::~QuitOnSignals()
{
#ifdef Q_OS_UNIX
    if (!notifier)
        return;
    for (int number : Signals)
        std::signal(number, SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
#endif
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(handleConsoleEvent, FALSE);
#endif
}

#ifdef Q_OS_UNIX
void QuitOnSignals::handle(int)
{
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[0], &byte, sizeof byte);
    (void)written; // nothing to be done about a full pipe: a quit is on its way already
}

void QuitOnSignals::quit()
{
    char byte;
    const ssize_t read = ::read(signalPipe[1], &byte, sizeof byte);
    (void)read;
    QCoreApplication::quit();
}
#endif
