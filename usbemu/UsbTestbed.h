// Emulated FTDI chips beneath the real libusb-1.0 and libftdi1, through umockdev.
//
// A TUsbTestbed owns a umockdev testbed: each chip added gets its sysfs entry (idVendor,
// idProduct, bcdDevice, strings, speed, bConfigurationValue, busnum/devnum and the descriptors
// file) and a /dev/bus/usb node whose usbdevfs ioctls are answered by the chip: submit, reap
// (blocking and not), discard, claim/release, capabilities; control transfers go to the chip's
// control endpoint (FtdiChip.h says what the chip does and what it does not do yet).
//
// The process must run under umockdev's preload (LD_PRELOAD=libumockdev-preload.so.0 or
// umockdev-wrapper) from its start; InMockEnvironment() tells whether it does.
//
// Each node's ioctls and how reaping waits: DeviceNode.h.
#pragma once

#include "usbemu/FtdiChip.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbemu
{

class TDeviceNode;

class TUsbTestbed
{
public:
    TUsbTestbed();
    ~TUsbTestbed();
    TUsbTestbed(const TUsbTestbed &) = delete;
    TUsbTestbed &operator=(const TUsbTestbed &) = delete;

    // True when the preload redirects /sys and /dev to this testbed.
    bool InMockEnvironment() const;

    // Where a chip is plugged in: a bus, and the port of each hub on the way from the bus's root
    // hub (1 to 15 each; {2, 4}: port 4 of the hub at the root hub's port 2, Linux's "1-2.4").
    struct TPlace {
        unsigned Bus = 0;
        std::vector<std::uint8_t> Ports;
    };

    // Plugs in a chip, each on a bus of its own (bus 1, 2, ...; device 1). An empty serial
    // number is a blank EEPROM's: the device has none.
    std::shared_ptr<TFtdiChip> AddChip(TChipType Type, const std::string &Serial = {});
    // Plugs in a chip at Place, behind the hubs its ports name; the root hub and the hubs are
    // added as the first chip behind them comes (and stay). An unplugged chip keeps its place in
    // the testbed (see Unplug): one plugged back goes to another place.
    std::shared_ptr<TFtdiChip> AddChip(TChipType Type, const std::string &Serial,
                                       const TPlace &Place);

    // Pulls a chip out: its pending transfers end as on a real unplug, its open descriptors
    // fail with ENODEV and the host no longer lists it. Plugging it back is AddChip again.
    void Unplug(const std::shared_ptr<TFtdiChip> &Chip);

    std::string SysDir() const;

private:
    // One device's record for the testbed: SysPath under /sys, its node's bus and device numbers.
    void AddRecord(const std::string &SysPath, unsigned Bus, unsigned Number,
                   const std::string &Attributes);
    // The next device number on Bus.
    unsigned NextNumber(unsigned Bus);

    UMockdevTestbed *FTestbed;
    std::vector<std::unique_ptr<TDeviceNode>> FDevices;
    // Each chip's path under /sys, as FDevices.
    std::vector<std::string> FPaths;
    // The hubs added, by their path under /sys; the device numbers given on each bus.
    std::set<std::string> FHubs;
    std::map<unsigned, unsigned> FNumbers;
};

} // namespace usbemu
