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
int ReopenPipe[2] = {-1, -1};
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

void OnReopen(int)
{
    const int saved = errno;
    // A full pipe already holds a request: one more adds nothing.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(ReopenPipe[1], &byte, 1);
    errno = saved;
}

// Calls Handler on the event loop whenever a byte comes down Pipe.
void Notify(const int (&Pipe)[2], std::function<void()> Handler)
{
    auto *notifier = new QSocketNotifier(Pipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated,
                     [Fd = Pipe[0], Handler = std::move(Handler)] {
                         char byte;
                         while (read(Fd, &byte, 1) > 0) {
                         }
                         Handler();
                     });
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
    Notify(SignalPipe, std::move(Handler));
    Install(LoopTurns.load());
}

void OnReopenSignal(std::function<void()> Handler)
{
    if (ReopenPipe[0] < 0 && pipe2(ReopenPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    Notify(ReopenPipe, std::move(Handler));
    struct sigaction action = {};
    action.sa_handler = OnReopen;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
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
