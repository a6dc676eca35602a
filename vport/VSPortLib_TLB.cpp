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
constexpr auto UnlinkedPairGrace = 250ms;
// Moving the link on after a failure: the first pause, doubled at each failure up to the last.
constexpr auto FirstRenewPause = 10ms;
constexpr auto LongestRenewPause = 5000ms;

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
    if (!Watcher.Valid()) {
        // The control still sees an application on a call of its own.
        LastErrorText = SystemErrorText(
            QStringLiteral("watching the port for applications that come and go"), Watcher.Errno());
        return;
    }
    Watcher.Start([this] {
        std::lock_guard Guard(Mutex);
        // The events are read (and the link moved on) under the control's lock, by whichever
        // comes first: the watcher's thread or a call of the bridge.
        if (Port)
            LookLocked();
        else
            Watcher.Discard();
    });
}

TVSPortAx::~TVSPortAx()
{
    PortExit::Leave(this);
    End();
}

void TVSPortAx::End()
{
    Watcher.Stop();
    std::lock_guard Guard(Mutex);
    // Without DeleteOnExit the link and its lock file stay as a left-over, which the next
    // CreatePort under that name takes over.
    if (DeleteOnExitSet)
        DeleteLocked(true);
}

bool TVSPortAx::CreatePort(const QString &PortName)
{
    PortExit::Enlist(this, [this] { End(); });
    std::lock_guard Guard(Mutex);
    // One port at a time: the old one goes first, even if the new one then fails.
    DeleteLocked();
    LastErrorText.clear();
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
    ExitSlot = Slot;
    Port.reset(new TPort{std::move(*Place), std::move(*Lock)});
    Pairs.push_back(std::make_unique<TPair>(TPair{std::move(*Pty)}));
    Opened = false;
    RenewFailures = 0;
    Queue.clear();
    QueueFor = nullptr;
    Unread.clear();
    Pairs.back()->Watch = Watcher.WatchPair(Pairs.back()->Pty.SlavePath());
    FolderWatch = Watcher.WatchFolder(Port->Place.FolderFd());
    LinkKnownOurs = false;
    RecordLinkLocked();
    portlink::ClearTemporaries(Port->Place.FolderFd(), Port->Place.Entry());
    Spare = NewPairLocked(Error);
    // A port that works but is not where the user would look first says why.
    if (!Port->Place.Note().isEmpty())
        FailLocked(Port->Place.Note());
    return true;
}

void TVSPortAx::RecordLinkLocked()
{
    const TPortPlace &Place = Port->Place;
    const QByteArray &Target = Pairs.back()->Pty.SlavePath();
    struct stat Link = {};
    QString Error;
    if (!portlink::StatLink(Place, Link) || !Port->Lock.Record(Target, Link, Error))
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
    const TPortPlace &Place = Port->Place;
    PortExit::Publish(ExitSlot, Place.FolderFd(), Place.Entry(), Target,
                      '.' + Place.Entry() + ".lock", Place.ParentFd(), Place.FolderEntry(),
                      Previous, Temporary);
}

void TVSPortAx::ClearLeftOversLocked()
{
    if (LeftOversCleared)
        return;
    LeftOversCleared = true;
    portlink::ClearLeftOvers();
}

bool TVSPortAx::Delete()
{
    std::lock_guard Guard(Mutex);
    return DeleteLocked();
}

bool TVSPortAx::DeleteLocked(bool Leaving)
{
    if (!Port)
        return true;
    PortExit::Release(ExitSlot);
    ExitSlot = PortExit::NoSlot;
    for (const std::unique_ptr<TPair> &Pair : Pairs)
        Watcher.Unwatch(Pair->Watch);
    if (Spare)
        Watcher.Unwatch(Spare->Watch);
    Spare.reset();
    Watcher.Unwatch(FolderWatch);
    FolderWatch = -1;
    LinkKnownOurs = false;
    bool Ok = true;
    // Only our own link goes: if something else has taken its place, it stays.
    if (LinkIsOursLocked() &&
        ::unlinkat(Port->Place.FolderFd(), Port->Place.Entry().constData(), 0) != 0 &&
        errno != ENOENT) {
        FailLocked(
            SystemErrorText(QStringLiteral("removing the link %1").arg(Port->Place.Path()), errno));
        Ok = false;
    }
    QString Error;
    if (!Port->Lock.Remove(Error)) {
        FailLocked(Error);
        Ok = false;
    }
    if (Leaving)
        Port->Place.RemoveOwnFolderIfEmpty();
    Port.reset();
    Pairs.clear();
    Queue.clear();
    QueueFor = nullptr;
    Unread.clear();
    Opened = false;
    return Ok;
}

bool TVSPortAx::LinkIsOursLocked() const
{
    if (!Port)
        return false;
    // Ours is a symlink to the newest pair's slave, whoever made it; readlink fails on anything
    // else.
    const std::optional<QByteArray> Target =
        portlink::ReadLinkAt(Port->Place.FolderFd(), Port->Place.Entry());
    return Target && *Target == Pairs.back()->Pty.SlavePath();
}

void TVSPortAx::ReadEventsLocked()
{
    // Events the queue had no room for are lost: anything may have happened, so every pair
    // counts as visited and the link is read again. Events of closed pairs' watches are stale.
    Watcher.ReadEvents([this](const inotify_event &Event) {
        if ((Event.mask & IN_Q_OVERFLOW) != 0) {
            for (const std::unique_ptr<TPair> &Pair : Pairs)
                Pair->Visited = true;
            LinkKnownOurs = false;
        } else if (Event.wd == FolderWatch && FolderWatch >= 0) {
            // The folder itself moved or went, or something came or went at the link's name
            // (our own moves included): the link is read again.
            if ((Event.mask & IN_IGNORED) != 0)
                FolderWatch = -1;
            if (Event.len == 0 || Port == nullptr || Port->Place.Entry() == Event.name)
                LinkKnownOurs = false;
        } else if ((Event.mask & TPortWatcher::kPairEvents) != 0) {
            for (const std::unique_ptr<TPair> &Pair : Pairs)
                if (Pair->Watch == Event.wd)
                    Pair->Visited = true;
        }
    });
}

bool TVSPortAx::LookLocked()
{
    if (!Port)
        return false;
    // One system call for every pair and the watches: this runs at every tick.
    std::vector<pollfd> Poll;
    Poll.reserve(Pairs.size() + 1);
    Poll.push_back({Watcher.Fd(), POLLIN, 0});
    for (const std::unique_ptr<TPair> &Pair : Pairs)
        Poll.push_back({Pair->Pty.MasterFd(), POLLIN, 0});
    int Ready;
    do
        Ready = ::poll(Poll.data(), Poll.size(), 0);
    while (Ready < 0 && errno == EINTR);
    if (Ready < 0)
        return Opened;
    // A master reports a hang-up exactly while no application holds its slave.
    for (std::size_t Index = 0; Index < Pairs.size(); ++Index)
        Pairs[Index]->Held = (Poll[Index + 1].revents & POLLHUP) == 0;
    if ((Poll[0].revents & POLLIN) != 0)
        ReadEventsLocked();

    TPair &Linked = *Pairs.back();
    if ((Linked.Visited || Linked.Held) && std::chrono::steady_clock::now() >= RenewAt)
        RenewLocked();
    RetirePairsLocked();
    Opened = std::any_of(Pairs.begin(), Pairs.end(),
                         [](const std::unique_ptr<TPair> &Pair) { return Pair->Held; });
    return Opened;
}

std::unique_ptr<TVSPortAx::TPair> TVSPortAx::NewPairLocked(QString &Error)
{
    std::optional<TPty> Pty = TPty::Open(Error);
    if (!Pty)
        return nullptr;
    auto Pair = std::make_unique<TPair>(TPair{std::move(*Pty)});
    Pair->Watch = Watcher.WatchPair(Pair->Pty.SlavePath());
    return Pair;
}

void TVSPortAx::RenewLocked()
{
    QString Error;
    // Made ahead, so that the move itself is two system calls: the sooner the link has moved,
    // the shorter a visit can be and still leave nothing to the next.
    std::unique_ptr<TPair> Fresh = Spare ? std::move(Spare) : NewPairLocked(Error);
    if (Fresh && LinkIsOursLocked())
        portlink::MoveLink(
            Port->Place, Fresh->Pty.SlavePath(),
            [&](const QByteArray &Temporary) {
                // A signal from here until the move is recorded finds either link.
                PublishLocked(Fresh->Pty.SlavePath(), Pairs.back()->Pty.SlavePath(), Temporary);
            },
            Error);
    // A link that is gone or not ours is left alone: PortCreated turns false and the panel
    // creates the port again.
    if (!Error.isEmpty()) {
        if (Port)
            PublishLocked(Pairs.back()->Pty.SlavePath());
        Spare = std::move(Fresh);
        const std::chrono::milliseconds Pause = std::min<std::chrono::milliseconds>(
            FirstRenewPause * (1 << std::min(RenewFailures, 16)), LongestRenewPause);
        ++RenewFailures;
        RenewAt = std::chrono::steady_clock::now() + Pause;
        const QString Text =
            QStringLiteral("the next application may find the last one's settings: %1; trying "
                           "again in %2")
                .arg(Error, Milliseconds(Pause));
        FailLocked(Text);
        NoticeLocked(QStringLiteral("port: ") + Text);
        return;
    }
    if (RenewFailures > 0) {
        RenewFailures = 0;
        LastErrorText.clear();
        NoticeLocked(QStringLiteral("port: the link leads to a fresh pseudo-terminal again"));
    }
    Pairs.back()->Unlinked = std::chrono::steady_clock::now();
    Pairs.push_back(std::move(Fresh));
    LinkKnownOurs = false;
    if (LinkIsOursLocked())
        RecordLinkLocked();
    // The next one; without it the next move makes its own.
    Spare = NewPairLocked(Error);
}

void TVSPortAx::RetirePairsLocked()
{
    const auto Now = std::chrono::steady_clock::now();
    for (auto It = Pairs.begin(); It + 1 < Pairs.end();) {
        TPair &Pair = **It;
        if (Pair.Held || Now - Pair.Unlinked < UnlinkedPairGrace) {
            ++It;
            continue;
        }
        // What its application wrote before it closed still goes to the device; what waited
        // for it is dropped, as at any close.
        Pair.Pty.TakeUnread(Unread);
        if (QueueFor == &Pair)
            DropQueueLocked();
        Watcher.Unwatch(Pair.Watch);
        It = Pairs.erase(It);
    }
}

TVSPortAx::TPair *TVSPortAx::PrimaryLocked() const
{
    for (const std::unique_ptr<TPair> &Pair : Pairs)
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
    DroppedBytes += static_cast<long long>(Queue.size());
    Queue.clear();
    QueueFor = nullptr;
}

void TVSPortAx::SendQueuedLocked()
{
    if (Queue.empty())
        return;
    TPair *Primary = PrimaryLocked();
    // Nobody is left to read what waited for the application that has gone: it goes, as at any
    // close.
    if (Primary != QueueFor) {
        DropQueueLocked();
        return;
    }
    bool Gone = false;
    const std::size_t Sent = WriteNowLocked(*Primary, Queue.data(), Queue.size(), Gone);
    Queue.erase(Queue.begin(), Queue.begin() + static_cast<std::ptrdiff_t>(Sent));
    if (Gone)
        DropQueueLocked();
}

long TVSPortAx::Write(const void *Buffer, long Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    std::lock_guard Guard(Mutex);
    // Nobody listens: a serial line drops the bytes, and so does the port.
    TPair *Primary = ServiceLocked() ? PrimaryLocked() : nullptr;
    if (Primary == nullptr) {
        DroppedBytes += Count;
        return Count;
    }

    const char *Data = static_cast<const char *>(Buffer);
    auto Left = static_cast<std::size_t>(Count);
    // Order matters: straight to the pty only while nothing waits in the queue.
    if (Queue.empty()) {
        bool Gone = false;
        const std::size_t Sent = WriteNowLocked(*Primary, Data, Left, Gone);
        if (Gone) {
            DroppedBytes += static_cast<long long>(Left - Sent);
            return Count;
        }
        Data += Sent;
        Left -= Sent;
    }
    const std::size_t Queued = std::min(Left, WriteQueueCapacity - Queue.size());
    if (Queued > 0) {
        Queue.insert(Queue.end(), Data, Data + Queued);
        QueueFor = Primary;
    }
    return Count - static_cast<long>(Left - Queued);
}

long TVSPortAx::Read(void *Buffer, long *Count)
{
    if (Buffer == nullptr || Count == nullptr || *Count <= 0)
        return 0;
    std::lock_guard Guard(Mutex);
    if (!Port)
        return 0;
    auto *Into = static_cast<char *>(Buffer);
    const auto Capacity = static_cast<std::size_t>(*Count);
    // Oldest first: what applications wrote to closed pairs, then each pair in the order they
    // were opened. No look at the visits here: what an application wrote just before it closed
    // is read from its pair until the pair is closed, and from Unread after.
    std::size_t Got = std::min(Unread.size(), Capacity);
    std::copy_n(Unread.begin(), Got, Into);
    Unread.erase(Unread.begin(), Unread.begin() + static_cast<std::ptrdiff_t>(Got));
    for (const std::unique_ptr<TPair> &Pair : Pairs) {
        // The pair the link leads to has had no application yet, unless the last look saw one.
        if (Got == Capacity || (Pair == Pairs.back() && !Pair->Visited && !Pair->Held))
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
    std::lock_guard Guard(Mutex);
    // As the last look found it (PortOpened, once a tick, or Write): while nobody listens Write
    // drops everything, so everything fits.
    if (!Opened)
        return static_cast<long>(WriteQueueCapacity);
    // What waits goes on first, as far as the application has read: that is the room there is.
    SendQueuedLocked();
    return static_cast<long>(WriteQueueCapacity - Queue.size());
}

bool TVSPortAx::SetDSR(bool On)
{
    std::lock_guard Guard(Mutex);
    Lines.Dsr = On;
    return true;
}

bool TVSPortAx::SetRING(bool On)
{
    std::lock_guard Guard(Mutex);
    Lines.Ring = On;
    return true;
}

bool TVSPortAx::SetDCD(bool On)
{
    std::lock_guard Guard(Mutex);
    Lines.Dcd = On;
    return true;
}

bool TVSPortAx::SetWiring(long Dtr, long Rts, long Out1, long Out2)
{
    std::lock_guard Guard(Mutex);
    Lines.Dtr = Dtr;
    Lines.Rts = Rts;
    Lines.Out1 = Out1;
    Lines.Out2 = Out2;
    return true;
}

bool TVSPortAx::ResetBus()
{
    std::lock_guard Guard(Mutex);
    const bool Ok = DeleteLocked();
    Lines = TLineStates();
    return Ok;
}

bool TVSPortAx::PortCreated()
{
    std::lock_guard Guard(Mutex);
    if (!Port)
        return false;
    // The watcher reads the folder's events as they come; without it they are read here.
    if (!Watcher.Running())
        ReadEventsLocked();
    if (LinkKnownOurs)
        return true;
    const bool Ours = LinkIsOursLocked();
    // Without the folder's watch nothing would tell when the link changes: it is read each time.
    LinkKnownOurs = Ours && FolderWatch >= 0;
    return Ours;
}

bool TVSPortAx::PortOpened()
{
    std::lock_guard Guard(Mutex);
    return ServiceLocked();
}

bool TVSPortAx::DeleteOnExit() const
{
    std::lock_guard Guard(Mutex);
    return DeleteOnExitSet;
}

void TVSPortAx::SetDeleteOnExit(bool On)
{
    std::lock_guard Guard(Mutex);
    DeleteOnExitSet = On;
}

QString TVSPortAx::PortPath() const
{
    std::lock_guard Guard(Mutex);
    return Port ? Port->Place.Path() : QString();
}

QString TVSPortAx::LastError() const
{
    std::lock_guard Guard(Mutex);
    return LastErrorText;
}

TVSPortAx::TLineStates TVSPortAx::LineStates() const
{
    std::lock_guard Guard(Mutex);
    return Lines;
}

long long TVSPortAx::Dropped() const
{
    std::lock_guard Guard(Mutex);
    return DroppedBytes;
}

QStringList TVSPortAx::TakeNotices()
{
    std::lock_guard Guard(Mutex);
    QStringList Taken;
    Taken.swap(Notices);
    return Taken;
}

void TVSPortAx::FailLocked(const QString &Text)
{
    LastErrorText = Text;
}

void TVSPortAx::NoticeLocked(const QString &Text)
{
    // Bounded: a caller that never takes them loses the oldest, never memory.
    constexpr qsizetype Kept = 32;
    if (Notices.size() >= Kept)
        Notices.removeFirst();
    Notices.append(Text);
}
