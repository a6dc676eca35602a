#include "ftdi/FtdiBus.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <memory>

namespace ftdi1
{

namespace
{

// The chips with an MPSSE engine, by product id, and how many of their channels have one. The
// FT2232C/D shares 0x6010 with the FT2232H.
struct TProduct {
    int Id;
    int Channels;
    int MpsseChannels;
};
constexpr std::array kProducts = {TProduct{0x6010, 2, 2}, TProduct{0x6011, 4, 2},
                                  TProduct{0x6014, 1, 1}};
// The FT2232C/D (release below 7.00) has its MPSSE engine on channel A only.
constexpr int kFt2232hRelease = 0x0700;

int MpsseChannels(const TProduct &Product, int Release)
{
    return Product.Id == 0x6010 && Release < kFt2232hRelease ? 1 : Product.MpsseChannels;
}

// The longest port path USB allows, and so libusb_get_port_numbers.
constexpr std::size_t kMaxPortDepth = 7;

// USB string descriptors hold at most 126 characters.
constexpr int kProductStringSize = 128;

struct TContextFree {
    void operator()(ftdi_context *Context) const { ftdi_free(Context); }
};
using TContext = std::unique_ptr<ftdi_context, TContextFree>;

struct TListFree {
    void operator()(ftdi_device_list *List) const { ftdi_list_free(&List); }
};
using TDeviceList = std::unique_ptr<ftdi_device_list, TListFree>;

// The chips of one product; nothing on failure.
TDeviceList FindAll(ftdi_context *Context, int Product, bool &Ok)
{
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(Context, &list, kFtdiVendor, Product) < 0) {
        Ok = false;
        return nullptr;
    }
    return TDeviceList(list);
}

ftdi_interface Port(int Index)
{
    return static_cast<ftdi_interface>(INTERFACE_A + Index);
}

// The product string a chip has from the factory, by product id and release (bcdDevice).
std::string FactoryProduct(int Product, int Release)
{
    switch (Product) {
    case 0x6010:
        return Release >= kFt2232hRelease ? "Dual RS232-HS" : "Dual RS232";
    case 0x6011:
        return "Quad RS232-HS";
    default:
        return "Single RS232-HS";
    }
}

// Why a chip's strings could not be read, for the list: only a missing permission has a remedy
// the user can apply; anything else names libusb's error.
std::string Unreadable(libusb_device *Device)
{
    libusb_device_handle *handle = nullptr;
    const int result = libusb_open(Device, &handle);
    if (result == LIBUSB_SUCCESS) {
        libusb_close(handle);
        return "(unreadable)";
    }
    if (result == LIBUSB_ERROR_ACCESS)
        return std::string("(no permission: udev rule ") + kUdevRule + ")";
    return std::string("(") + libusb_error_name(result) + ")";
}

// The USB interface behind a channel.
int InterfaceNumber(ftdi_interface Port)
{
    return Port == INTERFACE_ANY ? 0 : Port - INTERFACE_A;
}

// Whether a kernel driver (ftdi_sio) has the channel's interface now.
bool KernelDriverHas(libusb_device *Device, int Interface)
{
    libusb_device_handle *handle = nullptr;
    if (libusb_open(Device, &handle) != LIBUSB_SUCCESS)
        return false;
    const bool active = libusb_kernel_driver_active(handle, Interface) == 1;
    libusb_close(handle);
    return active;
}

} // namespace

std::uint32_t LocationId(unsigned Bus, std::span<const std::uint8_t> Ports, unsigned Address,
                         unsigned Channel)
{
    constexpr std::size_t kDigits = 8;
    const auto digit = [](unsigned Level) { return Level >= 1 && Level <= 0xF; };
    const bool fits = digit(Bus) && digit(Channel) && Ports.size() + 2 <= kDigits &&
                      std::all_of(Ports.begin(), Ports.end(), digit);
    if (!fits)
        return (Bus & 0xFFu) << 24 | (Address & 0xFFu) << 8 | (Channel & 0xFu);
    std::uint32_t id = Bus;
    for (const std::uint8_t port : Ports)
        id = id << 4 | port;
    return id << 4 | Channel;
}

bool ListChannels(std::vector<TChannel> &Channels)
{
    Channels.clear();
    const TContext context(ftdi_new());
    if (!context)
        return false;
    bool ok = true;
    for (const TProduct &product : kProducts) {
        const TDeviceList list = FindAll(context.get(), product.Id, ok);
        std::size_t chip = 0;
        for (ftdi_device_list *entry = list.get(); entry != nullptr; entry = entry->next, ++chip) {
            libusb_device_descriptor descriptor{};
            libusb_get_device_descriptor(entry->dev, &descriptor);
            char name[kProductStringSize] = {};
            // A blank EEPROM gives no serial number, and libftdi1 fails a request for one.
            char serial[kProductStringSize] = {};
            const bool hasSerial = descriptor.iSerialNumber != 0;
            std::string reason;
            if (ftdi_usb_get_strings(context.get(), entry->dev, nullptr, 0, name, sizeof name,
                                     hasSerial ? serial : nullptr,
                                     hasSerial ? sizeof serial : 0) < 0) {
                const std::string factory = FactoryProduct(product.Id, descriptor.bcdDevice);
                factory.copy(name, sizeof name - 1);
                serial[0] = '\0';
                reason = Unreadable(entry->dev);
            }
            std::array<std::uint8_t, kMaxPortDepth> ports{};
            const int depth =
                libusb_get_port_numbers(entry->dev, ports.data(), static_cast<int>(ports.size()));
            const std::span<const std::uint8_t> path(ports.data(),
                                                     static_cast<std::size_t>(std::max(depth, 0)));
            for (int index = 0; index < MpsseChannels(product, descriptor.bcdDevice); ++index) {
                TChannel channel{product.Id,
                                 chip,
                                 INTERFACE_ANY,
                                 name,
                                 reason.empty(),
                                 serial,
                                 LocationId(libusb_get_bus_number(entry->dev), path,
                                            libusb_get_device_address(entry->dev),
                                            unsigned(index + 1))};
                if (product.Channels > 1) {
                    channel.Port = Port(index);
                    channel.Description += std::string(" ") + char('A' + index);
                    if (!channel.Serial.empty())
                        channel.Serial += char('A' + index);
                }
                if (!reason.empty())
                    channel.Description += " " + reason;
                Channels.push_back(std::move(channel));
            }
        }
    }
    return ok;
}

ftdi_context *OpenChannel(const TChannel &Channel, std::string &Why)
{
    TContext context(ftdi_new());
    if (!context || ftdi_set_interface(context.get(), Channel.Port) < 0) {
        Why = "out of memory";
        return nullptr;
    }
    bool ok = true;
    const TDeviceList list = FindAll(context.get(), Channel.Product, ok);
    ftdi_device_list *entry = list.get();
    for (std::size_t chip = 0; entry != nullptr && chip < Channel.Chip; ++chip)
        entry = entry->next;
    if (entry == nullptr) {
        Why = "the chip is gone";
        return nullptr;
    }
    // libusb gives the interface back to the kernel at release only in the re-attaching mode.
    context->module_detach_mode = KernelDriverHas(entry->dev, InterfaceNumber(Channel.Port))
                                      ? AUTO_DETACH_REATACH_SIO_MODULE
                                      : AUTO_DETACH_SIO_MODULE;
    if (ftdi_usb_open_dev(context.get(), entry->dev) < 0) {
        Why = ftdi_get_error_string(context.get());
        return nullptr;
    }
    return context.release();
}

} // namespace ftdi1
