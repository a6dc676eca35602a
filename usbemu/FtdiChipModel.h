// What each emulated FTDI chip is at the USB level: identity, speed, channels and buffer sizes,
// as the chips' datasheets give them, and the descriptors built from that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbemu
{

enum class TChipType { FT2232D, FT2232H, FT4232H, FT232H };

constexpr std::uint16_t kFtdiVendorId = 0x0403;

struct TChipModel {
    TChipType Type;
    const char *Name;
    std::uint16_t ProductId;
    std::uint16_t BcdDevice; // how libftdi1 tells the chip types apart
    const char *Product;     // the product string of a chip with a blank EEPROM
    unsigned Channels;
    unsigned MpsseChannels; // channels A.. that have an MPSSE engine
    bool HighSpeed;
    std::uint16_t MaxPacket;   // bulk endpoints
    std::uint8_t Ep0Packet;    // bMaxPacketSize0
    std::size_t FromHostBytes; // per channel
    std::size_t ToHostBytes;   // per channel
    bool DivideByFive;         // the 60 MHz master clock with its divide-by-5 (H series)
    bool SyncFifoOnA;          // 245 synchronous FIFO mode
};

// FT2232D: full speed, 384 bytes from the host and 128 to it per channel, MPSSE on A only.
// FT2232H: 4 KiB each way per channel, MPSSE on A and B. FT4232H: 2 KiB, MPSSE on A and B.
// FT232H: 1 KiB each way.
const TChipModel &Model(TChipType Type);
const std::vector<TChipType> &AllChipTypes();

inline constexpr const char *kManufacturer = "FTDI";

// Endpoints of channel `Index` (0 = A): IN 0x81, 0x83, ...; OUT 0x02, 0x04, ...
constexpr std::uint8_t InEndpoint(unsigned Index)
{
    return static_cast<std::uint8_t>(0x81 + 2 * Index);
}
constexpr std::uint8_t OutEndpoint(unsigned Index)
{
    return static_cast<std::uint8_t>(0x02 + 2 * Index);
}

// String descriptor indexes.
constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;

// The device descriptor followed by the configuration descriptor with its interfaces and
// endpoints, as sysfs's "descriptors" file holds them. `HasSerial` is false for a blank EEPROM.
std::vector<std::uint8_t> Descriptors(const TChipModel &Model, bool HasSerial);
std::vector<std::uint8_t> DeviceDescriptor(const TChipModel &Model, bool HasSerial);
std::vector<std::uint8_t> ConfigDescriptor(const TChipModel &Model);
// A string descriptor (UTF-16LE) for plain ASCII text.
std::vector<std::uint8_t> StringDescriptor(const std::string &Text);

} // namespace usbemu
