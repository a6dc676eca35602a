// The FTDI chips with an MPSSE engine that libftdi1 sees on the USB bus, as D2XX lists them.
//
// D2XX names a channel by the chip's USB product string; a chip with more than one channel gets
// " A", " B", ... appended, one entry a channel. Only channels with an MPSSE engine are listed:
// channel A of an FT2232C/D, both of an FT2232H, the first two of an FT4232H, the one of an FT232H.
// The list is taken afresh on every call, in the order of the products below and, within one
// product, in libusb's order of the chips.
//
// A chip the user may not open (its device node's permissions) is still listed, under the
// product string its type has from the factory and with the reason and the udev rule that
// grants access appended in parentheses, and with no serial number, so that it does not silently
// go missing; opening it fails.
//
// Serial numbers are D2XX's: the chip's own with the channel's letter appended on a chip with more
// than one channel ("FT4XYZ" gives "FT4XYZA", "FT4XYZB"); empty for a chip with none. A location ID
// is the chip's USB bus number times 0x100, its port number on the hub times 0x10, and the
// channel's number from 1 (0x1021: bus 0x10, port 2, channel A).
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ftdi1
{

constexpr int kFtdiVendor = 0x0403;

// One channel as FT_ListDevices shows it.
struct TChannel {
    int Product = 0;      // USB product id
    std::size_t Chip = 0; // position among ftdi_usb_find_all's chips of that product
    ftdi_interface Port = INTERFACE_ANY;
    std::string Description;
    bool Accessible = true; // false: listed with the reason, cannot be opened
    std::string Serial;
    std::uint32_t Location = 0;
};

// The udev rule installed with the driver, named where access is missing.
constexpr const char *kUdevRule = "70-velmor-ssc.rules";

// Every MPSSE channel attached now. False when libftdi1 cannot look at the bus at all.
bool ListChannels(std::vector<TChannel> &Channels);

// Opens `Channel` in a context of its own; libftdi1 detaches the kernel's ftdi_sio from it, and
// when ftdi_sio had the channel, libusb gives it back when the context is closed. nullptr when
// the chip is gone or cannot be claimed; `Why` then says why, in libftdi1's words.
ftdi_context *OpenChannel(const TChannel &Channel, std::string &Why);

} // namespace ftdi1
