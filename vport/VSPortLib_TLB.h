#pragma once

// The virtual serial port control.
//
// Principles of operation: the control owns one Linux pseudo-terminal at a time and makes its
// slave reachable under the name the user picked, as a symlink. Applications open that path as
// a serial port; the control reads what they write and writes what they should read, byte for
// byte, through the master. Whether some application holds the port open is the master's
// hang-up state. A pty has no modem lines: the line setters keep their values and succeed.
//
// Every application's visit is seen, however short: a watcher thread blocks on inotify's open
// and close events for the slave, and PortOpened and Write look at the same events first.
// Once the last application has closed the port, the control moves the link to a fresh pair
// (raw, not exclusive, nothing queued) and keeps what the old one still had to read; so the next
// application never inherits line settings, an exclusive mode or unread bytes. The old pair is
// locked (TIOCSPTLCK) while it is retired, so nobody can slip onto it unseen. What remains: an
// application that opens the port between the last close and that lock (the watcher makes the
// fresh pair first: about 0.3 ms, a few ms on a busy machine) shares the old pair as it was
// left, and is cleaned up after when it closes; one that opens during the few system calls that
// swap the link gets EIO and may simply open again. Settings an application makes after its
// open are never overwritten.
//
// Whatever ends the process short of kill -9 removes the link, its lock file and the program's
// own folder when empty (with DeleteOnExit set): the destructor, an atexit handler for exit()
// (as when the display goes away) and, for fatal signals, PortExit's handler. Left-overs of an
// instance killed with -9 are cleared from the per-user folder at the next start.
//
// Interface summary (IVSPortAx): CreatePort / Delete / ResetBus manage the port; PortCreated
// and PortOpened are the two properties the panel polls; Read and Write move bytes and never
// block; WriteRoom tells how much Write can take without dropping; PortPath is what users open;
// LastError says which system call failed and why.
//
// The panel and the bridge call several of these every 10 ms, so the steady state costs few
// system calls: PortCreated reads the link again only after the folder's watch has reported a
// change at its name (the watcher handles those events, so a change shows within moments, not
// necessarily at the very next call); PortOpened asks the pty and the watches in one poll;
// Read only reads; WriteRoom answers from what the last PortOpened or Write found.

#include "vport/UniqueFd.h"

#include <QString>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class IVSPortAx
{
public:
    virtual ~IVSPortAx();

    // The port under this name: a plain name in the per-user port folder, or a full path.
    virtual bool CreatePort(const QString &PortName) = 0;
    virtual bool Delete() = 0;
    // Bytes taken: written, queued, or dropped because no application holds the port.
    virtual long Write(const void *Buffer, long Count) = 0;
    // *Count = capacity of Buffer; returns the number of bytes now in Buffer, 0 = none.
    virtual long Read(void *Buffer, long *Count) = 0;
    virtual bool SetDSR(bool) = 0;
    virtual bool SetRING(bool) = 0;
    virtual bool SetDCD(bool) = 0;
    virtual bool ResetBus() = 0;
    virtual bool SetWiring(long Dtr, long Rts, long Out1, long Out2) = 0;
    virtual bool PortCreated() = 0;
    virtual bool PortOpened() = 0;
    virtual bool DeleteOnExit() const = 0;
    virtual void SetDeleteOnExit(bool) = 0;

    // Bytes Write can take now without dropping any (while an application has the port open).
    virtual long WriteRoom() = 0;
    // Full path applications open ("" when none).
    virtual QString PortPath() const = 0;
    // Text of the last failure, or of a warning about a port that was created all the same
    // ("" when none).
    virtual QString LastError() const = 0;
};

class TVSPortAx final : public IVSPortAx
{
public:
    // What Write keeps for an application that reads slower than the bridge writes: the pty
    // itself holds only about 12 KiB.
    static constexpr std::size_t WriteQueueCapacity = 64 * 1024;

    // The line states kept for the interface's sake.
    struct TLineStates {
        bool Dsr = false;
        bool Ring = false;
        bool Dcd = false;
        long Dtr = 0;
        long Rts = 0;
        long Out1 = 0;
        long Out2 = 0;
    };

    explicit TVSPortAx();
    ~TVSPortAx() override;
    TVSPortAx(const TVSPortAx &) = delete;
    TVSPortAx &operator=(const TVSPortAx &) = delete;

    bool CreatePort(const QString &PortName) override;
    bool Delete() override;
    long Write(const void *Buffer, long Count) override;
    long Read(void *Buffer, long *Count) override;
    bool SetDSR(bool On) override;
    bool SetRING(bool On) override;
    bool SetDCD(bool On) override;
    bool ResetBus() override;
    bool SetWiring(long Dtr, long Rts, long Out1, long Out2) override;
    bool PortCreated() override;
    bool PortOpened() override;
    bool DeleteOnExit() const override;
    void SetDeleteOnExit(bool On) override;
    long WriteRoom() override;
    QString PortPath() const override;
    QString LastError() const override;

    TLineStates LineStates() const;

private:
    struct TPort;

    // Leaving: the control goes (or the process ends); the program's own folder goes too when
    // empty.
    bool DeleteLocked(bool Leaving = false);
    bool LinkIsOursLocked() const;
    // Reads the watches' events: visits of the slave, and changes at the link's name.
    void ReadEventsLocked();
    // Gives the port a fresh pair if an application has visited it and none holds it now.
    void CleanAfterVisitLocked();
    // Notices an application's visit, cleans up after it, sends on what waits in the queue, and
    // tells whether an application holds the port.
    bool ServiceLocked();
    void RecordLinkLocked();
    void WatchLoop();
    void StopWatcher();
    // Left-overs of an instance killed with -9 in the per-user folder: once per control.
    void ClearLeftOversLocked();
    // The atexit handler: what every live control's destructor would do.
    static void EndAllAtExit();
    // Writes what the pty takes now; Gone: the port closed under the write (or it failed).
    std::size_t WriteNowLocked(const char *Data, std::size_t Size, bool &Gone);
    void SendQueuedLocked();
    void RenewPtyLocked();
    void FailLocked(const QString &Text);

    // Every entry point takes it: the panel polls from the GUI thread while the bridge may
    // move bytes from another.
    mutable std::mutex Mutex;
    std::unique_ptr<TPort> Port;
    std::vector<char> Queue;
    // What applications wrote to a retired pair and Read has not handed on yet.
    std::vector<char> Unread;
    bool Opened = false;
    // An application opened or closed the slave since the pair was made.
    bool Visited = false;
    bool Ending = false;
    bool LeftOversCleared = false;
    TUniqueFd Inotify;
    TUniqueFd Wake;
    int Watch = -1;
    // The port's folder, watched for entries that come and go: while no event has named the
    // link since it was last read and found ours, it still is, and PortCreated need not read it
    // again at every tick.
    int FolderWatch = -1;
    bool LinkKnownOurs = false;
    int ExitSlot = -1;
    std::thread Watcher;
    bool DeleteOnExitSet = false;
    TLineStates Lines;
    QString LastErrorText;
};
