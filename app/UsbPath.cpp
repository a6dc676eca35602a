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
    // A channel's serial number is the chip's with the channel's letter.
    const std::optional<std::string> chipSerial = Attribute(device + "/serial");
    if (chipSerial && !chipSerial->empty() &&
        (!Serial || Serial->compare(0, chipSerial->size(), *chipSerial) != 0))
        return std::nullopt;
    return path;
}
