#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <vector>

// What applications wrote to the port before they closed it and the device has not taken yet,
// kept as a UART keeps its output queue at a close: for at most the closing wait after the close
// (30 s, as Linux's closing_wait), and no more than kKept bytes from all closed visits together.
// What is beyond either is dropped and counted, so that programs that come and go cost neither
// memory without end nor an hour's backlog ahead of the next program. Oldest first throughout.
class TClosedWrites
{
public:
    using TClock = std::chrono::steady_clock;

    // About a minute of the device's time: it takes 208 host bytes a second.
    static constexpr std::size_t kKept = 12 * 1024;
    static constexpr std::chrono::milliseconds kDefaultClosingWait{30000};

    // 0 drops what an application leaves at its close.
    void SetClosingWait(std::chrono::milliseconds Wait) { FClosingWait = Wait; }
    std::chrono::milliseconds ClosingWait() const { return FClosingWait; }

    // What one application left when it closed the port, at Now.
    void Add(const std::vector<char> &Left, TClock::time_point Now);
    // Drops what has waited past its closing wait.
    void Expire(TClock::time_point Now);
    // Moves up to Capacity bytes, oldest first, into Into; returns how many.
    std::size_t Read(char *Into, std::size_t Capacity);
    // Forgets what waits: the port goes, and its owner has said what it left (Size).
    void Clear();

    bool Empty() const { return FBytes.empty(); }
    std::size_t Size() const { return FBytes.size(); }
    // Bytes dropped so far: not taken within the closing wait; beyond kKept.
    long long DroppedAtClosingWait() const { return FDroppedAtWait; }
    long long DroppedOverKept() const { return FDroppedOverKept; }

private:
    // One close's share of FBytes, in order.
    struct TVisit {
        std::size_t Bytes;
        TClock::time_point DropAt;
    };

    std::chrono::milliseconds FClosingWait = kDefaultClosingWait;
    std::deque<char> FBytes;
    std::deque<TVisit> FVisits;
    long long FDroppedAtWait = 0;
    long long FDroppedOverKept = 0;
};
