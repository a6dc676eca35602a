#pragma once

// The virtual serial port control.
//
// Principles of operation: the control owns one Linux pseudo-terminal at a time and makes its
// slave reachable under the name the user picked, as a symlink. Applications open that path as
// a serial port; the control reads what they write and writes what they should read, byte for
// byte, through the master. Whether some application holds the port open is the master's
// hang-up state. A pty has no modem lines: the line setters keep their values and succeed.
//
// The link, its lock file and the folder's watch: vport/PortEntry.h. Which pair the link leads
// to, and when it moves on: vport/PtyPairs.h. What Write does with bytes nobody reads yet:
// vport/PortWriteQueue.h.
//
// Whatever ends the process short of kill -9 removes the link (vport/PortExit.h); what a
// process killed with -9 left is cleared at the next start (vport/PortLink.h).
//
// Interface summary (IVSPortAx): CreatePort / Delete / ResetBus manage the port; PortCreated
// and PortOpened are the two properties the panel polls; Read and Write move bytes and never
// block; WriteRoom tells how much Write can take without dropping; PortPath is what users open;
// LastError says which system call failed and why; Dropped and TakeNotices feed the log.
//
// The panel and the bridge call several of these every 10 ms, so the steady state costs few
// system calls: PortCreated reads the link again only after the folder's watch has reported a
// change at its name (the watcher handles those events, so a change shows within moments, not
// necessarily at the very next call); PortOpened asks the pairs and the watches in one poll;
// Read only reads, and only pairs an application has used; WriteRoom answers from what the last
// PortOpened or Write found.

#include "vport/PortEntry.h"
#include "vport/PortWatcher.h"
#include "vport/PortWriteQueue.h"
#include "vport/PtyPairs.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>

// Bytes the port dropped since the control was made, by why. Those from the device: no
// application held the port; or the application they waited for closed it without reading them.
// Those applications wrote for the device and closed the port before it took them: not taken
// within the closing wait; or beyond what the port keeps for applications that have closed it.
struct TPortDrops {
    long long NobodyHeld = 0;
    long long NotRead = 0;
    long long ClosingWait = 0;
    long long OverKept = 0;
};

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
    // Bytes Write took and dropped since the control was made: nobody held the port, or the
    // application they were queued for closed it before reading them.
    virtual long long Dropped() const = 0;
    // The same, by why, with the bytes applications wrote that the port dropped.
    virtual TPortDrops Drops() const = 0;
    // How long what an application wrote before it closed the port is kept for the device (as a
    // UART's closing_wait: 30 s unless set; 0 drops it at the close).
    virtual void SetClosingWait(std::chrono::milliseconds Wait) = 0;
    // Bytes applications wrote that Read has not handed on yet, their closed visits' included.
    virtual long long PendingForDevice() const = 0;
    // Drops them, as the port goes, and returns how many: every byte a finished write put in,
    // where PendingForDevice may fall short while the kernel is still handing a write over.
    virtual long long DropPendingForDevice() = 0;
    // What the control has to say since the last call (a link it could not move, and its
    // recovery), oldest first; for the log.
    virtual QStringList TakeNotices() = 0;
    // Text of the last failure, or of a warning about a port that was created all the same
    // ("" when none).
    virtual QString LastError() const = 0;
};

class TVSPortAx final : public IVSPortAx
{
public:
    static constexpr std::size_t WriteQueueCapacity = TPortWriteQueue::kCapacity;

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
    long long Dropped() const override;
    TPortDrops Drops() const override;
    void SetClosingWait(std::chrono::milliseconds Wait) override;
    long long PendingForDevice() const override;
    long long DropPendingForDevice() override;
    QStringList TakeNotices() override;

    TLineStates LineStates() const;

private:
    // Leaving: the control goes (or the process ends); the program's own folder goes too when
    // empty.
    bool DeleteLocked(bool Leaving = false);
    // Reads the watches' events: visits of the pairs, and changes at the link's name.
    void ReadEventsLocked();
    // One look at every pair and the watches; moves the link on from a pair an application has
    // opened, leads it to a locked holder and back (AtLocks: the locks looked at too), and
    // closes the pairs that no application holds any more. True when an application holds the
    // port.
    bool LookLocked(bool AtLocks = false);
    // LookLocked, then sends on what waits in the queue.
    bool ServiceLocked(bool AtLocks = false);
    // Leads the link to a program that holds its pair locked, and back to the fresh pair once
    // it has let go (vport/PtyPairs.h).
    void HonourLocksLocked(bool AtLocks);
    // Moves the link to Holder's pair (null: to the fresh pair) and records it.
    void RelinkLocked(const TPtyPair *Holder);
    // Gives the link a fresh pair; the one it led to stays with whoever opened it.
    void RenewLocked();
    // Records the link to the linked pair in its lock file, for the signals too.
    void RecordLinkLocked();
    // Left-overs of an instance killed with -9 in the per-user folder: once per control.
    void ClearLeftOversLocked();
    // What the destructor does, and for every live control the atexit handler: the watcher
    // stops, and with DeleteOnExit set the port goes.
    void End();
    void SendQueuedLocked();
    void FailLocked(const QString &Text);
    void NoticeLocked(const QString &Text);

    // Every entry point takes it: the panel polls from the GUI thread while the bridge may
    // move bytes from another.
    mutable std::mutex FMutex;
    // Null while there is no port.
    std::unique_ptr<TPortEntry> FEntry;
    TPortWatcher FWatcher;
    TPtyPairs FPairs;
    TPortWriteQueue FQueue;
    bool FLeftOversCleared = false;
    bool FDeleteOnExitSet = false;
    // When the pairs' locks are asked next (HonourLocksLocked).
    static constexpr std::chrono::milliseconds kLocksAskEvery{100};
    std::chrono::steady_clock::time_point FLocksAskAt{};
    TLineStates FLines;
    QString FLastErrorText;
    QStringList FNotices;
};
