// Where a board is plugged in, as Linux names the place: "1-2.4" is port 4 of the hub at port 2
// of bus 1's root hub (lsusb -t, /sys/bus/usb/devices/1-2.4, udev's KERNELS=="1-2.4").
//
// It is read back from the location ID, which gives one hex digit a level (the bus, each port on
// the way, then the channel: 0x1241 is channel A at 1-2.4), and stands only when /sys agrees that
// an FTDI chip is there, with the board's serial number where it has one: a location ID formed
// otherwise, by another driver library or for a place too deep, gives none rather than a wrong
// place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

std::optional<std::string> UsbPath(std::uint32_t Location, const std::optional<std::string> &Serial,
                                   const std::string &SysFolder = "/sys");

// What /sys says of the chip at Path: its type, by its product ID and device release as FTDI
// numbers them ("FT2232H"; empty for one not known here), and the speed it runs at ("high speed,
// 480 Mbit/s"; empty when not said).
struct TUsbChip {
    std::string Type;
    std::string Speed;
};
TUsbChip UsbChip(const std::string &Path, const std::string &SysFolder = "/sys");
