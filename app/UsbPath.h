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
