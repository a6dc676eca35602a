#include "sim/BoardDevices.h"

namespace vsim
{

std::string SerialNumber(std::size_t index)
{
    std::string digits = std::to_string(index);
    if (digits.size() < kSerialDigits)
        digits.insert(0, kSerialDigits - digits.size(), '0');
    return kSerialPrefix + digits;
}

std::uint32_t LocationId(std::size_t index)
{
    return kLocationBase + static_cast<std::uint32_t>(index);
}

std::vector<std::string> DevicesFromVariable(const std::string &value)
{
    std::vector<std::string> devices;
    if (value.empty())
        return devices;
    std::size_t start = 0;
    for (std::size_t end; (end = value.find(';', start)) != std::string::npos; start = end + 1)
        devices.push_back(value.substr(start, end - start));
    devices.push_back(value.substr(start));
    return devices;
}

} // namespace vsim
