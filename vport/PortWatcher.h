#pragma once

#include "vport/UniqueFd.h"

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <functional>
#include <sys/inotify.h>
#include <thread>

// The port's inotify watches and the thread that waits on them. The watches report the pairs'
// open and close events and the entries that come and go in the port's folder; the thread
// blocks until some arrive, so that the control can move the link on within a fraction of a
// millisecond of an application's open, without a tick of its own. What the events mean is the
// control's business: the thread only hands them on, and the control's own calls read the same
// events first when they come sooner.
class TPortWatcher
{
public:
    // What a pair's watch reports: an application opened or closed it.
    static constexpr std::uint32_t kPairEvents = IN_OPEN | IN_CLOSE;

    TPortWatcher();
    ~TPortWatcher();
    TPortWatcher(const TPortWatcher &) = delete;
    TPortWatcher &operator=(const TPortWatcher &) = delete;

    // Whether the watches can be made and the thread can run; if not, Errno says why.
    bool Valid() const { return FInotify.Valid() && FWake.Valid(); }
    int Errno() const { return FErrno; }
    // The watches work even where the thread cannot run: the control then reads the events on a
    // call of its own.
    bool Watching() const { return FInotify.Valid(); }
    // Readable while events wait.
    int Fd() const { return FInotify.Get(); }

    // A pair's slave; -1 when it cannot be watched.
    int WatchPair(const QByteArray &SlavePath);
    // The port's folder, through its own descriptor: whatever has become of its path meanwhile.
    int WatchFolder(int FolderFd);
    // Ignores -1.
    void Unwatch(int Watch);

    // Hands each waiting event on, oldest first, until none is left.
    void ReadEvents(const std::function<void(const inotify_event &Event)> &Each) const;
    // Reads the waiting events and forgets them.
    void Discard() const;

    // Starts the thread: it runs OnReady each time events wait, until Stop.
    void Start(std::function<void()> OnReady);
    // Wakes the thread and waits for it to end; again later, it does nothing.
    void Stop();
    bool Running() const { return FThread.joinable(); }

private:
    void WatchLoop();

    TUniqueFd FInotify;
    // Wakes the thread for Stop.
    TUniqueFd FWake;
    int FErrno = 0;
    std::atomic<bool> FStopping{false};
    std::function<void()> FOnReady;
    std::thread FThread;
};
