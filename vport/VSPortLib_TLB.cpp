#include "vport/VSPortLib_TLB.h"

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
        std::lock_guard Guard(FMutex);
        // The events are read (and the link moved on) under the control's lock, by whichever
        // comes first: the watcher's thread or a call of the bridge.
        if (FEntry)
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
    std::unique_ptr<TPortEntry> Entry = TPortEntry::Acquire(PortName, FWatcher, Error);
    if (!Entry) {
        FailLocked(Error);
        return false;
    }
    std::optional<TPty> Pty = TPty::Open(Error);
    if (!Pty || !Entry->PlaceLink(Pty->SlavePath(), Error)) {
        Entry->Abandon();
        FailLocked(Error);
        return false;
    }
    FEntry = std::move(Entry);
    FPairs.StartLocked(std::move(*Pty));
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
    QString Error;
    // The port works; only a crash's left-over would then not be taken over.
    if (!FEntry->Record(FPairs.LinkedLocked().Pty.SlavePath(), Error))
        FailLocked(Error);
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
    if (!FEntry)
        return true;
    FEntry->Release();
    FPairs.UnwatchLocked();
    QString Error;
    const bool Ok = FEntry->Remove(FPairs.LinkedLocked().Pty.SlavePath(), Leaving, Error);
    if (!Ok)
        FailLocked(Error);
    FEntry.reset();
    FPairs.ClearLocked();
    FQueue.ClearLocked();
    return Ok;
}

void TVSPortAx::ReadEventsLocked()
{
    FWatcher.ReadEvents([this](const inotify_event &Event) {
        if (!FEntry->TakeEvent(Event))
            FPairs.TakeEventLocked(Event);
    });
}

bool TVSPortAx::LookLocked()
{
    if (!FEntry)
        return false;
    bool EventsWait = false;
    if (!FPairs.PollLocked(FWatcher.Fd(), EventsWait))
        return FPairs.Opened();
    if (EventsWait)
        ReadEventsLocked();
    if (FPairs.RenewDueLocked())
        RenewLocked();
    return FPairs.RetireLocked([this](const TPtyPair &Pair) { FQueue.DropForLocked(Pair); });
}

void TVSPortAx::RenewLocked()
{
    QString Error;
    // Made ahead, so that the move itself is two system calls: the sooner the link has moved,
    // the shorter a visit can be and still leave nothing to the next.
    const TPtyPair *Fresh = FPairs.SpareLocked(Error);
    const QByteArray &Linked = FPairs.LinkedLocked().Pty.SlavePath();
    if (Fresh && FEntry->IsOurs(Linked))
        FEntry->MoveLink(Fresh->Pty.SlavePath(), Linked, Error);
    // A link that is gone or not ours is left alone: PortCreated turns false and the panel
    // creates the port again.
    if (!Error.isEmpty()) {
        if (FEntry)
            FEntry->Publish(Linked);
        const QString Text = FPairs.PutOffLocked(Error);
        FailLocked(Text);
        NoticeLocked(QStringLiteral("port: ") + Text);
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

bool TVSPortAx::ServiceLocked()
{
    const bool Now = LookLocked();
    if (Now)
        SendQueuedLocked();
    return Now;
}

void TVSPortAx::SendQueuedLocked()
{
    QString Error;
    FQueue.SendLocked(FPairs.PrimaryLocked(), Error);
    if (!Error.isEmpty())
        FailLocked(Error);
}

long TVSPortAx::Write(const void *Buffer, long Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    std::lock_guard Guard(FMutex);
    TPtyPair *Primary = ServiceLocked() ? FPairs.PrimaryLocked() : nullptr;
    QString Error;
    const long Taken = FQueue.WriteLocked(Primary, static_cast<const char *>(Buffer), Count, Error);
    if (!Error.isEmpty())
        FailLocked(Error);
    return Taken;
}

long TVSPortAx::Read(void *Buffer, long *Count)
{
    if (Buffer == nullptr || Count == nullptr || *Count <= 0)
        return 0;
    std::lock_guard Guard(FMutex);
    if (!FEntry)
        return 0;
    QString Error;
    const std::size_t Got =
        FPairs.ReadLocked(static_cast<char *>(Buffer), static_cast<std::size_t>(*Count), Error);
    if (!Error.isEmpty())
        FailLocked(Error);
    return static_cast<long>(Got);
}

long TVSPortAx::WriteRoom()
{
    std::lock_guard Guard(FMutex);
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
    if (!FEntry)
        return false;
    // The watcher reads the folder's events as they come; without it they are read here.
    if (!FWatcher.Running())
        ReadEventsLocked();
    return FEntry->KnownOurs(FPairs.LinkedLocked().Pty.SlavePath());
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
    return FEntry ? FEntry->Path() : QString();
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
    return FQueue.Dropped();
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
