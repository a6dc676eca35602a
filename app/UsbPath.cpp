#include "app/UsbPath.h"

#include <fstream>
#include <vector>

namespace
{

// The first line of a file under /sys; nothing when it cannot be read.
std::optional<std::string> Attribute(const std::string &Path)
{
    std::ifstream file(Path);
    std::string line;
    if (!file || !std::getline(file, line))
        return std::nullopt;
    return line;
}

} // namespace

std::optional<std::string> UsbPath(std::uint32_t Location, const std::optional<std::string> &Serial,
                                   const std::string &SysFolder)
{
    // The levels from the bus down; every one is 1 to 15, so a zero digit ends them.
    std::vector<unsigned> levels;
    for (std::uint32_t rest = Location; rest != 0; rest >>= 4) {
        if ((rest & 0xF) == 0)
            return std::nullopt;
        levels.insert(levels.begin(), rest & 0xF);
    }
    // The bus, at least one port, the channel.
    if (levels.size() < 3)
        return std::nullopt;
    std::string path = std::to_string(levels.front()) + "-";
    for (std::size_t level = 1; level + 1 < levels.size(); ++level)
        path += (level > 1 ? "." : "") + std::to_string(levels[level]);
    const std::string device = SysFolder + "/bus/usb/devices/" + path;
    if (Attribute(device + "/idVendor") != "0403")
        return std::nullopt;
    // A channel's serial number is the chip's with the channel's letter; a board the driver could
    // not read gives none to compare.
    const std::optional<std::string> chipSerial = Attribute(device + "/serial");
    if (chipSerial && !chipSerial->empty() && Serial && !Serial->empty() &&
        Serial->compare(0, chipSerial->size(), *chipSerial) != 0)
        return std::nullopt;
    return path;
}

TUsbChip UsbChip(const std::string &Path, const std::string &SysFolder)
{
    const std::string device = SysFolder + "/bus/usb/devices/" + Path;
    struct TKnown {
        const char *Product;
        const char *Release;
        const char *Type;
    };
    static constexpr TKnown kKnown[] = {{"6010", "0500", "FT2232C/D"},
                                        {"6010", "0700", "FT2232H"},
                                        {"6011", "0800", "FT4232H"},
                                        {"6014", "0900", "FT232H"}};
    TUsbChip chip;
    const std::optional<std::string> product = Attribute(device + "/idProduct");
    const std::optional<std::string> release = Attribute(device + "/bcdDevice");
    for (const TKnown &known : kKnown)
        if (product == known.Product && release == known.Release)
            chip.Type = known.Type;
    const std::optional<std::string> speed = Attribute(device + "/speed");
    if (speed == "480")
        chip.Speed = "high speed, 480 Mbit/s";
    else if (speed == "12")
        chip.Speed = "full speed, 12 Mbit/s";
    else if (speed && !speed->empty())
        chip.Speed = *speed + " Mbit/s";
    return chip;
}
