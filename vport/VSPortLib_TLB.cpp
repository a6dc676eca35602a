#include "vport/VSPortLib_TLB.h"

#include "vport/PairLocks.h"
#include "vport/PortExit.h"
#include "vport/PortLink.h"
#include "vport/SystemError.h"

#include <optional>

IVSPortAx::~IVSPortAx() = default;

TVSPortAx::TVSPortAx() : FPairs(FWatcher)
{
    if (!FWatcher.Valid()) {
        // The control still sees an application on a call of its own.
        FLastErrorText =
            SystemErrorText(QStringLiteral("watching the port for applications that come and go"),
                            FWatcher.Errno());
        return;
    }
    FWatcher.Start([this] {
        std::lock_guard guard(FMutex);
        // The events are read (and the link moved on) under the control's lock, by whichever
        // comes first: the watcher's thread or a call of the bridge. Most often an open of the
        // fresh pair woke the thread: the link moves on before anything else is looked at.
        if (!FEntry) {
            FWatcher.Discard();
            return;
        }
        ReadEventsLocked();
        if (FPairs.RenewDueLocked())
            RenewLocked();
        LookLocked(false);
    });
}

TVSPortAx::~TVSPortAx()
{
    portexit::Leave(this);
    End();
}

void TVSPortAx::End()
{
    FWatcher.Stop();
    std::lock_guard guard(FMutex);
    // Without DeleteOnExit the link and its lock file stay as a left-over, which the next
    // CreatePort under that name takes over.
    if (FDeleteOnExitSet)
        DeleteLocked(true);
}

bool TVSPortAx::CreatePort(const QString &PortName)
{
    portexit::Enlist(this, [this] { End(); });
    std::lock_guard guard(FMutex);
    // One port at a time: the old one goes first, even if the new one then fails.
    DeleteLocked();
    FLastErrorText.clear();
    ClearLeftOversLocked();

    QString error;
    std::unique_ptr<TPortEntry> entry = TPortEntry::Acquire(PortName, FWatcher, error);
    if (!entry) {
        FailLocked(error);
        return false;
    }
    std::optional<TPty> pty = TPty::Open(error);
    if (!pty || !entry->PlaceLink(pty->SlavePath(), error)) {
        entry->Abandon();
        FailLocked(error);
        return false;
    }
    FEntry = std::move(entry);
    FPairs.StartLocked(std::move(*pty));
    FQueue.ClearLocked();
    FEntry->Watch();
    RecordLinkLocked();
    FEntry->ClearTemporaries();
    FPairs.MakeSpareLocked();
    // A port that works but is not where the user would look first says why.
    if (!FEntry->Note().isEmpty())
        FailLocked(FEntry->Note());
    return true;
}

void TVSPortAx::RecordLinkLocked()
{
    QString error;
    // The port works; only a crash's left-over would then not be taken over.
    if (!FEntry->Record(FPairs.LinkTargetLocked(), error))
        FailLocked(error);
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
    std::lock_guard guard(FMutex);
    return DeleteLocked();
}

bool TVSPortAx::DeleteLocked(bool Leaving)
{
    if (!FEntry)
        return true;
    FEntry->Release();
    FPairs.UnwatchLocked();
    QString error;
    const bool ok = FEntry->Remove(FPairs.LinkTargetLocked(), Leaving, error);
    if (!ok)
        FailLocked(error);
    FEntry.reset();
    FPairs.ClearLocked();
    FQueue.ClearLocked();
    return ok;
}

void TVSPortAx::ReadEventsLocked()
{
    FWatcher.ReadEvents([this](const inotify_event &Event) {
        if (!FEntry->TakeEvent(Event))
            FPairs.TakeEventLocked(Event);
    });
}

bool TVSPortAx::LookLocked(bool AtLocks)
{
    if (!FEntry)
        return false;
    bool eventsWait = false;
    if (!FPairs.PollLocked(FWatcher.Fd(), eventsWait))
        return FPairs.Opened();
    if (eventsWait)
        ReadEventsLocked();
    HonourLocksLocked(AtLocks);
    if (FPairs.RenewDueLocked())
        RenewLocked();
    return FPairs.RetireLocked([this](const TPtyPair &Pair) { FQueue.DropForLocked(Pair); });
}

void TVSPortAx::HonourLocksLocked(bool AtLocks)
{
    // A holder that has closed its pair is let go at once, on the watcher's look too: the next
    // program must not meet what it left. A new file lock is looked for at every tick; whether a
    // holder still holds its lock, and whether a terminal is exclusive, costs an open of the pair
    // (and a wake of the watcher), so it is asked every kLocksAskEvery.
    const auto now = std::chrono::steady_clock::now();
    const bool ask = AtLocks && now >= FLocksAskAt;
    if (ask)
        FLocksAskAt = now + kLocksAskEvery;
    const TPtyPair *holder = FPairs.HolderLocked();
    if (holder && (!holder->Held || (ask && !TPairLocks().Locked(holder->Pty.SlavePath()))))
        RelinkLocked(nullptr);
    if (!AtLocks || FPairs.HolderLocked())
        return;
    if (const TPtyPair *locked = FPairs.LockedPairLocked(ask))
        RelinkLocked(locked);
}

void TVSPortAx::RelinkLocked(const TPtyPair *Holder)
{
    const QByteArray &current = FPairs.LinkTargetLocked();
    const QByteArray &target =
        Holder ? Holder->Pty.SlavePath() : FPairs.LinkedLocked().Pty.SlavePath();
    QString error;
    // A link that is gone or not ours is left alone, as at a move.
    if (!FEntry->IsOurs(current))
        return;
    if (!FEntry->MoveLink(target, current, error)) {
        FEntry->Publish(current);
        NoticeLocked(QStringLiteral("port: a lock cannot be honoured: ") + error);
        return;
    }
    FPairs.SetHolderLocked(Holder);
    FEntry->Forget();
    RecordLinkLocked();
}

void TVSPortAx::RenewLocked()
{
    QString error;
    // Made ahead, so that the move itself is two system calls: the sooner the link has moved,
    // the shorter a visit can be and still leave nothing to the next.
    const TPtyPair *fresh = FPairs.SpareLocked(error);
    const QByteArray &linked = FPairs.LinkedLocked().Pty.SlavePath();
    if (fresh && FEntry->IsOurs(linked))
        FEntry->MoveLink(fresh->Pty.SlavePath(), linked, error);
    // A link that is gone or not ours is left alone: PortCreated turns false and the panel
    // creates the port again.
    if (!error.isEmpty()) {
        if (FEntry)
            FEntry->Publish(linked);
        const QString text = FPairs.PutOffLocked(error);
        FailLocked(text);
        NoticeLocked(QStringLiteral("port: ") + text);
        return;
    }
    if (FPairs.MovedLocked()) {
        FLastErrorText.clear();
        NoticeLocked(QStringLiteral("port: the link leads to a fresh pseudo-terminal again"));
    }
    FEntry->Forget();
    if (FEntry->IsOurs(FPairs.LinkedLocked().Pty.SlavePath()))
        RecordLinkLocked();
    FPairs.MakeSpareLocked();
}

bool TVSPortAx::ServiceLocked(bool AtLocks)
{
    const bool now = LookLocked(AtLocks);
    if (now)
        SendQueuedLocked();
    return now;
}

void TVSPortAx::SendQueuedLocked()
{
    QString error;
    FQueue.SendLocked(FPairs.PrimaryLocked(), error);
    if (!error.isEmpty())
        FailLocked(error);
}

long TVSPortAx::Write(const void *Buffer, long Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    std::lock_guard guard(FMutex);
    TPtyPair *primary = ServiceLocked() ? FPairs.PrimaryLocked() : nullptr;
    QString error;
    const long taken = FQueue.WriteLocked(primary, static_cast<const char *>(Buffer), Count, error);
    if (!error.isEmpty())
        FailLocked(error);
    return taken;
}

long TVSPortAx::Read(void *Buffer, long *Count)
{
    if (Buffer == nullptr || Count == nullptr || *Count <= 0)
        return 0;
    std::lock_guard guard(FMutex);
    if (!FEntry)
        return 0;
    QString error;
    const std::size_t got =
        FPairs.ReadLocked(static_cast<char *>(Buffer), static_cast<std::size_t>(*Count), error);
    if (!error.isEmpty())
        FailLocked(error);
    return static_cast<long>(got);
}

long TVSPortAx::WriteRoom()
{
    std::lock_guard guard(FMutex);
    // As the last look found it (PortOpened, once a tick, or Write): while nobody listens Write
    // drops everything, so everything fits.
    if (!FPairs.Opened())
        return static_cast<long>(WriteQueueCapacity);
    // What waits goes on first, as far as the application has read: that is the room there is.
    SendQueuedLocked();
    return static_cast<long>(FQueue.Room());
}

bool TVSPortAx::SetDSR(bool On)
{
    std::lock_guard guard(FMutex);
    FLines.Dsr = On;
    return true;
}

bool TVSPortAx::SetRING(bool On)
{
    std::lock_guard guard(FMutex);
    FLines.Ring = On;
    return true;
}

bool TVSPortAx::SetDCD(bool On)
{
    std::lock_guard guard(FMutex);
    FLines.Dcd = On;
    return true;
}

bool TVSPortAx::SetWiring(long Dtr, long Rts, long Out1, long Out2)
{
    std::lock_guard guard(FMutex);
    FLines.Dtr = Dtr;
    FLines.Rts = Rts;
    FLines.Out1 = Out1;
    FLines.Out2 = Out2;
    return true;
}

bool TVSPortAx::ResetBus()
{
    std::lock_guard guard(FMutex);
    const bool ok = DeleteLocked();
    FLines = TLineStates();
    return ok;
}

bool TVSPortAx::PortCreated()
{
    std::lock_guard guard(FMutex);
    if (!FEntry)
        return false;
    // The watcher reads the folder's events as they come; without it they are read here.
    if (!FWatcher.Running())
        ReadEventsLocked();
    return FEntry->KnownOurs(FPairs.LinkTargetLocked());
}

bool TVSPortAx::PortOpened()
{
    std::lock_guard guard(FMutex);
    return ServiceLocked(true);
}

bool TVSPortAx::DeleteOnExit() const
{
    std::lock_guard guard(FMutex);
    return FDeleteOnExitSet;
}

void TVSPortAx::SetDeleteOnExit(bool On)
{
    std::lock_guard guard(FMutex);
    FDeleteOnExitSet = On;
}

QString TVSPortAx::PortPath() const
{
    std::lock_guard guard(FMutex);
    return FEntry ? FEntry->Path() : QString();
}

QString TVSPortAx::LastError() const
{
    std::lock_guard guard(FMutex);
    return FLastErrorText;
}

TVSPortAx::TLineStates TVSPortAx::LineStates() const
{
    std::lock_guard guard(FMutex);
    return FLines;
}

long long TVSPortAx::Dropped() const
{
    std::lock_guard guard(FMutex);
    return FQueue.Dropped();
}

TPortDrops TVSPortAx::Drops() const
{
    std::lock_guard guard(FMutex);
    TPortDrops drops;
    drops.NobodyHeld = FQueue.DroppedUnheld();
    drops.NotRead = FQueue.Dropped() - drops.NobodyHeld;
    drops.ClosingWait = FPairs.Closed().DroppedAtClosingWait();
    drops.OverKept = FPairs.Closed().DroppedOverKept();
    return drops;
}

void TVSPortAx::SetClosingWait(std::chrono::milliseconds Wait)
{
    std::lock_guard guard(FMutex);
    FPairs.Closed().SetClosingWait(Wait);
}

long long TVSPortAx::PendingForDevice() const
{
    std::lock_guard guard(FMutex);
    return FEntry ? FPairs.PendingLocked() : 0;
}

long long TVSPortAx::DropPendingForDevice()
{
    std::lock_guard guard(FMutex);
    return FEntry ? FPairs.DropPendingLocked() : 0;
}

QStringList TVSPortAx::TakeNotices()
{
    std::lock_guard guard(FMutex);
    QStringList taken;
    taken.swap(FNotices);
    return taken;
}

void TVSPortAx::FailLocked(const QString &Text)
{
    FLastErrorText = Text;
}

void TVSPortAx::NoticeLocked(const QString &Text)
{
    // Bounded: a caller that never takes them loses the oldest, never memory.
    constexpr qsizetype kKept = 32;
    if (FNotices.size() >= kKept)
        FNotices.removeFirst();
    FNotices.append(Text);
}
