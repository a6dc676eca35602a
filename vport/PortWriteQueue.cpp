#include "vport/PortWriteQueue.h"

#include "vport/PtyPairs.h"
#include "vport/SystemError.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

long TPortWriteQueue::WriteLocked(TPtyPair *Primary, const char *Data, long Count, QString &Error)
{
    // Nobody listens: a serial line drops the bytes, and so does the port.
    if (Primary == nullptr) {
        FDropped += Count;
        FDroppedUnheld += Count;
        return Count;
    }

    auto left = static_cast<std::size_t>(Count);
    // Order matters: straight to the pty only while nothing waits in the queue.
    if (FQueue.empty()) {
        bool gone = false;
        const std::size_t sent = WriteNow(*Primary, Data, left, gone, Error);
        if (gone) {
            FDropped += static_cast<long long>(left - sent);
            return Count;
        }
        Data += sent;
        left -= sent;
    }
    const std::size_t queued = std::min(left, kCapacity - FQueue.size());
    if (queued > 0) {
        FQueue.insert(FQueue.end(), Data, Data + queued);
        FFor = Primary;
    }
    return Count - static_cast<long>(left - queued);
}

void TPortWriteQueue::SendLocked(TPtyPair *Primary, QString &Error)
{
    if (FQueue.empty())
        return;
    // Nobody is left to read what waited for the application that has gone: it goes, as at any
    // close.
    if (Primary != FFor) {
        DropLocked();
        return;
    }
    bool gone = false;
    const std::size_t sent = WriteNow(*Primary, FQueue.data(), FQueue.size(), gone, Error);
    FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(sent));
    if (gone)
        DropLocked();
}

void TPortWriteQueue::DropForLocked(const TPtyPair &Pair)
{
    // What waited for it is dropped, as at any close.
    if (FFor == &Pair)
        DropLocked();
}

void TPortWriteQueue::ClearLocked()
{
    FQueue.clear();
    FFor = nullptr;
}

void TPortWriteQueue::DropLocked()
{
    FDropped += static_cast<long long>(FQueue.size());
    FQueue.clear();
    FFor = nullptr;
}

std::size_t TPortWriteQueue::WriteNow(TPtyPair &Pair, const char *Data, std::size_t Size,
                                      bool &Gone, QString &Error)
{
    Gone = false;
    std::size_t sent = 0;
    while (sent < Size) {
        const ssize_t done = ::write(Pair.Pty.MasterFd(), Data + sent, Size - sent);
        if (done > 0) {
            sent += static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        // EIO: the application closed the port this very moment.
        if (errno != EIO)
            Error = SystemErrorText(QStringLiteral("writing to the port"), errno);
        Gone = true;
        break;
    }
    return sent;
}
