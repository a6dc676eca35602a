#include "vport/VSPortLib_TLB.h"

#include "vport/PortLink.h"
#include "vport/PortLock.h"
#include "vport/PortPlace.h"
#include "vport/Pty.h"
#include "vport/SystemError.h"

#include "vport/PortExit.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
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

IVSPortAx::~IVSPortAx() = default;

struct TVSPortAx::TPort {
    TPortPlace Place;
    // Refers to Place's folder, so it must go first.
    TPortLock Lock;
};

struct TVSPortAx::TPair {
    TPty Pty;
    // Its slave's open and close events; -1 without the watcher.
    int Watch = -1;
    // An application has opened or closed it.
    bool Visited = false;
    // An application held it at the last look.
    bool Held = false;
    // When the link stopped leading to it (the epoch while it still does).
    std::chrono::steady_clock::time_point Unlinked{};
};

TVSPortAx::TVSPortAx()
{
    if (!FWatcher.Valid()) {
        // The control still sees an application on a call of its own.
        FLastErrorText =
            SystemErrorText(QStringLiteral("watching the port for applications that come and go"),
                            FWatcher.Errno());
        return;
    }
    FWatcher.Start([this] {
        std::lock_guard Guard(FMutex);
        // The events are read (and the link moved on) under the control's lock, by whichever
        // comes first: the watcher's thread or a call of the bridge.
        if (FPort)
            LookLocked();
        else
            FWatcher.Discard();
    });
}

TVSPortAx::~TVSPortAx()
{
    PortExit::Leave(this);
    End();
}

void TVSPortAx::End()
{
    FWatcher.Stop();
    std::lock_guard Guard(FMutex);
    // Without DeleteOnExit the link and its lock file stay as a left-over, which the next
    // CreatePort under that name takes over.
    if (FDeleteOnExitSet)
        DeleteLocked(true);
}

bool TVSPortAx::CreatePort(const QString &PortName)
{
    PortExit::Enlist(this, [this] { End(); });
    std::lock_guard Guard(FMutex);
    // One port at a time: the old one goes first, even if the new one then fails.
    DeleteLocked();
    FLastErrorText.clear();
    ClearLeftOversLocked();

    QString Error;
    std::optional<TPortPlace> Place = TPortPlace::Resolve(PortName, Error);
    if (!Place) {
        FailLocked(Error);
        return false;
    }
    std::optional<TPortLock> Lock =
        TPortLock::Acquire(Place->FolderFd(), Place->FolderPath(), Place->Entry(), Error);
    if (!Lock) {
        FailLocked(Error);
        return false;
    }
    std::optional<TPty> Pty = TPty::Open(Error);
    // Published before the link exists, so that a signal at any moment from here on takes it
    // (and the lock file) along.
    const int Slot = Pty ? PortExit::Claim() : PortExit::NoSlot;
    if (Pty)
        PortExit::Publish(Slot, Place->FolderFd(), Place->Entry(), Pty->SlavePath(),
                          '.' + Place->Entry() + ".lock", Place->ParentFd(), Place->FolderEntry());
    if (!Pty || !portlink::PlaceLink(*Place, *Lock, Pty->SlavePath(), Error)) {
        PortExit::Release(Slot);
        Lock->Abandon();
        FailLocked(Error);
        return false;
    }
    FExitSlot = Slot;
    FPort.reset(new TPort{std::move(*Place), std::move(*Lock)});
    FPairs.push_back(std::make_unique<TPair>(TPair{std::move(*Pty)}));
    FOpened = false;
    FRenewFailures = 0;
    FQueue.clear();
    FQueueFor = nullptr;
    FUnread.clear();
    FPairs.back()->Watch = FWatcher.WatchPair(FPairs.back()->Pty.SlavePath());
    FFolderWatch = FWatcher.WatchFolder(FPort->Place.FolderFd());
    FLinkKnownOurs = false;
    RecordLinkLocked();
    portlink::ClearTemporaries(FPort->Place.FolderFd(), FPort->Place.Entry());
    FSpare = NewPairLocked(Error);
    // A port that works but is not where the user would look first says why.
    if (!FPort->Place.Note().isEmpty())
        FailLocked(FPort->Place.Note());
    return true;
}

void TVSPortAx::RecordLinkLocked()
{
    const TPortPlace &Place = FPort->Place;
    const QByteArray &Target = FPairs.back()->Pty.SlavePath();
    struct stat Link = {};
    QString Error;
    if (!portlink::StatLink(Place, Link) || !FPort->Lock.Record(Target, Link, Error))
        // The port works; only a crash's left-over would then not be taken over.
        FailLocked(
            Error.isEmpty()
                ? SystemErrorText(QStringLiteral("checking the link %1").arg(Place.Path()), errno)
                : Error);
    PublishLocked(Target);
}

void TVSPortAx::PublishLocked(const QByteArray &Target, const QByteArray &Previous,
                              const QByteArray &Temporary)
{
    const TPortPlace &Place = FPort->Place;
    PortExit::Publish(FExitSlot, Place.FolderFd(), Place.Entry(), Target,
                      '.' + Place.Entry() + ".lock", Place.ParentFd(), Place.FolderEntry(),
                      Previous, Temporary);
}

void TVSPortAx::ClearLeftOversLocked()
{
    if (FLeftOversCleared)
        return;
    FLeftOversCleared = true;
    portlink::ClearLeftOvers();
}

bool TVSPortAx::Delete()
{
    std::lock_guard Guard(FMutex);
    return DeleteLocked();
}

bool TVSPortAx::DeleteLocked(bool Leaving)
{
    if (!FPort)
        return true;
    PortExit::Release(FExitSlot);
    FExitSlot = PortExit::NoSlot;
    for (const std::unique_ptr<TPair> &Pair : FPairs)
        FWatcher.Unwatch(Pair->Watch);
    if (FSpare)
        FWatcher.Unwatch(FSpare->Watch);
    FSpare.reset();
    FWatcher.Unwatch(FFolderWatch);
    FFolderWatch = -1;
    FLinkKnownOurs = false;
    bool Ok = true;
    // Only our own link goes: if something else has taken its place, it stays.
    if (LinkIsOursLocked() &&
        ::unlinkat(FPort->Place.FolderFd(), FPort->Place.Entry().constData(), 0) != 0 &&
        errno != ENOENT) {
        FailLocked(SystemErrorText(QStringLiteral("removing the link %1").arg(FPort->Place.Path()),
                                   errno));
        Ok = false;
    }
    QString Error;
    if (!FPort->Lock.Remove(Error)) {
        FailLocked(Error);
        Ok = false;
    }
    if (Leaving)
        FPort->Place.RemoveOwnFolderIfEmpty();
    FPort.reset();
    FPairs.clear();
    FQueue.clear();
    FQueueFor = nullptr;
    FUnread.clear();
    FOpened = false;
    return Ok;
}

bool TVSPortAx::LinkIsOursLocked() const
{
    if (!FPort)
        return false;
    // Ours is a symlink to the newest pair's slave, whoever made it; readlink fails on anything
    // else.
    const std::optional<QByteArray> Target =
        portlink::ReadLinkAt(FPort->Place.FolderFd(), FPort->Place.Entry());
    return Target && *Target == FPairs.back()->Pty.SlavePath();
}

void TVSPortAx::ReadEventsLocked()
{
    // Events the queue had no room for are lost: anything may have happened, so every pair
    // counts as visited and the link is read again. Events of closed pairs' watches are stale.
    FWatcher.ReadEvents([this](const inotify_event &Event) {
        if ((Event.mask & IN_Q_OVERFLOW) != 0) {
            for (const std::unique_ptr<TPair> &Pair : FPairs)
                Pair->Visited = true;
            FLinkKnownOurs = false;
        } else if (Event.wd == FFolderWatch && FFolderWatch >= 0) {
            // The folder itself moved or went, or something came or went at the link's name
            // (our own moves included): the link is read again.
            if ((Event.mask & IN_IGNORED) != 0)
                FFolderWatch = -1;
            if (Event.len == 0 || FPort == nullptr || FPort->Place.Entry() == Event.name)
                FLinkKnownOurs = false;
        } else if ((Event.mask & TPortWatcher::kPairEvents) != 0) {
            for (const std::unique_ptr<TPair> &Pair : FPairs)
                if (Pair->Watch == Event.wd)
                    Pair->Visited = true;
        }
    });
}

bool TVSPortAx::LookLocked()
{
    if (!FPort)
        return false;
    // One system call for every pair and the watches: this runs at every tick.
    std::vector<pollfd> Poll;
    Poll.reserve(FPairs.size() + 1);
    Poll.push_back({FWatcher.Fd(), POLLIN, 0});
    for (const std::unique_ptr<TPair> &Pair : FPairs)
        Poll.push_back({Pair->Pty.MasterFd(), POLLIN, 0});
    int Ready;
    do
        Ready = ::poll(Poll.data(), Poll.size(), 0);
    while (Ready < 0 && errno == EINTR);
    if (Ready < 0)
        return FOpened;
    // A master reports a hang-up exactly while no application holds its slave.
    for (std::size_t Index = 0; Index < FPairs.size(); ++Index)
        FPairs[Index]->Held = (Poll[Index + 1].revents & POLLHUP) == 0;
    if ((Poll[0].revents & POLLIN) != 0)
        ReadEventsLocked();

    TPair &Linked = *FPairs.back();
    if ((Linked.Visited || Linked.Held) && std::chrono::steady_clock::now() >= FRenewAt)
        RenewLocked();
    RetirePairsLocked();
    FOpened = std::any_of(FPairs.begin(), FPairs.end(),
                          [](const std::unique_ptr<TPair> &Pair) { return Pair->Held; });
    return FOpened;
}

std::unique_ptr<TVSPortAx::TPair> TVSPortAx::NewPairLocked(QString &Error)
{
    std::optional<TPty> Pty = TPty::Open(Error);
    if (!Pty)
        return nullptr;
    auto Pair = std::make_unique<TPair>(TPair{std::move(*Pty)});
    Pair->Watch = FWatcher.WatchPair(Pair->Pty.SlavePath());
    return Pair;
}

void TVSPortAx::RenewLocked()
{
    QString Error;
    // Made ahead, so that the move itself is two system calls: the sooner the link has moved,
    // the shorter a visit can be and still leave nothing to the next.
    std::unique_ptr<TPair> Fresh = FSpare ? std::move(FSpare) : NewPairLocked(Error);
    if (Fresh && LinkIsOursLocked())
        portlink::MoveLink(
            FPort->Place, Fresh->Pty.SlavePath(),
            [&](const QByteArray &Temporary) {
                // A signal from here until the move is recorded finds either link.
                PublishLocked(Fresh->Pty.SlavePath(), FPairs.back()->Pty.SlavePath(), Temporary);
            },
            Error);
    // A link that is gone or not ours is left alone: PortCreated turns false and the panel
    // creates the port again.
    if (!Error.isEmpty()) {
        if (FPort)
            PublishLocked(FPairs.back()->Pty.SlavePath());
        FSpare = std::move(Fresh);
        const std::chrono::milliseconds Pause = std::min<std::chrono::milliseconds>(
            kFirstRenewPause * (1 << std::min(FRenewFailures, 16)), kLongestRenewPause);
        ++FRenewFailures;
        FRenewAt = std::chrono::steady_clock::now() + Pause;
        const QString Text =
            QStringLiteral("the next application may find the last one's settings: %1; trying "
                           "again in %2")
                .arg(Error, Milliseconds(Pause));
        FailLocked(Text);
        NoticeLocked(QStringLiteral("port: ") + Text);
        return;
    }
    if (FRenewFailures > 0) {
        FRenewFailures = 0;
        FLastErrorText.clear();
        NoticeLocked(QStringLiteral("port: the link leads to a fresh pseudo-terminal again"));
    }
    FPairs.back()->Unlinked = std::chrono::steady_clock::now();
    FPairs.push_back(std::move(Fresh));
    FLinkKnownOurs = false;
    if (LinkIsOursLocked())
        RecordLinkLocked();
    // The next one; without it the next move makes its own.
    FSpare = NewPairLocked(Error);
}

void TVSPortAx::RetirePairsLocked()
{
    const auto Now = std::chrono::steady_clock::now();
    for (auto It = FPairs.begin(); It + 1 < FPairs.end();) {
        TPair &Pair = **It;
        if (Pair.Held || Now - Pair.Unlinked < kUnlinkedPairGrace) {
            ++It;
            continue;
        }
        // What its application wrote before it closed still goes to the device; what waited
        // for it is dropped, as at any close.
        Pair.Pty.TakeUnread(FUnread);
        if (FQueueFor == &Pair)
            DropQueueLocked();
        FWatcher.Unwatch(Pair.Watch);
        It = FPairs.erase(It);
    }
}

TVSPortAx::TPair *TVSPortAx::PrimaryLocked() const
{
    for (const std::unique_ptr<TPair> &Pair : FPairs)
        if (Pair->Held)
            return Pair.get();
    return nullptr;
}

bool TVSPortAx::ServiceLocked()
{
    const bool Now = LookLocked();
    if (Now)
        SendQueuedLocked();
    return Now;
}

std::size_t TVSPortAx::WriteNowLocked(TPair &Pair, const char *Data, std::size_t Size, bool &Gone)
{
    Gone = false;
    std::size_t Sent = 0;
    while (Sent < Size) {
        const ssize_t Done = ::write(Pair.Pty.MasterFd(), Data + Sent, Size - Sent);
        if (Done > 0) {
            Sent += static_cast<std::size_t>(Done);
            continue;
        }
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        // EIO: the application closed the port this very moment.
        if (errno != EIO)
            FailLocked(SystemErrorText(QStringLiteral("writing to the port"), errno));
        Gone = true;
        break;
    }
    return Sent;
}

void TVSPortAx::DropQueueLocked()
{
    FDroppedBytes += static_cast<long long>(FQueue.size());
    FQueue.clear();
    FQueueFor = nullptr;
}

void TVSPortAx::SendQueuedLocked()
{
    if (FQueue.empty())
        return;
    TPair *Primary = PrimaryLocked();
    // Nobody is left to read what waited for the application that has gone: it goes, as at any
    // close.
    if (Primary != FQueueFor) {
        DropQueueLocked();
        return;
    }
    bool Gone = false;
    const std::size_t Sent = WriteNowLocked(*Primary, FQueue.data(), FQueue.size(), Gone);
    FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(Sent));
    if (Gone)
        DropQueueLocked();
}

long TVSPortAx::Write(const void *Buffer, long Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    std::lock_guard Guard(FMutex);
    // Nobody listens: a serial line drops the bytes, and so does the port.
    TPair *Primary = ServiceLocked() ? PrimaryLocked() : nullptr;
    if (Primary == nullptr) {
        FDroppedBytes += Count;
        return Count;
    }

    const char *Data = static_cast<const char *>(Buffer);
    auto Left = static_cast<std::size_t>(Count);
    // Order matters: straight to the pty only while nothing waits in the queue.
    if (FQueue.empty()) {
        bool Gone = false;
        const std::size_t Sent = WriteNowLocked(*Primary, Data, Left, Gone);
        if (Gone) {
            FDroppedBytes += static_cast<long long>(Left - Sent);
            return Count;
        }
        Data += Sent;
        Left -= Sent;
    }
    const std::size_t Queued = std::min(Left, WriteQueueCapacity - FQueue.size());
    if (Queued > 0) {
        FQueue.insert(FQueue.end(), Data, Data + Queued);
        FQueueFor = Primary;
    }
    return Count - static_cast<long>(Left - Queued);
}

long TVSPortAx::Read(void *Buffer, long *Count)
{
    if (Buffer == nullptr || Count == nullptr || *Count <= 0)
        return 0;
    std::lock_guard Guard(FMutex);
    if (!FPort)
        return 0;
    auto *Into = static_cast<char *>(Buffer);
    const auto Capacity = static_cast<std::size_t>(*Count);
    // Oldest first: what applications wrote to closed pairs, then each pair in the order they
    // were opened. No look at the visits here: what an application wrote just before it closed
    // is read from its pair until the pair is closed, and from FUnread after.
    std::size_t Got = std::min(FUnread.size(), Capacity);
    std::copy_n(FUnread.begin(), Got, Into);
    FUnread.erase(FUnread.begin(), FUnread.begin() + static_cast<std::ptrdiff_t>(Got));
    for (const std::unique_ptr<TPair> &Pair : FPairs) {
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
                FailLocked(SystemErrorText(QStringLiteral("reading from the port"), errno));
            break;
        }
    }
    return static_cast<long>(Got);
}

long TVSPortAx::WriteRoom()
{
    std::lock_guard Guard(FMutex);
    // As the last look found it (PortOpened, once a tick, or Write): while nobody listens Write
    // drops everything, so everything fits.
    if (!FOpened)
        return static_cast<long>(WriteQueueCapacity);
    // What waits goes on first, as far as the application has read: that is the room there is.
    SendQueuedLocked();
    return static_cast<long>(WriteQueueCapacity - FQueue.size());
}

bool TVSPortAx::SetDSR(bool On)
{
    std::lock_guard Guard(FMutex);
    FLines.Dsr = On;
    return true;
}

bool TVSPortAx::SetRING(bool On)
{
    std::lock_guard Guard(FMutex);
    FLines.Ring = On;
    return true;
}

bool TVSPortAx::SetDCD(bool On)
{
    std::lock_guard Guard(FMutex);
    FLines.Dcd = On;
    return true;
}

bool TVSPortAx::SetWiring(long Dtr, long Rts, long Out1, long Out2)
{
    std::lock_guard Guard(FMutex);
    FLines.Dtr = Dtr;
    FLines.Rts = Rts;
    FLines.Out1 = Out1;
    FLines.Out2 = Out2;
    return true;
}

bool TVSPortAx::ResetBus()
{
    std::lock_guard Guard(FMutex);
    const bool Ok = DeleteLocked();
    FLines = TLineStates();
    return Ok;
}

bool TVSPortAx::PortCreated()
{
    std::lock_guard Guard(FMutex);
    if (!FPort)
        return false;
    // The watcher reads the folder's events as they come; without it they are read here.
    if (!FWatcher.Running())
        ReadEventsLocked();
    if (FLinkKnownOurs)
        return true;
    const bool Ours = LinkIsOursLocked();
    // Without the folder's watch nothing would tell when the link changes: it is read each time.
    FLinkKnownOurs = Ours && FFolderWatch >= 0;
    return Ours;
}

bool TVSPortAx::PortOpened()
{
    std::lock_guard Guard(FMutex);
    return ServiceLocked();
}

bool TVSPortAx::DeleteOnExit() const
{
    std::lock_guard Guard(FMutex);
    return FDeleteOnExitSet;
}

void TVSPortAx::SetDeleteOnExit(bool On)
{
    std::lock_guard Guard(FMutex);
    FDeleteOnExitSet = On;
}

QString TVSPortAx::PortPath() const
{
    std::lock_guard Guard(FMutex);
    return FPort ? FPort->Place.Path() : QString();
}

QString TVSPortAx::LastError() const
{
    std::lock_guard Guard(FMutex);
    return FLastErrorText;
}

TVSPortAx::TLineStates TVSPortAx::LineStates() const
{
    std::lock_guard Guard(FMutex);
    return FLines;
}

long long TVSPortAx::Dropped() const
{
    std::lock_guard Guard(FMutex);
    return FDroppedBytes;
}

QStringList TVSPortAx::TakeNotices()
{
    std::lock_guard Guard(FMutex);
    QStringList Taken;
    Taken.swap(FNotices);
    return Taken;
}

void TVSPortAx::FailLocked(const QString &Text)
{
    FLastErrorText = Text;
}

void TVSPortAx::NoticeLocked(const QString &Text)
{
    // Bounded: a caller that never takes them loses the oldest, never memory.
    constexpr qsizetype Kept = 32;
    if (FNotices.size() >= Kept)
        FNotices.removeFirst();
    FNotices.append(Text);
}
