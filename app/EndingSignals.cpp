#include "app/EndingSignals.h"

#include "vport/PortExit.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace
{

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

int SignalPipe[2] = {-1, -1};
// Set while the event loop runs, which reads the pipe.
std::atomic<bool> LoopTurns{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read in a signal handler");

void OnSignal(int Signal)
{
    const int saved = errno;
    if (!LoopTurns.load(std::memory_order_relaxed)) {
        portexit::RemoveAllNow();
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(Signal, &fallback, nullptr);
        // Blocked while this handler runs: it takes its default course as the handler returns.
        raise(Signal);
        errno = saved;
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
    errno = saved;
}

// In the loop a signal only wakes it, and what it interrupted goes on. Outside, it ends the
// program, and a call it interrupts is not begun again: under ThreadSanitizer, which runs the
// handler only once the interrupted call has returned, a restarted write to a full pipe would
// keep it from ever running.
void Install(bool InTheLoop)
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = InTheLoop ? SA_RESTART : 0;
    for (const int signal : kEndingSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace

void OnEndingSignals(std::function<void()> Handler)
{
    signal(SIGPIPE, SIG_IGN);
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [Handler = std::move(Handler)] {
        char byte;
        while (read(SignalPipe[0], &byte, 1) > 0) {
        }
        Handler();
    });
    Install(LoopTurns.load());
}

TSignalsThroughLoop::TSignalsThroughLoop()
{
    LoopTurns.store(true);
    Install(true);
}

TSignalsThroughLoop::~TSignalsThroughLoop()
{
    LoopTurns.store(false);
    Install(false);
}
