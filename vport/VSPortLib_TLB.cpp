#include "vport/VSPortLib_TLB.h"

#include "vport/PortLock.h"
#include "vport/PortPlace.h"
#include "vport/Pty.h"
#include "vport/SystemError.h"

#include "vport/PortExit.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char PtySlavePrefix[] = "/dev/pts/";
// What can put something else at the link's name, or take the link away.
constexpr std::uint32_t FolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::optional<QByteArray> ReadLinkAt(int Folder, const QByteArray &Entry)
{
    char Target[PATH_MAX];
    const ssize_t Size = ::readlinkat(Folder, Entry.constData(), Target, sizeof(Target));
    if (Size < 0 || Size == static_cast<ssize_t>(sizeof(Target)))
        return std::nullopt;
    return QByteArray(Target, Size);
}

bool LooksLikePtyLink(const QByteArray &Target)
{
    if (!Target.startsWith(PtySlavePrefix))
        return false;
    const QByteArray Number = Target.mid(sizeof(PtySlavePrefix) - 1);
    return !Number.isEmpty() &&
           std::all_of(Number.begin(), Number.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// A link that an instance of ours left behind: the lock beside it was there already, nobody held
// it (we hold it now), and it records exactly this link with this target. Anything else at the
// path, a link another program made there after a crash included, is not ours.
bool IsLeftOverLink(const TPortPlace &Place, const TPortLock &Lock, const struct stat &Found)
{
    if (!Lock.FoundLeftOver() || !S_ISLNK(Found.st_mode) || Found.st_uid != ::geteuid())
        return false;
    const std::optional<QByteArray> Target = ReadLinkAt(Place.FolderFd(), Place.Entry());
    return Target && LooksLikePtyLink(*Target) && Lock.Proves(*Target, Found);
}

bool PlaceLink(const TPortPlace &Place, const TPortLock &Lock, const QByteArray &Target,
               QString &Error)
{
    const int Folder = Place.FolderFd();
    const char *Entry = Place.Entry().constData();
    struct stat Found = {};
    if (::fstatat(Folder, Entry, &Found, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!IsLeftOverLink(Place, Lock, Found)) {
            Error = QStringLiteral("%1 already exists and is not a port of this program")
                        .arg(Place.Path());
            return false;
        }
        if (::unlinkat(Folder, Entry, 0) != 0) {
            Error = SystemErrorText(
                QStringLiteral("removing the left-over link %1").arg(Place.Path()), errno);
            return false;
        }
    } else if (errno != ENOENT) {
        Error = SystemErrorText(QStringLiteral("checking %1").arg(Place.Path()), errno);
        return false;
    }
    // symlinkat never replaces: whatever appeared meanwhile makes it fail with EEXIST.
    if (::symlinkat(Target.constData(), Folder, Entry) != 0) {
        Error = SystemErrorText(QStringLiteral("creating the link %1").arg(Place.Path()), errno);
        return false;
    }
    return true;
}

// The link's own identity, for its lock file.
bool StatLink(const TPortPlace &Place, struct stat &Link)
{
    return ::fstatat(Place.FolderFd(), Place.Entry().constData(), &Link, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           S_ISLNK(Link.st_mode);
}

// The link's name for a lock file's name (".NAME.lock"); empty for anything else.
QByteArray LinkOfLockEntry(const QByteArray &Entry)
{
    if (Entry.size() <= 6 || !Entry.startsWith('.') || !Entry.endsWith(".lock"))
        return {};
    return Entry.mid(1, Entry.size() - 6);
}

// The live controls, for the atexit handler. Never destroyed: exit() may run after other
// statics are gone.
struct TLiveControls {
    std::mutex Mutex;
    std::vector<TVSPortAx *> Controls;
    bool HandlerRegistered = false;
};

TLiveControls &LiveControls()
{
    static auto *Live = new TLiveControls;
    return *Live;
}

} // namespace

IVSPortAx::~IVSPortAx() = default;

struct TVSPortAx::TPort {
    TPortPlace Place;
    // Refers to Place's folder, so it must go first.
    TPortLock Lock;
    TPty Pty;
};

TVSPortAx::TVSPortAx()
    : Inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), Wake(::eventfd(0, EFD_CLOEXEC))
{
    if (!Inotify.Valid() || !Wake.Valid()) {
        // The control still cleans up after an application it has seen on a call of its own.
        LastErrorText = SystemErrorText(
            QStringLiteral("watching the port for applications that come and go"), errno);
        return;
    }
    Watcher = std::thread(&TVSPortAx::WatchLoop, this);
}

TVSPortAx::~TVSPortAx()
{
    {
        TLiveControls &Live = LiveControls();
        std::lock_guard Guard(Live.Mutex);
        std::erase(Live.Controls, this);
    }
    StopWatcher();
    std::lock_guard Guard(Mutex);
    // Without DeleteOnExit the link and its lock file stay as a left-over, which the next
    // CreatePort under that name takes over.
    if (DeleteOnExitSet)
        DeleteLocked(true);
}

void TVSPortAx::StopWatcher()
{
    {
        std::lock_guard Guard(Mutex);
        Ending = true;
    }
    if (!Watcher.joinable())
        return;
    const std::uint64_t One = 1;
    while (::write(Wake.Get(), &One, sizeof(One)) < 0 && errno == EINTR) {
    }
    Watcher.join();
}

void TVSPortAx::EndAllAtExit()
{
    TLiveControls &Live = LiveControls();
    // Held throughout: a control that another thread destroys meanwhile waits for this.
    std::lock_guard LiveGuard(Live.Mutex);
    std::vector<TVSPortAx *> Controls;
    Controls.swap(Live.Controls);
    for (TVSPortAx *Control : Controls) {
        Control->StopWatcher();
        std::lock_guard Guard(Control->Mutex);
        if (Control->DeleteOnExitSet)
            Control->DeleteLocked(true);
    }
}

void TVSPortAx::WatchLoop()
{
    for (;;) {
        pollfd Ready[2] = {{Inotify.Get(), POLLIN, 0}, {Wake.Get(), POLLIN, 0}};
        if (::poll(Ready, 2, -1) < 0 && errno != EINTR)
            return;
        std::lock_guard Guard(Mutex);
        if (Ending)
            return;
        // The events are read (and a visit cleaned up after) under the control's lock, by
        // whichever comes first: this thread or a call of the bridge.
        if (Port) {
            CleanAfterVisitLocked();
        } else {
            char Stale[4096];
            while (::read(Inotify.Get(), Stale, sizeof(Stale)) > 0) {
            }
        }
    }
}

bool TVSPortAx::CreatePort(const QString &PortName)
{
    {
        TLiveControls &Live = LiveControls();
        std::lock_guard Guard(Live.Mutex);
        if (std::find(Live.Controls.begin(), Live.Controls.end(), this) == Live.Controls.end())
            Live.Controls.push_back(this);
        if (!Live.HandlerRegistered)
            Live.HandlerRegistered = std::atexit(&TVSPortAx::EndAllAtExit) == 0;
    }
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
    if (!Pty || !PlaceLink(*Place, *Lock, Pty->SlavePath(), Error)) {
        Lock->Abandon();
        FailLocked(Error);
        return false;
    }
    Port.reset(new TPort{std::move(*Place), std::move(*Lock), std::move(*Pty)});
    Opened = false;
    Visited = false;
    Queue.clear();
    Unread.clear();
    if (Inotify.Valid()) {
        Watch = ::inotify_add_watch(Inotify.Get(), Port->Pty.SlavePath().constData(),
                                    IN_OPEN | IN_CLOSE);
        // Through the folder's own descriptor: whatever has become of its path meanwhile.
        const QByteArray Folder = "/proc/self/fd/" + QByteArray::number(Port->Place.FolderFd());
        FolderWatch = ::inotify_add_watch(Inotify.Get(), Folder.constData(), FolderEvents);
    }
    LinkKnownOurs = false;
    ExitSlot = PortExit::Claim();
    RecordLinkLocked();
    // A port that works but is not where the user would look first says why.
    if (!Port->Place.Note().isEmpty())
        FailLocked(Port->Place.Note());
    return true;
}

void TVSPortAx::RecordLinkLocked()
{
    const TPortPlace &Place = Port->Place;
    struct stat Link = {};
    QString Error;
    if (!StatLink(Place, Link) || !Port->Lock.Record(Port->Pty.SlavePath(), Link, Error))
        // The port works; only a crash's left-over would then not be taken over.
        FailLocked(
            Error.isEmpty()
                ? SystemErrorText(QStringLiteral("checking the link %1").arg(Place.Path()), errno)
                : Error);
    PortExit::Publish(ExitSlot, Place.FolderFd(), Place.Entry(), Port->Pty.SlavePath(),
                      '.' + Place.Entry() + ".lock", Place.ParentFd(), Place.FolderEntry());
}

void TVSPortAx::ClearLeftOversLocked()
{
    if (LeftOversCleared)
        return;
    LeftOversCleared = true;
    const QString FolderPath = TPortPlace::CurrentPerUserFolder();
    // Only a folder that exists already: clearing never makes one.
    struct stat Info = {};
    if (::lstat(QFile::encodeName(FolderPath).constData(), &Info) != 0)
        return;
    QString Ignored;
    const TUniqueFd Folder = TPortPlace::OpenPerUserFolder(FolderPath, Ignored);
    if (!Folder.Valid())
        return;
    DIR *Listing = ::fdopendir(::dup(Folder.Get()));
    if (Listing == nullptr)
        return;
    std::vector<QByteArray> Links;
    while (const dirent *Entry = ::readdir(Listing))
        if (QByteArray Link = LinkOfLockEntry(Entry->d_name); !Link.isEmpty())
            Links.push_back(Link);
    ::closedir(Listing);
    for (const QByteArray &Link : Links) {
        // A lock held by a running instance, or a file that is not our lock, stays.
        std::optional<TPortLock> Lock = TPortLock::Acquire(Folder.Get(), FolderPath, Link, Ignored);
        if (!Lock)
            continue;
        struct stat Found = {};
        const bool LinkThere =
            ::fstatat(Folder.Get(), Link.constData(), &Found, AT_SYMLINK_NOFOLLOW) == 0;
        const std::optional<QByteArray> Target =
            LinkThere ? ReadLinkAt(Folder.Get(), Link) : std::nullopt;
        if (LinkThere && !(S_ISLNK(Found.st_mode) && Found.st_uid == ::geteuid() && Target &&
                           Lock->Proves(*Target, Found))) {
            Lock->Abandon();
            continue;
        }
        if (LinkThere)
            ::unlinkat(Folder.Get(), Link.constData(), 0);
        Lock->Remove(Ignored);
    }
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
    if (Watch >= 0)
        ::inotify_rm_watch(Inotify.Get(), Watch);
    Watch = -1;
    if (FolderWatch >= 0)
        ::inotify_rm_watch(Inotify.Get(), FolderWatch);
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
    Queue.clear();
    Unread.clear();
    Opened = false;
    Visited = false;
    return Ok;
}

bool TVSPortAx::LinkIsOursLocked() const
{
    if (!Port)
        return false;
    // Ours is a symlink to our pty's slave, whoever made it; readlink fails on anything else.
    const std::optional<QByteArray> Target =
        ReadLinkAt(Port->Place.FolderFd(), Port->Place.Entry());
    return Target && *Target == Port->Pty.SlavePath();
}

void TVSPortAx::ReadEventsLocked()
{
    // Any open or close of the slave since the pair was made is a visit; events of retired
    // pairs' watches are stale. Events the queue had no room for are lost: anything may have
    // happened.
    alignas(inotify_event) char Events[4096];
    for (;;) {
        const ssize_t Got = ::read(Inotify.Get(), Events, sizeof(Events));
        if (Got <= 0)
            break;
        for (ssize_t At = 0; At < Got;) {
            const auto *Event = reinterpret_cast<const inotify_event *>(Events + At);
            At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
            if ((Event->mask & IN_Q_OVERFLOW) != 0) {
                Visited = true;
                LinkKnownOurs = false;
            } else if (Event->wd == Watch && (Event->mask & (IN_OPEN | IN_CLOSE)) != 0) {
                Visited = true;
            } else if (Event->wd == FolderWatch && FolderWatch >= 0) {
                // The folder itself moved or went, or something came or went at the link's
                // name (our own renewal included): the link is read again.
                if ((Event->mask & IN_IGNORED) != 0)
                    FolderWatch = -1;
                if (Event->len == 0 || Port == nullptr || Port->Place.Entry() == Event->name)
                    LinkKnownOurs = false;
            }
        }
    }
}

void TVSPortAx::CleanAfterVisitLocked()
{
    ReadEventsLocked();
    if (Visited && !Port->Pty.HasApplication())
        RenewPtyLocked();
}

bool TVSPortAx::ServiceLocked()
{
    if (!Port)
        return false;
    // This runs at every tick: one system call says both whether an application holds
    // the port and whether the watches have news.
    bool EventsWaiting = false;
    bool Now = Port->Pty.HasApplication(Inotify.Get(), EventsWaiting);
    if (EventsWaiting)
        ReadEventsLocked();
    // Without the watcher this is how a visit is seen; with it, it changes nothing.
    if (Now) {
        Visited = true;
    } else if (Visited) {
        RenewPtyLocked();
        // Someone who opened the old pair just before it was locked keeps it.
        Now = Port->Pty.HasApplication();
    }
    Opened = Now;
    if (Now)
        SendQueuedLocked();
    return Now;
}

void TVSPortAx::RenewPtyLocked()
{
    // The old pair keeps whatever the last application left: line settings, an exclusive mode
    // (TIOCEXCL, which keeps everyone but root out), bytes it did not read. A new pair under the
    // same link gives the next application a clean port.
    QString Error;
    std::optional<TPty> Fresh = TPty::Open(Error);
    if (!Fresh) {
        FailLocked(Error);
        return;
    }
    const int FreshWatch =
        Inotify.Valid()
            ? ::inotify_add_watch(Inotify.Get(), Fresh->SlavePath().constData(), IN_OPEN | IN_CLOSE)
            : -1;
    auto Abandon = [&] {
        if (FreshWatch >= 0)
            ::inotify_rm_watch(Inotify.Get(), FreshWatch);
        Port->Pty.SetLocked(false);
    };
    // From here on nobody can open the old pair; whoever got in just before keeps it, and its
    // close brings the control back here.
    if (const int Err = Port->Pty.SetLocked(true); Err != 0) {
        FailLocked(SystemErrorText(QStringLiteral("locking the port's old pseudo-terminal"), Err));
        Abandon();
        return;
    }
    if (Port->Pty.HasApplication()) {
        Abandon();
        return;
    }
    // What the last application wrote before it closed is still the bridge's to read.
    Port->Pty.TakeUnread(Unread);
    if (LinkIsOursLocked()) {
        const int Folder = Port->Place.FolderFd();
        const QByteArray Temporary = '.' + Port->Place.Entry() + ".new";
        if (::symlinkat(Fresh->SlavePath().constData(), Folder, Temporary.constData()) != 0) {
            FailLocked(SystemErrorText(
                QStringLiteral("renewing the port %1 (a link beside it)").arg(Port->Place.Path()),
                errno));
            Abandon();
            return;
        }
        // rename swaps the link in one step: applications never find the path missing.
        if (::renameat(Folder, Temporary.constData(), Folder, Port->Place.Entry().constData()) !=
            0) {
            FailLocked(SystemErrorText(
                QStringLiteral("renewing the port %1 (its link)").arg(Port->Place.Path()), errno));
            ::unlinkat(Folder, Temporary.constData(), 0);
            Abandon();
            return;
        }
    }
    // Otherwise the link is gone or replaced, so PortCreated turns false and the panel creates
    // the port again; nothing at the path is touched here.
    if (Watch >= 0)
        ::inotify_rm_watch(Inotify.Get(), Watch);
    Watch = FreshWatch;
    Port->Pty = std::move(*Fresh);
    LinkKnownOurs = false;
    Visited = false;
    Opened = false;
    Queue.clear();
    if (LinkIsOursLocked())
        RecordLinkLocked();
}

std::size_t TVSPortAx::WriteNowLocked(const char *Data, std::size_t Size, bool &Gone)
{
    Gone = false;
    std::size_t Sent = 0;
    while (Sent < Size) {
        const ssize_t Done = ::write(Port->Pty.MasterFd(), Data + Sent, Size - Sent);
        if (Done > 0) {
            Sent += static_cast<std::size_t>(Done);
            continue;
        }
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        // EIO: the last application closed the port this very moment.
        if (errno != EIO)
            FailLocked(SystemErrorText(QStringLiteral("writing to the port"), errno));
        Gone = true;
        break;
    }
    return Sent;
}

void TVSPortAx::SendQueuedLocked()
{
    bool Gone = false;
    std::size_t Sent = WriteNowLocked(Queue.data(), Queue.size(), Gone);
    // Nobody is left to read what waited: it goes, as at any close.
    if (Gone)
        Sent = Queue.size();
    Queue.erase(Queue.begin(), Queue.begin() + static_cast<std::ptrdiff_t>(Sent));
}

long TVSPortAx::Write(const void *Buffer, long Count)
{
    if (Buffer == nullptr || Count <= 0)
        return 0;
    std::lock_guard Guard(Mutex);
    // Nobody listens: a serial line drops the bytes, and so does the port.
    if (!ServiceLocked())
        return Count;

    const char *Data = static_cast<const char *>(Buffer);
    auto Left = static_cast<std::size_t>(Count);
    // Order matters: straight to the pty only while nothing waits in the queue.
    if (Queue.empty()) {
        bool Gone = false;
        const std::size_t Sent = WriteNowLocked(Data, Left, Gone);
        if (Gone)
            return Count;
        Data += Sent;
        Left -= Sent;
    }
    const std::size_t Queued = std::min(Left, WriteQueueCapacity - Queue.size());
    Queue.insert(Queue.end(), Data, Data + Queued);
    return Count - static_cast<long>(Left - Queued);
}

long TVSPortAx::Read(void *Buffer, long *Count)
{
    if (Buffer == nullptr || Count == nullptr || *Count <= 0)
        return 0;
    std::lock_guard Guard(Mutex);
    if (!Port)
        return 0;
    // No look at the visits here: until the pair is renewed, what the last application wrote
    // before it closed is read from it, and from Unread after.
    if (!Unread.empty()) {
        const auto Size = std::min(Unread.size(), static_cast<std::size_t>(*Count));
        std::copy_n(Unread.begin(), Size, static_cast<char *>(Buffer));
        Unread.erase(Unread.begin(), Unread.begin() + static_cast<std::ptrdiff_t>(Size));
        return static_cast<long>(Size);
    }
    for (;;) {
        // What an application wrote just before it closed the port is still delivered.
        const ssize_t Got = ::read(Port->Pty.MasterFd(), Buffer, static_cast<std::size_t>(*Count));
        if (Got >= 0)
            return static_cast<long>(Got);
        if (errno == EINTR)
            continue;
        // EIO: no application holds the port and nothing it wrote is left.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EIO)
            FailLocked(SystemErrorText(QStringLiteral("reading from the port"), errno));
        return 0;
    }
}

long TVSPortAx::WriteRoom()
{
    std::lock_guard Guard(Mutex);
    // As the last look found it (PortOpened, once a tick, or Write): while nobody listens Write
    // drops everything, so everything fits.
    if (!Opened)
        return static_cast<long>(WriteQueueCapacity);
    // What waits goes on first, as far as the application has read: that is the room there is.
    if (!Queue.empty())
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
    if (!Watcher.joinable())
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

void TVSPortAx::FailLocked(const QString &Text)
{
    LastErrorText = Text;
}
