#include "vport/PtyPairs.h"

#include "vport/PortWatcher.h"
#include "vport/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

// A pair the link no longer leads to is closed once nobody holds it, but not sooner than this
// after the move: an application whose open had already followed the link to it still finds it.
constexpr auto kUnlinkedPairGrace = 250ms;
// Moving the link on after a failure: the first pause, doubled at each failure up to the last.
constexpr auto kFirstRenewPause = 10ms;
constexpr auto kLongestRenewPause = 5000ms;

QString Milliseconds(std::chrono::milliseconds Pause)
{
    return Pause < 1000ms ? QStringLiteral("%1 ms").arg(Pause.count())
                          : QStringLiteral("%1 s").arg(double(Pause.count()) / 1000.0, 0, 'g', 3);
}

} // namespace

TPtyPairs::TPtyPairs(TPortWatcher &Watcher) : FWatcher(Watcher) {}

void TPtyPairs::StartLocked(TPty Pty)
{
    FPairs.push_back(std::make_unique<TPtyPair>(TPtyPair{std::move(Pty)}));
    FOpened = false;
    FRenewFailures = 0;
    FUnread.clear();
    FPairs.back()->Watch = FWatcher.WatchPair(FPairs.back()->Pty.SlavePath());
}

void TPtyPairs::UnwatchLocked()
{
    for (const std::unique_ptr<TPtyPair> &Pair : FPairs)
        FWatcher.Unwatch(Pair->Watch);
    if (FSpare)
        FWatcher.Unwatch(FSpare->Watch);
    FSpare.reset();
}

void TPtyPairs::ClearLocked()
{
    FPairs.clear();
    FUnread.clear();
    FOpened = false;
}

bool TPtyPairs::PollLocked(int WatcherFd, bool &EventsWait)
{
    // One system call for every pair and the watches: this runs at every tick.
    std::vector<pollfd> Poll;
    Poll.reserve(FPairs.size() + 1);
    Poll.push_back({WatcherFd, POLLIN, 0});
    for (const std::unique_ptr<TPtyPair> &Pair : FPairs)
        Poll.push_back({Pair->Pty.MasterFd(), POLLIN, 0});
    int Ready;
    do
        Ready = ::poll(Poll.data(), Poll.size(), 0);
    while (Ready < 0 && errno == EINTR);
    if (Ready < 0)
        return false;
    // A master reports a hang-up exactly while no application holds its slave.
    for (std::size_t Index = 0; Index < FPairs.size(); ++Index)
        FPairs[Index]->Held = (Poll[Index + 1].revents & POLLHUP) == 0;
    EventsWait = (Poll[0].revents & POLLIN) != 0;
    return true;
}

void TPtyPairs::TakeEventLocked(const inotify_event &Event)
{
    // Events the queue had no room for are lost: anything may have happened, so every pair
    // counts as visited. Events of closed pairs' watches are stale.
    if ((Event.mask & IN_Q_OVERFLOW) != 0) {
        for (const std::unique_ptr<TPtyPair> &Pair : FPairs)
            Pair->Visited = true;
    } else if ((Event.mask & TPortWatcher::kPairEvents) != 0) {
        for (const std::unique_ptr<TPtyPair> &Pair : FPairs)
            if (Pair->Watch == Event.wd)
                Pair->Visited = true;
    }
}

bool TPtyPairs::RenewDueLocked() const
{
    const TPtyPair &Linked = *FPairs.back();
    return (Linked.Visited || Linked.Held) && std::chrono::steady_clock::now() >= FRenewAt;
}

bool TPtyPairs::RetireLocked(const std::function<void(const TPtyPair &Pair)> &Closing)
{
    const auto Now = std::chrono::steady_clock::now();
    for (auto It = FPairs.begin(); It + 1 < FPairs.end();) {
        TPtyPair &Pair = **It;
        if (Pair.Held || Now - Pair.Unlinked < kUnlinkedPairGrace) {
            ++It;
            continue;
        }
        // What its application wrote before it closed still goes to the device.
        Pair.Pty.TakeUnread(FUnread);
        Closing(Pair);
        FWatcher.Unwatch(Pair.Watch);
        It = FPairs.erase(It);
    }
    FOpened = std::any_of(FPairs.begin(), FPairs.end(),
                          [](const std::unique_ptr<TPtyPair> &Pair) { return Pair->Held; });
    return FOpened;
}

TPtyPair *TPtyPairs::PrimaryLocked() const
{
    for (const std::unique_ptr<TPtyPair> &Pair : FPairs)
        if (Pair->Held)
            return Pair.get();
    return nullptr;
}

std::unique_ptr<TPtyPair> TPtyPairs::NewPairLocked(QString &Error)
{
    std::optional<TPty> Pty = TPty::Open(Error);
    if (!Pty)
        return nullptr;
    auto Pair = std::make_unique<TPtyPair>(TPtyPair{std::move(*Pty)});
    Pair->Watch = FWatcher.WatchPair(Pair->Pty.SlavePath());
    return Pair;
}

void TPtyPairs::MakeSpareLocked()
{
    QString Error;
    FSpare = NewPairLocked(Error);
}

const TPtyPair *TPtyPairs::SpareLocked(QString &Error)
{
    if (!FSpare)
        FSpare = NewPairLocked(Error);
    return FSpare.get();
}

bool TPtyPairs::MovedLocked()
{
    FPairs.back()->Unlinked = std::chrono::steady_clock::now();
    FPairs.push_back(std::move(FSpare));
    const bool Recovered = FRenewFailures > 0;
    FRenewFailures = 0;
    return Recovered;
}

QString TPtyPairs::PutOffLocked(const QString &Error)
{
    const std::chrono::milliseconds Pause = std::min<std::chrono::milliseconds>(
        kFirstRenewPause * (1 << std::min(FRenewFailures, 16)), kLongestRenewPause);
    ++FRenewFailures;
    FRenewAt = std::chrono::steady_clock::now() + Pause;
    return QStringLiteral("the next application may find the last one's settings: %1; trying "
                          "again in %2")
        .arg(Error, Milliseconds(Pause));
}

std::size_t TPtyPairs::ReadLocked(char *Into, std::size_t Capacity, QString &Error)
{
    // No look at the visits here: what an application wrote just before it closed is read from
    // its pair until the pair is closed, and from FUnread after.
    std::size_t Got = std::min(FUnread.size(), Capacity);
    std::copy_n(FUnread.begin(), Got, Into);
    FUnread.erase(FUnread.begin(), FUnread.begin() + static_cast<std::ptrdiff_t>(Got));
    for (const std::unique_ptr<TPtyPair> &Pair : FPairs) {
        // The pair the link leads to has had no application yet, unless the last look saw one.
        if (Got == Capacity || (Pair == FPairs.back() && !Pair->Visited && !Pair->Held))
            continue;
        for (;;) {
            const ssize_t Now = ::read(Pair->Pty.MasterFd(), Into + Got, Capacity - Got);
            if (Now > 0) {
                Got += static_cast<std::size_t>(Now);
                if (Got == Capacity)
                    break;
                continue;
            }
            if (Now < 0 && errno == EINTR)
                continue;
            // EIO: no application holds the pair and nothing it wrote is left.
            if (Now < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO)
                Error = SystemErrorText(QStringLiteral("reading from the port"), errno);
            break;
        }
    }
    return Got;
}
