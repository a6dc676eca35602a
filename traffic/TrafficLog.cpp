#include "traffic/TrafficLog.h"

#include "traffic/LineTime.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr char kHex[] = "0123456789abcdef";
} // namespace

std::string TrafficLineText(const TTrafficLine &Line, TTrafficTime Time)
{
    std::string text = Time == TTrafficTime::Iso ? IsoTime(Line.Time) : TimeOfDay(Line.Time);
    text += Line.Direction == TTrafficDirection::ToDevice ? " >" : " <";
    for (std::size_t i = 0; i < Line.Count; ++i) {
        text += ' ';
        text += kHex[Line.Bytes[i] >> 4];
        text += kHex[Line.Bytes[i] & 0x0f];
    }
    text += "  ";
    for (std::size_t i = 0; i < Line.Count; ++i) {
        const unsigned char byte = Line.Bytes[i];
        text += byte >= 0x20 && byte < 0x7f ? char(byte) : '.';
    }
    return text;
}

void TTrafficLog::Record(TTrafficDirection Direction, const unsigned char *Bytes, std::size_t Count,
                         Clock::time_point Now)
{
    if (Count == 0)
        return;
    ++FRevision;
    const std::size_t direction = Index(Direction);
    std::deque<TTrafficLine> &lines = FLines[direction];
    std::size_t done = 0;
    if (!lines.empty() && Growing(lines.back(), Now)) {
        TTrafficLine &line = lines.back();
        done = std::min(Count, TTrafficLine::kLineBytes - line.Count);
        std::memcpy(line.Bytes.data() + line.Count, Bytes, done);
        line.Count = std::uint8_t(line.Count + done);
    }
    while (done < Count) {
        TTrafficLine &line = lines.emplace_back();
        line.Sequence = FNextSequence++;
        FNewestClosed = false;
        line.Time = Now;
        line.Direction = Direction;
        line.Count = std::uint8_t(std::min(Count - done, TTrafficLine::kLineBytes));
        std::memcpy(line.Bytes.data(), Bytes + done, line.Count);
        done += line.Count;
    }
    FKept[direction] += Count;
    Trim(direction);
}

void TTrafficLog::Trim(std::size_t Direction)
{
    std::deque<TTrafficLine> &lines = FLines[Direction];
    while (FKept[Direction] > kKeptBytes) {
        const std::size_t excess = FKept[Direction] - kKeptBytes;
        TTrafficLine &oldest = lines.front();
        if (oldest.Count <= excess) {
            FKept[Direction] -= oldest.Count;
            lines.pop_front();
            continue;
        }
        // Part of the line goes: what is left keeps the line's time, a moment early.
        std::memmove(oldest.Bytes.data(), oldest.Bytes.data() + excess, oldest.Count - excess);
        oldest.Count = std::uint8_t(oldest.Count - excess);
        FKept[Direction] -= excess;
    }
}

void TTrafficLog::Clear()
{
    for (std::size_t direction : {0, 1}) {
        FLines[direction].clear();
        FKept[direction] = 0;
    }
    ++FRevision;
}

bool TTrafficLog::Growing(const TTrafficLine &Line, Clock::time_point Now) const
{
    return !FNewestClosed && Line.Sequence + 1 == FNextSequence &&
           Line.Count < TTrafficLine::kLineBytes && Now >= Line.Time && Now - Line.Time < kLineSpan;
}

void TTrafficLog::Merge(std::size_t To, std::size_t From, const TVisitor &Visitor) const
{
    const std::deque<TTrafficLine> &to = FLines[0];
    const std::deque<TTrafficLine> &from = FLines[1];
    while (To < to.size() || From < from.size()) {
        const bool takeTo =
            From >= from.size() || (To < to.size() && to[To].Sequence < from[From].Sequence);
        if (!Visitor(takeTo ? to[To++] : from[From++]))
            return;
    }
}

void TTrafficLog::Visit(std::size_t First, const TVisitor &Visitor) const
{
    // How many lines to the device come before the First-th: the first of them whose place in
    // both directions' order is First or later.
    const std::deque<TTrafficLine> &to = FLines[0];
    const std::deque<TTrafficLine> &from = FLines[1];
    auto place = [&](std::size_t I) {
        const auto earlier = std::lower_bound(from.begin(), from.end(), to[I].Sequence,
                                              [](const TTrafficLine &Line, std::uint64_t Sequence) {
                                                  return Line.Sequence < Sequence;
                                              });
        return I + std::size_t(earlier - from.begin());
    };
    std::size_t low = 0;
    std::size_t high = to.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (place(middle) < First)
            low = middle + 1;
        else
            high = middle;
    }
    if (First - low > from.size())
        return;
    Merge(low, First - low, Visitor);
}

void TTrafficLog::VisitFrom(std::uint64_t From, const TVisitor &Visitor) const
{
    auto first = [From](const std::deque<TTrafficLine> &Lines) {
        return std::size_t(std::lower_bound(Lines.begin(), Lines.end(), From,
                                            [](const TTrafficLine &Line, std::uint64_t Sequence) {
                                                return Line.Sequence < Sequence;
                                            }) -
                           Lines.begin());
    };
    Merge(first(FLines[0]), first(FLines[1]), Visitor);
}

std::string TTrafficLog::Text(TTrafficTime Time) const
{
    std::string text;
    text.reserve(LineCount() * 100);
    Visit(0, [&](const TTrafficLine &Line) {
        text += TrafficLineText(Line, Time);
        text += '\n';
        return true;
    });
    return text;
}
