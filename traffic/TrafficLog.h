// What moved through the bridge, for the Traffic window and velmor-bridge's --log: the bytes each
// way with the time they moved, shown as the lines of a hex dump,
//
//     12:03:04.123 > 41 42 0d 0a  AB..
//     2026-12-08T12:03:04.123+01:00 > 41 42 0d 0a  AB..
//
// the local time of the line's first byte (the time of day on screen, the full date and time in a
// file: traffic/LineTime.h), ">" to the device or "<" from it, at most
// kLineBytes bytes in hex, then the same bytes as text (anything but printable ASCII as ".").
// Bytes that follow in the same direction join the newest line until it is full or kLineSpan has
// passed since its first byte; a change of direction always starts a new line.
//
// The last kKeptBytes each way are kept: when a direction holds more, its oldest bytes go,
// whatever the other direction holds. Recording copies the bytes into their lines and nothing
// more; a line becomes text only when it is asked for (TrafficLineText), so a view formats only
// the lines it shows. Not thread-safe: the bridge cycle and the views share one thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

enum class TTrafficDirection : std::uint8_t { ToDevice = 0, FromDevice = 1 };

struct TTrafficLine {
    using Clock = std::chrono::system_clock;
    static constexpr std::size_t kLineBytes = 16;

    // The order of the lines of both directions: a line's is one more than the line before.
    std::uint64_t Sequence = 0;
    Clock::time_point Time; // when its first byte moved
    TTrafficDirection Direction = TTrafficDirection::ToDevice;
    std::uint8_t Count = 0;
    std::array<unsigned char, kLineBytes> Bytes{};
};

// How a line's time is written: the time of day, as the window shows it, or the full date and
// time, as files have it.
enum class TTrafficTime : std::uint8_t { OfDay, Iso };

// The line as the window (OfDay) or a file (Iso) shows it, without an end of line.
std::string TrafficLineText(const TTrafficLine &Line, TTrafficTime Time = TTrafficTime::OfDay);

class TTrafficLog
{
public:
    using Clock = TTrafficLine::Clock;
    static constexpr std::size_t kKeptBytes = 64 * 1024;
    static constexpr std::chrono::milliseconds kLineSpan{100};
    // Told each line in order; false stops the visit.
    using TVisitor = std::function<bool(const TTrafficLine &Line)>;

    // Bytes that moved in Direction at Now.
    void Record(TTrafficDirection Direction, const unsigned char *Bytes, std::size_t Count,
                Clock::time_point Now);
    void Clear();
    // The newest line takes no more bytes: what comes next starts a line of its own. For a
    // writer that has written it, even if the clock is turned back.
    void CloseNewest() { FNewestClosed = true; }

    // The lines kept, both directions.
    std::size_t LineCount() const { return FLines[0].size() + FLines[1].size(); }
    // The bytes kept in Direction.
    std::size_t Kept(TTrafficDirection Direction) const { return FKept[Index(Direction)]; }
    // Moves on at every change: a view compares it with what it last showed.
    std::uint64_t Revision() const { return FRevision; }

    // Visits the lines from the First-th kept (0 the oldest) on, oldest first.
    void Visit(std::size_t First, const TVisitor &Visitor) const;
    // Visits the kept lines whose Sequence is From or later, oldest first.
    void VisitFrom(std::uint64_t From, const TVisitor &Visitor) const;
    // Whether Line may still take bytes: the newest line, neither full nor kLineSpan old at Now.
    bool Growing(const TTrafficLine &Line, Clock::time_point Now) const;
    // Every line kept, each ending with a line feed.
    std::string Text(TTrafficTime Time = TTrafficTime::OfDay) const;

private:
    static std::size_t Index(TTrafficDirection Direction) { return std::size_t(Direction); }
    // Visits from the given positions in each direction's lines, merging them in order.
    void Merge(std::size_t To, std::size_t From, const TVisitor &Visitor) const;
    // Drops the oldest bytes of the direction beyond kKeptBytes.
    void Trim(std::size_t Direction);

    std::deque<TTrafficLine> FLines[2];
    std::size_t FKept[2] = {0, 0};
    std::uint64_t FNextSequence = 0;
    std::uint64_t FRevision = 0;
    bool FNewestClosed = false;
};
