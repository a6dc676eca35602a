#include "vport/PtyPairs.h"

#include "vport/PairLocks.h"
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
    FPairs.back()->Watch = FWatcher.WatchPair(FPairs.back()->Pty.SlavePath());
}

void TPtyPairs::UnwatchLocked()
{
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        FWatcher.Unwatch(pair->Watch);
    if (FSpare)
        FWatcher.Unwatch(FSpare->Watch);
    FSpare.reset();
}

void TPtyPairs::ClearLocked()
{
    FHolder = nullptr;
    FPairs.clear();
    FClosed.Clear();
    FOpened = false;
}

bool TPtyPairs::PollLocked(int WatcherFd, bool &EventsWait)
{
    // One system call for every pair and the watches: this runs at every tick.
    std::vector<pollfd> poll;
    poll.reserve(FPairs.size() + 1);
    poll.push_back({WatcherFd, POLLIN, 0});
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        poll.push_back({pair->Pty.MasterFd(), POLLIN, 0});
    int ready;
    do
        ready = ::poll(poll.data(), poll.size(), 0);
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return false;
    // A master reports a hang-up exactly while no application holds its slave.
    for (std::size_t index = 0; index < FPairs.size(); ++index)
        FPairs[index]->Held = (poll[index + 1].revents & POLLHUP) == 0;
    EventsWait = (poll[0].revents & POLLIN) != 0;
    return true;
}

void TPtyPairs::TakeEventLocked(const inotify_event &Event)
{
    // Events the queue had no room for are lost: anything may have happened, so every pair
    // counts as visited. Events of closed pairs' watches are stale.
    if ((Event.mask & IN_Q_OVERFLOW) != 0) {
        for (const std::unique_ptr<TPtyPair> &pair : FPairs)
            pair->Visited = true;
    } else if ((Event.mask & TPortWatcher::kPairEvents) != 0) {
        for (const std::unique_ptr<TPtyPair> &pair : FPairs)
            if (pair->Watch == Event.wd)
                pair->Visited = true;
    }
}

bool TPtyPairs::RenewDueLocked() const
{
    // While a holder is locked the link leads to it: the fresh pair waits.
    if (FHolder)
        return false;
    const TPtyPair &linked = *FPairs.back();
    return (linked.Visited || linked.Held) && std::chrono::steady_clock::now() >= FRenewAt;
}

bool TPtyPairs::RetireLocked(const std::function<void(const TPtyPair &Pair)> &Closing)
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = FPairs.begin(); it + 1 < FPairs.end();) {
        TPtyPair &pair = **it;
        if (pair.Held || &pair == FHolder || now - pair.Unlinked < kUnlinkedPairGrace) {
            ++it;
            continue;
        }
        // What its application wrote before it closed still goes to the device, for the
        // closing wait.
        std::vector<char> left;
        pair.Pty.TakeUnread(left);
        FClosed.Add(left, now);
        Closing(pair);
        FWatcher.Unwatch(pair.Watch);
        it = FPairs.erase(it);
    }
    FClosed.Expire(now);
    FOpened = std::any_of(FPairs.begin(), FPairs.end(),
                          [](const std::unique_ptr<TPtyPair> &Pair) { return Pair->Held; });
    return FOpened;
}

const TPtyPair *TPtyPairs::LockedPairLocked(bool AskTerminals) const
{
    // Read only while a program holds a pair: this runs at every tick.
    std::optional<TPairLocks> locks;
    for (auto it = FPairs.begin(); it + 1 < FPairs.end(); ++it) {
        if (!(*it)->Held)
            continue;
        if (!locks)
            locks.emplace();
        if (locks->Locked((*it)->Pty.SlavePath(), AskTerminals))
            return it->get();
    }
    return nullptr;
}

void TPtyPairs::SetHolderLocked(const TPtyPair *Holder)
{
    // A holder the link leaves is unlinked from now on, as at a move: a program whose open had
    // already followed the link to it still finds it.
    if (FHolder && FHolder != Holder)
        FHolder->Unlinked = std::chrono::steady_clock::now();
    FHolder = nullptr;
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        if (pair.get() == Holder)
            FHolder = pair.get();
}

TPtyPair *TPtyPairs::PrimaryLocked() const
{
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        if (pair->Held)
            return pair.get();
    return nullptr;
}

std::unique_ptr<TPtyPair> TPtyPairs::NewPairLocked(QString &Error)
{
    std::optional<TPty> pty = TPty::Open(Error);
    if (!pty)
        return nullptr;
    auto pair = std::make_unique<TPtyPair>(TPtyPair{std::move(*pty)});
    pair->Watch = FWatcher.WatchPair(pair->Pty.SlavePath());
    return pair;
}

void TPtyPairs::MakeSpareLocked()
{
    QString error;
    FSpare = NewPairLocked(error);
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
    const bool recovered = FRenewFailures > 0;
    FRenewFailures = 0;
    return recovered;
}

QString TPtyPairs::PutOffLocked(const QString &Error)
{
    const std::chrono::milliseconds pause = std::min<std::chrono::milliseconds>(
        kFirstRenewPause * (1 << std::min(FRenewFailures, 16)), kLongestRenewPause);
    ++FRenewFailures;
    FRenewAt = std::chrono::steady_clock::now() + pause;
    return QStringLiteral("the next application may find the last one's settings: %1; trying "
                          "again in %2")
        .arg(Error, Milliseconds(pause));
}

std::size_t TPtyPairs::ReadLocked(char *Into, std::size_t Capacity, QString &Error)
{
    FClosed.Expire(std::chrono::steady_clock::now());
    // No look at the visits here: what an application wrote just before it closed is read from
    // its pair until the pair is closed, and from FClosed after. The pair the link leads to has
    // had no application yet, unless the last look saw one.
    std::vector<TPtyPair *> used;
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        if (pair != FPairs.back() || pair->Visited || pair->Held)
            used.push_back(pair.get());
    // Turn 0 is the closed visits', then the pairs' in the order they were opened.
    const std::size_t turns = used.size() + 1;
    std::vector<bool> dry(turns, false);
    const std::size_t slice = std::max<std::size_t>(1, Capacity / turns);
    const std::size_t first = FTurn++ % turns;
    std::size_t got = 0;
    for (bool moved = true; moved && got < Capacity;) {
        moved = false;
        for (std::size_t step = 0; step < turns && got < Capacity; ++step) {
            const std::size_t turn = (first + step) % turns;
            if (dry[turn])
                continue;
            const std::size_t want = std::min(slice, Capacity - got);
            const std::size_t now = turn == 0 ? FClosed.Read(Into + got, want)
                                              : ReadPair(*used[turn - 1], Into + got, want, Error);
            got += now;
            moved = moved || now > 0;
            dry[turn] = now < want;
        }
    }
    return got;
}

std::size_t TPtyPairs::ReadPair(TPtyPair &Pair, char *Into, std::size_t Capacity, QString &Error)
{
    for (;;) {
        const ssize_t now = ::read(Pair.Pty.MasterFd(), Into, Capacity);
        if (now > 0)
            return static_cast<std::size_t>(now);
        if (now < 0 && errno == EINTR)
            continue;
        // EIO: no application holds the pair and nothing it wrote is left.
        if (now < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO)
            Error = SystemErrorText(QStringLiteral("reading from the port"), errno);
        return 0;
    }
}

long long TPtyPairs::PendingLocked() const
{
    long long pending = static_cast<long long>(FClosed.Size());
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        pending += static_cast<long long>(pair->Pty.Unread());
    return pending;
}

long long TPtyPairs::DropPendingLocked()
{
    // Read out, not asked: a count of what the kernel has handed to the masters so far could
    // miss the end of a write that has returned to its application.
    std::vector<char> left;
    for (const std::unique_ptr<TPtyPair> &pair : FPairs)
        pair->Pty.TakeUnread(left);
    const long long dropped = static_cast<long long>(FClosed.Size() + left.size());
    FClosed.Clear();
    return dropped;
}
