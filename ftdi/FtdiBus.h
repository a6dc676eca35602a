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
// says where the chip is plugged in (LocationId below).
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <span>
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

// A channel's location ID, formed as FTDI's driver forms it from the chip's place on the bus: one
// hex digit a level, the bus first, then each port on the way from the root hub down to the chip
// (libusb_get_port_numbers), then the channel's number from 1 (A = 1). Channel B of a chip on
// port 4 of a hub on root port 2 of bus 1 is 0x1242; channel A of a chip on root port 3 of bus 2
// is 0x231. No digit is ever 0 (buses, ports and channels count from 1), so every place has an ID
// of its own: chips behind different ports of one hub differ in that port's digit, and a longer
// path has more digits.
//
// A bus or port above 15, or a path deeper than six ports, does not fit one digit a level, and a
// number must never spill into its neighbour's digit: such a chip gets 0xBB00AA0C instead, its
// bus BB and its address AA on that bus a byte each, and the channel C. The 0 digits below its
// bus tell it from every ID of the first form, and no two chips attached at the same time share
// a bus and an address; unlike a path, though, the address may change when the chip is plugged
// in again.
std::uint32_t LocationId(unsigned Bus, std::span<const std::uint8_t> Ports, unsigned Address,
                         unsigned Channel);

// Every MPSSE channel attached now. False when libftdi1 cannot look at the bus at all.
bool ListChannels(std::vector<TChannel> &Channels);

// Opens `Channel` in a context of its own; libftdi1 detaches the kernel's ftdi_sio from it, and
// when ftdi_sio had the channel, libusb gives it back when the context is closed. nullptr when
// the chip is gone or cannot be claimed; `Why` then says why, in libftdi1's words.
ftdi_context *OpenChannel(const TChannel &Channel, std::string &Why);

} // namespace ftdi1
