#include "device/DeviceList.h"

#include "device/ShownText.h"

#include <algorithm>
#include <cstring>

using namespace d2xx;

namespace
{

// By index, the index itself travels in the pointer argument.
void *ByIndex(DWORD Index)
{
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(Index));
}

// A driver may fill the whole buffer and leave out the NUL.
template <std::size_t Size> std::string Text(const char (&Buffer)[Size])
{
    return std::string(Buffer, strnlen(Buffer, Size));
}

} // namespace

TDeviceEntry ListedDevice(const std::string &Description, std::optional<std::string> Serial,
                          std::optional<std::uint32_t> Location)
{
    TDeviceEntry entry;
    entry.Description = Description;
    entry.Serial = std::move(Serial);
    entry.Location = Location;
    const bool noSerial = !entry.Serial || entry.Serial->empty();
    if (Description.empty() && noSerial) {
        entry.Openable = false;
        entry.Reason = "listed without description or serial number";
        return entry;
    }
    // A device listed with its serial number was read; only one without carries a reason.
    const std::size_t open = Description.rfind(" (");
    if (entry.Serial && entry.Serial->empty() && open != std::string::npos && open > 0 &&
        Description.back() == ')' && Description.size() > open + 3) {
        entry.Openable = false;
        entry.Reason = Description.substr(open + 2, Description.size() - open - 3);
        entry.Description = Description.substr(0, open);
    }
    return entry;
}

bool ForEachDevice(const TD2xxTable &Table,
                   const std::function<void(DWORD Index, const std::string &Description)> &Each)
{
    if (!Table.FT_ListDevices)
        return true;
    DWORD count = 0;
    if (Table.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK)
        return true;
    for (DWORD index = 0; index < count; ++index) {
        char description[kDescriptionSize] = {};
        if (Table.FT_ListDevices(ByIndex(index), description,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK)
            return true;
        Each(index, Text(description));
    }
    return false;
}

bool ListDeviceEntries(const TD2xxTable &Table, std::vector<TDeviceEntry> &Entries)
{
    return ForEachDevice(Table, [&](DWORD Index, const std::string &Description) {
        std::optional<std::string> serial;
        char number[kSerialNumberSize] = {};
        if (Table.FT_ListDevices(ByIndex(Index), number,
                                 FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER) == FT_OK)
            serial = Text(number);
        std::optional<std::uint32_t> location;
        DWORD id = 0;
        if (Table.FT_ListDevices(ByIndex(Index), &id, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION) ==
            FT_OK)
            location = id;
        Entries.push_back(ListedDevice(Description, std::move(serial), location));
    });
}

std::vector<TDeviceEntry> WithDescription(const std::vector<TDeviceEntry> &Entries,
                                          const std::string &Description)
{
    std::vector<TDeviceEntry> found;
    std::copy_if(Entries.begin(), Entries.end(), std::back_inserter(found),
                 [&](const TDeviceEntry &Entry) { return Entry.Description == Description; });
    return found;
}

std::optional<TDeviceEntry> WithSerial(const std::vector<TDeviceEntry> &Entries,
                                       const std::string &Serial)
{
    const auto found = std::find_if(Entries.begin(), Entries.end(), [&](const TDeviceEntry &Entry) {
        return Entry.Serial && *Entry.Serial == Serial;
    });
    if (found == Entries.end())
        return std::nullopt;
    return *found;
}

namespace
{

std::optional<TDeviceEntry>
Named(const std::vector<TDeviceEntry> &Entries, const std::string &Given,
      const std::function<const std::string *(const TDeviceEntry &)> &Key)
{
    for (const bool shownForm : {true, false})
        for (const TDeviceEntry &entry : Entries)
            if (const std::string *key = Key(entry);
                key != nullptr && (shownForm ? shown::ShownText(*key) == Given : *key == Given))
                return entry;
    return std::nullopt;
}

} // namespace

std::optional<TDeviceEntry> NamedByDescription(const std::vector<TDeviceEntry> &Entries,
                                               const std::string &Given)
{
    return Named(Entries, Given, [](const TDeviceEntry &Entry) { return &Entry.Description; });
}

std::optional<TDeviceEntry> NamedBySerial(const std::vector<TDeviceEntry> &Entries,
                                          const std::string &Given)
{
    return Named(Entries, Given,
                 [](const TDeviceEntry &Entry) { return Entry.Serial ? &*Entry.Serial : nullptr; });
}
