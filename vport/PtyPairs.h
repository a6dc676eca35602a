#pragma once

#include "vport/ClosedWrites.h"
#include "vport/Pty.h"

#include <QString>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <sys/inotify.h>
#include <vector>

class TPortWatcher;

// One of the port's pairs, as the control sees it.
struct TPtyPair {
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

// The port's pseudo-terminal pairs: the one the link leads to, those applications still hold,
// and the spare the link moves to next.
//
// Every application starts on a port nobody has used: the link always leads to a fresh pair
// (raw, not exclusive, nothing queued), and the moment an application opens it the control moves
// the link on to the next fresh pair, while that application keeps the one it opened. So however
// soon after a close the next application opens the port, it never inherits line settings, an
// exclusive mode or unread bytes, and never finds the link in between: a pair is never locked or
// closed while the link leads to it. A watcher thread blocks on inotify's open and close events
// for the pairs, so the move takes a fraction of a millisecond; PortOpened and Write look at the
// same events first. Only an application whose whole visit is shorter than that (open and close
// within some microseconds) can leave its settings to one that opens right after it.
//
// Two applications that hold the port at once therefore each hold a pair of their own: both
// send to the device, read in turn, a fair slice each, so that one that keeps writing never
// starves the other; what the device sends goes to the one that opened first (while it holds the
// port; then to the next).
//
// A lock is honoured as a serial port honours it: while a program holds its pair locked (flock,
// TIOCEXCL: vport/PairLocks.h), the link leads to that pair (the holder), so that another
// program's open meets the lock, EBUSY or a failing flock, and a program that takes no lock
// shares the port as it would share a serial port. Once the lock or its program has gone the link
// leads to the fresh pair again. File locks are looked at once a tick, the exclusive mode every
// kLocksAskEvery (asking costs an open of the pair, which wakes the watcher); a program's close
// is seen at once. When the link cannot be moved (the folder refuses the new link), the control
// says so and tries again after a pause that grows, and the port meanwhile works on the pair it
// has.
//
// What an application wrote and the device had not taken when it closed still goes to the
// device, ahead of nothing and behind nothing in particular: the closed visits' bytes are one
// more turn among the pairs', kept for the closing wait and bounded (vport/ClosedWrites.h).
//
// The link itself is the port entry's (vport/PortEntry.h): these pairs only say where it should
// lead. Every member is called with the control's lock held.
class TPtyPairs
{
public:
    explicit TPtyPairs(TPortWatcher &Watcher);
    TPtyPairs(const TPtyPairs &) = delete;
    TPtyPairs &operator=(const TPtyPairs &) = delete;

    // The port's first pair, which the link leads to; what an earlier port left is gone.
    void StartLocked(TPty Pty);
    // Stops watching the pairs and closes the spare; the pairs stay until ClearLocked.
    void UnwatchLocked();
    // Closes every pair; nothing the applications wrote is kept.
    void ClearLocked();

    // The fresh pair the link leads to while no holder is locked (there is one while the port
    // exists).
    const TPtyPair &LinkedLocked() const { return *FPairs.back(); }
    // The slave the link leads to: the locked holder's, else the fresh pair's.
    const QByteArray &LinkTargetLocked() const
    {
        return FHolder ? FHolder->Pty.SlavePath() : FPairs.back()->Pty.SlavePath();
    }
    // The locked holder the link leads to; null for none.
    const TPtyPair *HolderLocked() const { return FHolder; }
    // The oldest pair that a program holds locked, other than the fresh one; null for none.
    // AskTerminals: their exclusive mode is asked too, not only their file locks.
    const TPtyPair *LockedPairLocked(bool AskTerminals) const;
    // The link leads to Holder now (null: to the fresh pair again).
    void SetHolderLocked(const TPtyPair *Holder);
    // An application held some pair at the last look.
    bool Opened() const { return FOpened; }

    // One poll of every pair and of the watcher's Fd, which marks the pairs held or not;
    // EventsWait tells whether the watcher has events. False when the poll failed.
    bool PollLocked(int WatcherFd, bool &EventsWait);
    // What a watcher's event means for the pairs: an open or a close of one of them, or lost
    // events, after which any pair may have been visited.
    void TakeEventLocked(const inotify_event &Event);
    // The link should move on: an application has visited the pair it leads to, and no pause
    // after a failed move holds it back.
    bool RenewDueLocked() const;
    // Closes the pairs the link no longer leads to that nobody holds, once their grace is over;
    // Closing is told of each first. Then says whether an application holds the port.
    bool RetireLocked(const std::function<void(const TPtyPair &Pair)> &Closing);
    // The pair whose application gets what Write is given: the oldest one held; null for none.
    TPtyPair *PrimaryLocked() const;

    // Makes the spare the link moves to next; without one the next move makes its own.
    void MakeSpareLocked();
    // The spare, made now if there was none; null with the reason in Error.
    const TPtyPair *SpareLocked(QString &Error);
    // The link has moved to the spare: it is the linked pair now, and the one before stays with
    // whoever opened it. True when earlier moves had failed.
    bool MovedLocked();
    // Moving the link failed for Error: puts the next try off by a pause that grows, and says so
    // for the log.
    QString PutOffLocked(const QString &Error);

    // What applications wrote: the closed visits' bytes and each pair an application has used,
    // in turn, up to an equal slice of Capacity each round, the first turn moving on at every
    // call. Returns the bytes now in Into; a failed read's reason in Error.
    std::size_t ReadLocked(char *Into, std::size_t Capacity, QString &Error);
    // Bytes applications wrote that Read has not handed on yet: closed visits' and the pairs'.
    long long PendingLocked() const;
    // Drops those bytes, for a port that goes, and returns how many there were.
    long long DropPendingLocked();
    TClosedWrites &Closed() { return FClosed; }
    const TClosedWrites &Closed() const { return FClosed; }

private:
    // One read of what Pair's application wrote, up to Capacity.
    static std::size_t ReadPair(TPtyPair &Pair, char *Into, std::size_t Capacity, QString &Error);
    // A fresh pair, watched; null with the reason in Error.
    std::unique_ptr<TPtyPair> NewPairLocked(QString &Error);

    TPortWatcher &FWatcher;
    // Oldest first; the last is the one the link leads to.
    std::vector<std::unique_ptr<TPtyPair>> FPairs;
    // The pair the link moves to next, made ahead (null when that failed).
    std::unique_ptr<TPtyPair> FSpare;
    // What applications wrote to a closed pair and Read has not handed on yet.
    TClosedWrites FClosed;
    // Whose turn comes first at the next Read.
    std::size_t FTurn = 0;
    // The locked holder the link leads to, one of FPairs; null while it leads to the fresh pair.
    TPtyPair *FHolder = nullptr;
    bool FOpened = false;
    // Moving the link on failed this many times in a row; the next try waits until FRenewAt.
    int FRenewFailures = 0;
    std::chrono::steady_clock::time_point FRenewAt{};
};
