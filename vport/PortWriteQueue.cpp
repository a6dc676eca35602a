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
        return Count;
    }

    auto Left = static_cast<std::size_t>(Count);
    // Order matters: straight to the pty only while nothing waits in the queue.
    if (FQueue.empty()) {
        bool Gone = false;
        const std::size_t Sent = WriteNow(*Primary, Data, Left, Gone, Error);
        if (Gone) {
            FDropped += static_cast<long long>(Left - Sent);
            return Count;
        }
        Data += Sent;
        Left -= Sent;
    }
    const std::size_t Queued = std::min(Left, kCapacity - FQueue.size());
    if (Queued > 0) {
        FQueue.insert(FQueue.end(), Data, Data + Queued);
        FFor = Primary;
    }
    return Count - static_cast<long>(Left - Queued);
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
    bool Gone = false;
    const std::size_t Sent = WriteNow(*Primary, FQueue.data(), FQueue.size(), Gone, Error);
    FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(Sent));
    if (Gone)
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
    std::size_t Sent = 0;
    while (Sent < Size) {
        const ssize_t Done = ::write(Pair.Pty.MasterFd(), Data + Sent, Size - Sent);
        if (Done > 0) {
            Sent += static_cast<std::size_t>(Done);
            continue;
        }
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        // EIO: the application closed the port this very moment.
        if (errno != EIO)
            Error = SystemErrorText(QStringLiteral("writing to the port"), errno);
        Gone = true;
        break;
    }
    return Sent;
}
