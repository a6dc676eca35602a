#include "vport/PortWatcher.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{

// What can put something else at the link's name, or take the link away.
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::size_t kEventBufferSize = 4096;

} // namespace

TPortWatcher::TPortWatcher() : FInotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (!FInotify.Valid()) {
        FErrno = errno;
        return;
    }
    FWake.Reset(::eventfd(0, EFD_CLOEXEC));
    if (!FWake.Valid())
        FErrno = errno;
}

TPortWatcher::~TPortWatcher()
{
    Stop();
}

int TPortWatcher::WatchPair(const QByteArray &SlavePath)
{
    if (!FInotify.Valid())
        return -1;
    return ::inotify_add_watch(FInotify.Get(), SlavePath.constData(), kPairEvents);
}

int TPortWatcher::WatchFolder(int FolderFd)
{
    if (!FInotify.Valid())
        return -1;
    const QByteArray folder = "/proc/self/fd/" + QByteArray::number(FolderFd);
    return ::inotify_add_watch(FInotify.Get(), folder.constData(), kFolderEvents);
}

void TPortWatcher::Unwatch(int Watch)
{
    if (Watch >= 0)
        ::inotify_rm_watch(FInotify.Get(), Watch);
}

void TPortWatcher::ReadEvents(const std::function<void(const inotify_event &Event)> &Each) const
{
    alignas(inotify_event) char events[kEventBufferSize];
    for (;;) {
        const ssize_t got = ::read(FInotify.Get(), events, sizeof(events));
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            Each(*event);
        }
    }
}

void TPortWatcher::Discard() const
{
    char stale[kEventBufferSize];
    while (::read(FInotify.Get(), stale, sizeof(stale)) > 0) {
    }
}

void TPortWatcher::Start(std::function<void()> OnReady)
{
    FOnReady = std::move(OnReady);
    FThread = std::thread(&TPortWatcher::WatchLoop, this);
}

void TPortWatcher::Stop()
{
    FStopping = true;
    if (!FThread.joinable())
        return;
    const std::uint64_t one = 1;
    while (::write(FWake.Get(), &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    FThread.join();
}

void TPortWatcher::WatchLoop()
{
    // The move after an open races the next program's open, so the thread wakes before anything
    // else where the process may have real-time priority (root, CAP_SYS_NICE, RLIMIT_RTPRIO), at
    // the lowest real-time level: it only ever waits for events or makes a few system calls.
    // Elsewhere it runs as any thread, and the move takes a scheduler's wake-up longer.
    sched_param priority{};
    priority.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
    for (;;) {
        pollfd ready[2] = {{FInotify.Get(), POLLIN, 0}, {FWake.Get(), POLLIN, 0}};
        if (::poll(ready, 2, -1) < 0 && errno != EINTR)
            return;
        if (FStopping)
            return;
        FOnReady();
    }
}
