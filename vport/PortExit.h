#pragma once

#include <QByteArray>

// What this process's ports have put on disk, kept where a fatal signal's handler can reach it
// without taking a lock or allocating: the link (with the target it must still have), its lock
// file, and the program's own folder. On SIGSEGV, SIGABRT, SIGUSR1, the real-time signals and
// every other signal whose default action ends the process, the handler removes each of them that
// is still ours, then lets the signal take its course. (exit() is handled by the control itself,
// which runs its own destructor's work from an atexit handler; only kill -9 leaves a port behind,
// which the next start clears.)
//
// The handlers go in once, and only for signals nobody else handles (a sanitizer's own handlers
// stay).
namespace PortExit
{

constexpr int NoSlot = -1;

// A slot for one port; NoSlot when all are taken (that port is then only removed by exit()).
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

} // namespace PortExit
