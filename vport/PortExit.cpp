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

constexpr int kSlotCount = 16;
constexpr std::size_t kEntrySize = NAME_MAX + 1;
constexpr std::size_t kTargetSize = 64;

enum : int { Free, Busy, Live };

struct TSlot {
    std::atomic<int> State{Free};
    int FolderFd = -1;
    int ParentFd = -1;
    char Link[kEntrySize] = {};
    char Target[kTargetSize] = {};
    // While the link is being moved: the target it may still have, and the temporary link that
    // may still stand beside it ("" for none).
    char Previous[kTargetSize] = {};
    char Temporary[kEntrySize] = {};
    char Lock[kEntrySize] = {};
    char Folder[kEntrySize] = {};
};

TSlot Slots[kSlotCount];

// Every signal whose default action ends the process, the real-time ones (SIGRTMIN to SIGRTMAX)
// besides. A program that stops cleanly on SIGINT, SIGTERM and SIGHUP, or ignores SIGPIPE, has
// its own handlers there first, and they stay.
constexpr int kFatalSignals[] = {
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
    char found[kTargetSize];
    const ssize_t size = ::readlinkat(FolderFd, Entry, found, sizeof(found));
    return size > 0 && static_cast<std::size_t>(size) == std::strlen(Target) &&
           std::memcmp(found, Target, static_cast<std::size_t>(size)) == 0;
}

// Async-signal-safe: only system calls on what the slot recorded.
void RemoveSlot(const TSlot &Slot)
{
    if (LinksTo(Slot.FolderFd, Slot.Link, Slot.Target) ||
        (Slot.Previous[0] != '\0' && LinksTo(Slot.FolderFd, Slot.Link, Slot.Previous)))
        ::unlinkat(Slot.FolderFd, Slot.Link, 0);
    if (Slot.Temporary[0] != '\0' && LinksTo(Slot.FolderFd, Slot.Temporary, Slot.Target))
        ::unlinkat(Slot.FolderFd, Slot.Temporary, 0);
    struct stat lock = {};
    if (::fstatat(Slot.FolderFd, Slot.Lock, &lock, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(lock.st_mode) && lock.st_uid == ::geteuid())
        ::unlinkat(Slot.FolderFd, Slot.Lock, 0);
}

void RemoveFolder(const TSlot &Slot)
{
    if (Slot.ParentFd < 0)
        return;
    struct stat open = {};
    struct stat named = {};
    if (::fstat(Slot.FolderFd, &open) == 0 &&
        ::fstatat(Slot.ParentFd, Slot.Folder, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        open.st_dev == named.st_dev && open.st_ino == named.st_ino)
        ::unlinkat(Slot.ParentFd, Slot.Folder, AT_REMOVEDIR);
}

void OnFatalSignal(int Signal)
{
    const int savedErrno = errno;
    portexit::RemoveAllNow();
    errno = savedErrno;
    // SA_RESETHAND put the default action back and SA_NODEFER lets it act at once.
    ::raise(Signal);
}

void InstallHandler(int Signal)
{
    struct sigaction current = {};
    if (::sigaction(Signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(Signal, &action, nullptr);
}

void InstallHandlers()
{
    for (const int signal : kFatalSignals)
        InstallHandler(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        InstallHandler(signal);
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

namespace portexit
{

int Claim()
{
    static std::once_flag installed;
    std::call_once(installed, InstallHandlers);
    for (int index = 0; index < kSlotCount; ++index) {
        int expected = Free;
        if (Slots[index].State.compare_exchange_strong(expected, Busy))
            return index;
    }
    return kNoSlot;
}

void Publish(int Slot, int FolderFd, const QByteArray &LinkEntry, const QByteArray &Target,
             const QByteArray &LockEntry, int ParentFd, const QByteArray &FolderEntry,
             const QByteArray &Previous, const QByteArray &Temporary)
{
    if (Slot == kNoSlot)
        return;
    TSlot &into = Slots[Slot];
    into.State.store(Busy);
    into.FolderFd = FolderFd;
    into.ParentFd = ParentFd;
    if (!CopyEntry(into.Link, kEntrySize, LinkEntry) ||
        !CopyEntry(into.Target, kTargetSize, Target) ||
        !CopyEntry(into.Previous, kTargetSize, Previous) ||
        !CopyEntry(into.Temporary, kEntrySize, Temporary) ||
        !CopyEntry(into.Lock, kEntrySize, LockEntry) ||
        !CopyEntry(into.Folder, kEntrySize, FolderEntry))
        return; // stays Busy: the handler leaves what it cannot name exactly
    into.State.store(Live, std::memory_order_release);
}

void Release(int Slot)
{
    if (Slot != kNoSlot)
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
    for (const TSlot &slot : Slots)
        if (slot.State.load(std::memory_order_acquire) == Live)
            RemoveSlot(slot);
    // Folders last: each may hold more than one of the ports.
    for (const TSlot &slot : Slots)
        if (slot.State.load(std::memory_order_acquire) == Live)
            RemoveFolder(slot);
}

} // namespace portexit
