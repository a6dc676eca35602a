#include "vport/ClosedWrites.h"

#include <algorithm>

void TClosedWrites::Add(const std::vector<char> &Left, TClock::time_point Now)
{
    if (Left.empty())
        return;
    if (FClosingWait.count() <= 0) {
        FDroppedAtWait += static_cast<long long>(Left.size());
        return;
    }
    // What waits already goes first; what does not fit behind it is dropped.
    const std::size_t kept = std::min(Left.size(), kKept - std::min(kKept, FBytes.size()));
    FDroppedOverKept += static_cast<long long>(Left.size() - kept);
    if (kept == 0)
        return;
    FBytes.insert(FBytes.end(), Left.begin(), Left.begin() + static_cast<std::ptrdiff_t>(kept));
    FVisits.push_back({kept, Now + FClosingWait});
}

void TClosedWrites::Expire(TClock::time_point Now)
{
    while (!FVisits.empty() && FVisits.front().DropAt <= Now) {
        const std::size_t bytes = FVisits.front().Bytes;
        FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(bytes));
        FDroppedAtWait += static_cast<long long>(bytes);
        FVisits.pop_front();
    }
}

std::size_t TClosedWrites::Read(char *Into, std::size_t Capacity)
{
    std::size_t got = 0;
    while (got < Capacity && !FVisits.empty()) {
        TVisit &visit = FVisits.front();
        const std::size_t now = std::min(visit.Bytes, Capacity - got);
        std::copy_n(FBytes.begin(), now, Into + got);
        FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(now));
        got += now;
        visit.Bytes -= now;
        if (visit.Bytes == 0)
            FVisits.pop_front();
    }
    return got;
}

void TClosedWrites::Clear()
{
    FBytes.clear();
    FVisits.clear();
}
