#include "vport/VSPortLib_TLB.h"

#include "vport/PortLock.h"
#include "vport/PortPlace.h"
#include "vport/Pty.h"
#include "vport/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char PtySlavePrefix[] = "/dev/pts/";

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

// A link that an instance of ours left behind: a symlink of the user's to a pty slave, with our
// lock file beside it that nobody holds any more (we hold it now).
bool IsLeftOverLink(const TPortPlace &Place, const TPortLock &Lock, const struct stat &Found)
{
    if (!Lock.FoundLeftOver() || !S_ISLNK(Found.st_mode) || Found.st_uid != ::geteuid())
        return false;
    const std::optional<QByteArray> Target = ReadLinkAt(Place.FolderFd(), Place.Entry());
    return Target && LooksLikePtyLink(*Target);
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

} // namespace

IVSPortAx::~IVSPortAx() = default;

struct TVSPortAx::TPort {
    TPortPlace Place;
    // Refers to Place's folder, so it must go first.
    TPortLock Lock;
    TPty Pty;
};

TVSPortAx::TVSPortAx() = default;

TVSPortAx::~TVSPortAx()
{
    std::lock_guard Guard(Mutex);
    // Without DeleteOnExit the link and its lock file stay as a left-over, which the next
    // CreatePort under that name takes over.
    if (DeleteOnExitSet)
        DeleteLocked();
}

bool TVSPortAx::CreatePort(const QString &PortName)
{
    std::lock_guard Guard(Mutex);
    // One port at a time: the old one goes first, even if the new one then fails.
    DeleteLocked();
    LastErrorText.clear();

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
    Queue.clear();
    return true;
}

bool TVSPortAx::Delete()
{
    std::lock_guard Guard(Mutex);
    return DeleteLocked();
}

bool TVSPortAx::DeleteLocked()
{
    if (!Port)
        return true;
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
    Port.reset();
    Queue.clear();
    Opened = false;
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

bool TVSPortAx::ServiceLocked()
{
    if (!Port)
        return false;
    const bool Now = Port->Pty.HasApplication();
    if (Opened && !Now) {
        // The last application has gone. Neither what it left unread nor settings it changed
        // may greet the next one.
        Queue.clear();
        const int Err = Port->Pty.DiscardUnread();
        if (Err == EBUSY)
            RenewPtyLocked();
        else if (Err != 0)
            FailLocked(SystemErrorText(
                QStringLiteral("discarding what the last application left unread"), Err));
        QString Error;
        if (!Port->Pty.ApplyRaw(Error))
            FailLocked(Error);
    }
    Opened = Now;
    if (Now)
        SendQueuedLocked();
    return Now;
}

void TVSPortAx::RenewPtyLocked()
{
    // The last application left the slave exclusive (TIOCEXCL) and nobody but root can open it
    // again: a new pair under the same link gives the port back to everyone.
    QString Error;
    std::optional<TPty> Fresh = TPty::Open(Error);
    if (!Fresh) {
        FailLocked(Error);
        return;
    }
    if (!LinkIsOursLocked()) {
        // The link is gone or replaced, so PortCreated turns false and the panel creates the
        // port again; nothing at the path is touched here.
        Port->Pty = std::move(*Fresh);
        return;
    }
    const int Folder = Port->Place.FolderFd();
    const QByteArray Temporary = '.' + Port->Place.Entry() + ".new";
    if (::symlinkat(Fresh->SlavePath().constData(), Folder, Temporary.constData()) != 0) {
        FailLocked(SystemErrorText(
            QStringLiteral("renewing the port %1 (a link beside it)").arg(Port->Place.Path()),
            errno));
        return;
    }
    // rename swaps the link in one step: applications never find the path missing.
    if (::renameat(Folder, Temporary.constData(), Folder, Port->Place.Entry().constData()) != 0) {
        FailLocked(SystemErrorText(
            QStringLiteral("renewing the port %1 (its link)").arg(Port->Place.Path()), errno));
        ::unlinkat(Folder, Temporary.constData(), 0);
        return;
    }
    Port->Pty = std::move(*Fresh);
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
    ServiceLocked();
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
    // While nobody listens Write drops everything, so everything fits.
    if (!ServiceLocked())
        return static_cast<long>(WriteQueueCapacity);
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
    return LinkIsOursLocked();
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
