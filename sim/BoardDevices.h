// The devices on the simulated board as the driver names them: their descriptions, serial numbers
// and location IDs, and the variable that attaches them when the library is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vsim
{

inline constexpr const char *kDefaultDescription = "SSC Simulator";
// Serial numbers are this prefix and the device's index in three digits: SIM000, SIM001, ...
inline constexpr const char *kSerialPrefix = "SIM";
constexpr std::size_t kSerialDigits = 3;
// Location IDs as FT_ListDevices gives them: this base and the device's index (bus 1, ports 1, 2,
// ...).
constexpr std::uint32_t kLocationBase = 0x11;
// The devices attached at load and after vsim_Reset, when this variable is set: descriptions
// separated by ';' (two boards of one description: "SSC Simulator;SSC Simulator"). A program
// started by a test gets its bench this way.
inline constexpr const char *kDevicesVariable = "VSIM_DEVICES";
// Set to 1 as the library is loaded: the devices' streams never carry the pattern, as after
// vsim_SetNoPattern(1), also after vsim_Reset; for a program started by a test.
inline constexpr const char *kNoPatternVariable = "VSIM_NO_PATTERN";

// The serial number and the location ID of the device at `index` in the list.
std::string SerialNumber(std::size_t index);
std::uint32_t LocationId(std::size_t index);
// The descriptions in a VSIM_DEVICES value; an empty value is no device at all.
std::vector<std::string> DevicesFromVariable(const std::string &value);

} // namespace vsim
