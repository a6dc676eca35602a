// The open devices of a driver library of ours by handle, the address of each (a handle that is
// not in the set, closed or never opened, is never followed), and a device as the library lists
// it. Part of export/D2xxExport.h, apart so that a driver's own headers can use them without
// declaring the entry points.
#pragma once

#include "device/D2xx.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace d2xx::exports
{

// The open devices by handle.
template <typename TOpen> class THandles
{
public:
    void Add(const std::shared_ptr<TOpen> &open)
    {
        std::lock_guard lock(FMutex);
        FLive.emplace(open.get(), open);
    }
    std::shared_ptr<TOpen> Find(d2xx::FT_HANDLE handle)
    {
        std::lock_guard lock(FMutex);
        const auto found = FLive.find(handle);
        return found == FLive.end() ? nullptr : found->second;
    }
    std::shared_ptr<TOpen> Remove(d2xx::FT_HANDLE handle)
    {
        std::lock_guard lock(FMutex);
        const auto found = FLive.find(handle);
        if (found == FLive.end())
            return nullptr;
        std::shared_ptr<TOpen> open = std::move(found->second);
        FLive.erase(found);
        return open;
    }
    std::size_t Count()
    {
        std::lock_guard lock(FMutex);
        return FLive.size();
    }
    std::vector<std::shared_ptr<TOpen>> All()
    {
        std::lock_guard lock(FMutex);
        std::vector<std::shared_ptr<TOpen>> all;
        for (const auto &entry : FLive)
            all.push_back(entry.second);
        return all;
    }

private:
    std::mutex FMutex;
    std::map<const void *, std::shared_ptr<TOpen>> FLive;
};

// One device as FT_ListDevices shows it.
struct TListed {
    std::string Description;
    std::string Serial;
    std::uint32_t Location = 0;
};

} // namespace d2xx::exports
