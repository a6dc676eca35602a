#include "vport/PortExit.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

constexpr int SlotCount = 16;
constexpr std::size_t EntrySize = NAME_MAX + 1;
constexpr std::size_t TargetSize = 64;

enum : int { Free, Busy, Live };

struct TSlot {
    std::atomic<int> State{Free};
    int FolderFd = -1;
    int ParentFd = -1;
    char Link[EntrySize] = {};
    char Target[TargetSize] = {};
    // While the link is being moved: the target it may still have, and the temporary link that
    // may still stand beside it ("" for none).
    char Previous[TargetSize] = {};
    char Temporary[EntrySize] = {};
    char Lock[EntrySize] = {};
    char Folder[EntrySize] = {};
};

TSlot Slots[SlotCount];

// Every signal whose default action ends the process, the real-time ones (SIGRTMIN to SIGRTMAX)
// besides. A program that stops cleanly on SIGINT, SIGTERM and SIGHUP, or ignores SIGPIPE, has
// its own handlers there first, and they stay.
constexpr int FatalSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
    SIGFPE,    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
    SIGXCPU,   SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

bool CopyEntry(char *Into, std::size_t Size, const QByteArray &From)
{
    if (static_cast<std::size_t>(From.size()) >= Size)
        return false;
    std::memcpy(Into, From.constData(), static_cast<std::size_t>(From.size()));
    Into[From.size()] = '\0';
    return true;
}

// Async-signal-safe: only system calls. Whether the entry is a link to Target.
bool LinksTo(int FolderFd, const char *Entry, const char *Target)
{
    char Found[TargetSize];
    const ssize_t Size = ::readlinkat(FolderFd, Entry, Found, sizeof(Found));
    return Size > 0 && static_cast<std::size_t>(Size) == std::strlen(Target) &&
           std::memcmp(Found, Target, static_cast<std::size_t>(Size)) == 0;
}

// Async-signal-safe: only system calls on what the slot recorded.
void RemoveSlot(const TSlot &Slot)
{
    if (LinksTo(Slot.FolderFd, Slot.Link, Slot.Target) ||
        (Slot.Previous[0] != '\0' && LinksTo(Slot.FolderFd, Slot.Link, Slot.Previous)))
        ::unlinkat(Slot.FolderFd, Slot.Link, 0);
    if (Slot.Temporary[0] != '\0' && LinksTo(Slot.FolderFd, Slot.Temporary, Slot.Target))
        ::unlinkat(Slot.FolderFd, Slot.Temporary, 0);
    struct stat Lock = {};
    if (::fstatat(Slot.FolderFd, Slot.Lock, &Lock, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(Lock.st_mode) && Lock.st_uid == ::geteuid())
        ::unlinkat(Slot.FolderFd, Slot.Lock, 0);
}

void RemoveFolder(const TSlot &Slot)
{
    if (Slot.ParentFd < 0)
        return;
    struct stat Open = {};
    struct stat Named = {};
    if (::fstat(Slot.FolderFd, &Open) == 0 &&
        ::fstatat(Slot.ParentFd, Slot.Folder, &Named, AT_SYMLINK_NOFOLLOW) == 0 &&
        Open.st_dev == Named.st_dev && Open.st_ino == Named.st_ino)
        ::unlinkat(Slot.ParentFd, Slot.Folder, AT_REMOVEDIR);
}

void OnFatalSignal(int Signal)
{
    const int SavedErrno = errno;
    PortExit::RemoveAllNow();
    errno = SavedErrno;
    // SA_RESETHAND put the default action back and SA_NODEFER lets it act at once.
    ::raise(Signal);
}

void InstallHandler(int Signal)
{
    struct sigaction Current = {};
    if (::sigaction(Signal, nullptr, &Current) != 0 || Current.sa_handler != SIG_DFL ||
        (Current.sa_flags & SA_SIGINFO) != 0)
        return;
    struct sigaction Action = {};
    Action.sa_handler = OnFatalSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(Signal, &Action, nullptr);
}

void InstallHandlers()
{
    for (const int Signal : FatalSignals)
        InstallHandler(Signal);
    for (int Signal = SIGRTMIN; Signal <= SIGRTMAX; ++Signal)
        InstallHandler(Signal);
}

// The live controls, for the atexit handler. Never destroyed: exit() may run after other
// statics are gone.
struct TLiveControls {
    std::mutex Mutex;
    std::vector<std::pair<const void *, std::function<void()>>> Controls;
    bool HandlerRegistered = false;
};

TLiveControls &LiveControls()
{
    static auto *live = new TLiveControls;
    return *live;
}

// The atexit handler: what every live control's destructor would do.
void EndAllAtExit()
{
    TLiveControls &live = LiveControls();
    // Held throughout: a control that another thread destroys meanwhile waits for this.
    std::lock_guard liveGuard(live.Mutex);
    std::vector<std::pair<const void *, std::function<void()>>> controls;
    controls.swap(live.Controls);
    for (const auto &[owner, end] : controls)
        end();
}

} // namespace

namespace PortExit
{

int Claim()
{
    static std::once_flag Installed;
    std::call_once(Installed, InstallHandlers);
    for (int Index = 0; Index < SlotCount; ++Index) {
        int Expected = Free;
        if (Slots[Index].State.compare_exchange_strong(Expected, Busy))
            return Index;
    }
    return NoSlot;
}

void Publish(int Slot, int FolderFd, const QByteArray &LinkEntry, const QByteArray &Target,
             const QByteArray &LockEntry, int ParentFd, const QByteArray &FolderEntry,
             const QByteArray &Previous, const QByteArray &Temporary)
{
    if (Slot == NoSlot)
        return;
    TSlot &Into = Slots[Slot];
    Into.State.store(Busy);
    Into.FolderFd = FolderFd;
    Into.ParentFd = ParentFd;
    if (!CopyEntry(Into.Link, EntrySize, LinkEntry) ||
        !CopyEntry(Into.Target, TargetSize, Target) ||
        !CopyEntry(Into.Previous, TargetSize, Previous) ||
        !CopyEntry(Into.Temporary, EntrySize, Temporary) ||
        !CopyEntry(Into.Lock, EntrySize, LockEntry) ||
        !CopyEntry(Into.Folder, EntrySize, FolderEntry))
        return; // stays Busy: the handler leaves what it cannot name exactly
    Into.State.store(Live, std::memory_order_release);
}

void Release(int Slot)
{
    if (Slot != NoSlot)
        Slots[Slot].State.store(Free);
}

void Enlist(const void *Owner, std::function<void()> End)
{
    TLiveControls &live = LiveControls();
    std::lock_guard guard(live.Mutex);
    if (std::none_of(live.Controls.begin(), live.Controls.end(),
                     [Owner](const auto &Control) { return Control.first == Owner; }))
        live.Controls.emplace_back(Owner, std::move(End));
    if (!live.HandlerRegistered)
        live.HandlerRegistered = std::atexit(&EndAllAtExit) == 0;
}

void Leave(const void *Owner)
{
    TLiveControls &live = LiveControls();
    std::lock_guard guard(live.Mutex);
    std::erase_if(live.Controls, [Owner](const auto &Control) { return Control.first == Owner; });
}

void RemoveAllNow()
{
    for (const TSlot &Slot : Slots)
        if (Slot.State.load(std::memory_order_acquire) == Live)
            RemoveSlot(Slot);
    // Folders last: each may hold more than one of the ports.
    for (const TSlot &Slot : Slots)
        if (Slot.State.load(std::memory_order_acquire) == Live)
            RemoveFolder(Slot);
}

} // namespace PortExit
