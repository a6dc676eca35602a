#include "usbemu/FtdiChipModel.h"

#include <stdexcept>

namespace usbemu
{

namespace
{

constexpr std::size_t kKiB = 1024;

const TChipModel kModels[] = {
    {TChipType::FT2232D, "FT2232D", 0x6010, 0x0500, "Dual RS232", 2, 1, false, 64, 8, 384, 128,
     false, false},
    {TChipType::FT2232H, "FT2232H", 0x6010, 0x0700, "Dual RS232-HS", 2, 2, true, 512, 64, 4 * kKiB,
     4 * kKiB, true, true},
    {TChipType::FT4232H, "FT4232H", 0x6011, 0x0800, "Quad RS232-HS", 4, 2, true, 512, 64, 2 * kKiB,
     2 * kKiB, true, false},
    {TChipType::FT232H, "FT232H", 0x6014, 0x0900, "Single RS232-HS", 1, 1, true, 512, 64, 1 * kKiB,
     1 * kKiB, true, true},
};

constexpr std::uint8_t kDeviceDescriptorType = 1;
constexpr std::uint8_t kConfigDescriptorType = 2;
constexpr std::uint8_t kStringDescriptorType = 3;
constexpr std::uint8_t kInterfaceDescriptorType = 4;
constexpr std::uint8_t kEndpointDescriptorType = 5;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kBusPowered = 0x80;
constexpr std::uint8_t kMaxPower100mA = 50; // in 2 mA units

void Put16(std::vector<std::uint8_t> &Out, std::uint16_t Value)
{
    Out.push_back(static_cast<std::uint8_t>(Value & 0xFF));
    Out.push_back(static_cast<std::uint8_t>(Value >> 8));
}

} // namespace

const TChipModel &Model(TChipType Type)
{
    for (const TChipModel &model : kModels) {
        if (model.Type == Type)
            return model;
    }
    throw std::invalid_argument("unknown chip type");
}

const std::vector<TChipType> &AllChipTypes()
{
    static const std::vector<TChipType> types{TChipType::FT2232D, TChipType::FT2232H,
                                              TChipType::FT4232H, TChipType::FT232H};
    return types;
}

std::vector<std::uint8_t> DeviceDescriptor(const TChipModel &Model, bool HasSerial)
{
    std::vector<std::uint8_t> d{18, kDeviceDescriptorType};
    Put16(d, 0x0200); // bcdUSB: all four are USB 2.0 parts, the FT2232D at full speed
    d.push_back(0);   // class per interface
    d.push_back(0);
    d.push_back(0);
    d.push_back(Model.Ep0Packet);
    Put16(d, kFtdiVendorId);
    Put16(d, Model.ProductId);
    Put16(d, Model.BcdDevice);
    d.push_back(kManufacturerIndex);
    d.push_back(kProductIndex);
    d.push_back(HasSerial ? kSerialIndex : 0);
    d.push_back(1); // one configuration
    return d;
}

std::vector<std::uint8_t> ConfigDescriptor(const TChipModel &Model)
{
    constexpr std::uint8_t kConfigLength = 9, kInterfaceLength = 9, kEndpointLength = 7;
    const auto total = static_cast<std::uint16_t>(
        kConfigLength + Model.Channels * (kInterfaceLength + 2 * kEndpointLength));
    std::vector<std::uint8_t> d{kConfigLength, kConfigDescriptorType};
    Put16(d, total);
    d.push_back(static_cast<std::uint8_t>(Model.Channels));
    d.push_back(1); // bConfigurationValue
    d.push_back(0);
    d.push_back(kBusPowered);
    d.push_back(kMaxPower100mA);
    for (unsigned i = 0; i < Model.Channels; ++i) {
        d.insert(d.end(), {kInterfaceLength, kInterfaceDescriptorType, static_cast<std::uint8_t>(i),
                           0, 2, kVendorClass, kVendorClass, kVendorClass, kProductIndex});
        for (const std::uint8_t address : {InEndpoint(i), OutEndpoint(i)}) {
            d.insert(d.end(), {kEndpointLength, kEndpointDescriptorType, address, kBulk});
            Put16(d, Model.MaxPacket);
            d.push_back(0);
        }
    }
    return d;
}

std::vector<std::uint8_t> Descriptors(const TChipModel &Model, bool HasSerial)
{
    std::vector<std::uint8_t> all = DeviceDescriptor(Model, HasSerial);
    const std::vector<std::uint8_t> config = ConfigDescriptor(Model);
    all.insert(all.end(), config.begin(), config.end());
    return all;
}

std::vector<std::uint8_t> StringDescriptor(const std::string &Text)
{
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * Text.size()),
                                kStringDescriptorType};
    for (const char c : Text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

} // namespace usbemu
