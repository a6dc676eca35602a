#include "vport/VSPortLib_TLB.h"

#include "vport/PortLink.h"
#include "vport/PortLock.h"
#include "vport/PortPlace.h"
#include "vport/SystemError.h"

#include "vport/PortExit.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;

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
    FPairs.StartLocked(std::move(*Pty));
    FQueue.ClearLocked();
    FFolderWatch = FWatcher.WatchFolder(FPort->Place.FolderFd());
    FLinkKnownOurs = false;
    RecordLinkLocked();
    portlink::ClearTemporaries(FPort->Place.FolderFd(), FPort->Place.Entry());
    FPairs.MakeSpareLocked();
    // A port that works but is not where the user would look first says why.
    if (!FPort->Place.Note().isEmpty())
        FailLocked(FPort->Place.Note());
    return true;
}

void TVSPortAx::RecordLinkLocked()
{
    const TPortPlace &Place = FPort->Place;
    const QByteArray &Target = FPairs.LinkedLocked().Pty.SlavePath();
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
    FPairs.UnwatchLocked();
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
    FPairs.ClearLocked();
    FQueue.ClearLocked();
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
    return Target && *Target == FPairs.LinkedLocked().Pty.SlavePath();
}

void TVSPortAx::ReadEventsLocked()
{
    // Events the queue had no room for are lost: anything may have happened, so the link is read
    // again (and the pairs count as visited).
    FWatcher.ReadEvents([this](const inotify_event &Event) {
        if ((Event.mask & IN_Q_OVERFLOW) != 0) {
            FLinkKnownOurs = false;
        } else if (Event.wd == FFolderWatch && FFolderWatch >= 0) {
            // The folder itself moved or went, or something came or went at the link's name
            // (our own moves included): the link is read again.
            if ((Event.mask & IN_IGNORED) != 0)
                FFolderWatch = -1;
            if (Event.len == 0 || FPort == nullptr || FPort->Place.Entry() == Event.name)
                FLinkKnownOurs = false;
            return;
        }
        FPairs.TakeEventLocked(Event);
    });
}

bool TVSPortAx::LookLocked()
{
    if (!FPort)
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
    if (Fresh && LinkIsOursLocked())
        portlink::MoveLink(
            FPort->Place, Fresh->Pty.SlavePath(),
            [&](const QByteArray &Temporary) {
                // A signal from here until the move is recorded finds either link.
                PublishLocked(Fresh->Pty.SlavePath(), FPairs.LinkedLocked().Pty.SlavePath(),
                              Temporary);
            },
            Error);
    // A link that is gone or not ours is left alone: PortCreated turns false and the panel
    // creates the port again.
    if (!Error.isEmpty()) {
        if (FPort)
            PublishLocked(FPairs.LinkedLocked().Pty.SlavePath());
        const std::chrono::milliseconds Pause = FPairs.PutOffLocked();
        const QString Text =
            QStringLiteral("the next application may find the last one's settings: %1; trying "
                           "again in %2")
                .arg(Error, Milliseconds(Pause));
        FailLocked(Text);
        NoticeLocked(QStringLiteral("port: ") + Text);
        return;
    }
    if (FPairs.MovedLocked()) {
        FLastErrorText.clear();
        NoticeLocked(QStringLiteral("port: the link leads to a fresh pseudo-terminal again"));
    }
    FLinkKnownOurs = false;
    if (LinkIsOursLocked())
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
    if (!FPort)
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
