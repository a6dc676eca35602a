#pragma once

#include <QByteArray>
#include <functional>

// Whatever ends the process short of kill -9 removes the link, its lock file and the program's
// own folder when empty (with DeleteOnExit set): the control's destructor, the atexit handler
// here for exit() (as when the display goes away) and, for fatal signals, the signal handler
// here. Left-overs of an instance killed with -9 are cleared from the per-user folder at the next
// start.
//
// For the signals, what this process's ports have put on disk is kept where the handler can
// reach it without taking a lock or allocating: the link (with the target it must still have),
// its lock file, and the program's own folder. On SIGSEGV, SIGABRT, SIGUSR1, the real-time
// signals and every other signal whose default action ends the process, the handler removes each
// of them that is still ours, then lets the signal take its course.
//
// The handlers go in once, and only for signals nobody else handles (a sanitizer's own handlers
// stay).
namespace portexit
{

constexpr int kNoSlot = -1;

// A slot for one port; kNoSlot when all are taken (that port is then only removed by exit()).
int Claim();
// Fills or refreshes a slot. ParentFd and FolderEntry name the program's own folder (ParentFd
// -1 for none). While the link moves to Target, Previous is the target it may still have and
// Temporary the link made beside it for the move.
void Publish(int Slot, int FolderFd, const QByteArray &LinkEntry, const QByteArray &Target,
             const QByteArray &LockEntry, int ParentFd, const QByteArray &FolderEntry,
             const QByteArray &Previous = {}, const QByteArray &Temporary = {});
void Release(int Slot);

// What the signal handler does: removes every published port that is still ours.
void RemoveAllNow();

// The ports that exit() must end as their owners' destructors would: Owner's End runs from an
// atexit handler (registered with the first port), unless Owner leaves first. Enlisting again
// changes nothing.
void Enlist(const void *Owner, std::function<void()> End);
// Once this returns, End no longer runs; while the atexit handler runs, it waits.
void Leave(const void *Owner);

} // namespace portexit
