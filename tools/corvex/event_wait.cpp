#include "event_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace corvex::cli {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    if (done())
        return true;
    tick.start();
    loop.exec();
    return done();
}

void runEventsFor(std::chrono::milliseconds duration)
{
    waitUntil([] { return false; }, duration);
}

namespace {

int g_interruptPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    // write() is async-signal-safe; a full pipe means a quit is already on its way.
    [[maybe_unused]] const ssize_t ignored = ::write(g_interruptPipe[1], &byte, 1);
}

} // namespace

void quitOnInterrupt()
{
    if (g_interruptPipe[0] >= 0 || ::pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_interruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char buffer[16];
        while (::read(g_interruptPipe[0], buffer, sizeof buffer) > 0) { }
        QCoreApplication::exit(0);
    });
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace corvex::cli
