// The FTDI chips with an MPSSE engine that libftdi1 sees on the USB bus, as D2XX lists them.
//
// D2XX names a channel by the chip's USB product string; a chip with more than one channel gets
// " A", " B", ... appended, one entry a channel. Only channels with an MPSSE engine are listed:
// both of an FT2232C/D or FT2232H, the first two of an FT4232H, the one of an FT232H. The list
// is taken afresh on every call, in the order of the products below and, within one product, in
// libusb's order of the chips.
#pragma once

#include <ftdi.h>

#include <string>
#include <vector>

namespace ftdi1
{

constexpr int kFtdiVendor = 0x0403;

// One channel as FT_ListDevices shows it.
struct Channel {
    int product = 0;      // USB product id
    std::size_t chip = 0; // position among ftdi_usb_find_all's chips of that product
    ftdi_interface port = INTERFACE_ANY;
    std::string description;
};

// Every MPSSE channel attached now. A chip whose product string cannot be read (no access) is
// left out. False when libftdi1 cannot look at the bus at all.
bool ListChannels(std::vector<Channel> &channels);

// Opens `channel` in a context of its own; libftdi1 detaches the kernel's ftdi_sio from it.
// nullptr when the chip is gone or cannot be claimed.
ftdi_context *OpenChannel(const Channel &channel);

} // namespace ftdi1
