#pragma once

#include <QString>
#include <cstddef>
#include <vector>

struct TPtyPair;

// What Write gives the application that holds the port: written straight to its pair while the
// pty takes it, queued while it does not, and dropped (and counted) when nobody is left to read
// it, as a serial line drops what nobody listens to. Every member is called with the control's
// lock held; a write that fails leaves its reason in Error.
class TPortWriteQueue
{
public:
    // What is kept for an application that reads slower than the bridge writes: the pty itself
    // holds only about 12 KiB.
    static constexpr std::size_t kCapacity = 64 * 1024;

    // Count bytes of Data for Primary (null: nobody holds the port); returns the bytes taken:
    // written, queued, or dropped.
    long WriteLocked(TPtyPair *Primary, const char *Data, long Count, QString &Error);
    // Sends on what waits, as far as Primary takes it; drops it when Primary is not the pair
    // it waits for.
    void SendLocked(TPtyPair *Primary, QString &Error);
    // Drops what waits for Pair, which is about to close.
    void DropForLocked(const TPtyPair &Pair);
    // Forgets what waits, without counting it: the port has gone.
    void ClearLocked();

    std::size_t Room() const { return kCapacity - FQueue.size(); }
    // Bytes taken and dropped so far; of them, those dropped because nobody held the port (the
    // rest waited for an application that closed it without reading them).
    long long Dropped() const { return FDropped; }
    long long DroppedUnheld() const { return FDroppedUnheld; }

private:
    // Writes what the pty takes now; Gone: the port closed under the write (or it failed).
    static std::size_t WriteNow(TPtyPair &Pair, const char *Data, std::size_t Size, bool &Gone,
                                QString &Error);
    void DropLocked();

    std::vector<char> FQueue;
    // The pair the queue is meant for.
    const TPtyPair *FFor = nullptr;
    long long FDropped = 0;
    long long FDroppedUnheld = 0;
};
