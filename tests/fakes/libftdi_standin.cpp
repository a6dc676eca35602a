// The libftdi1 calls that ftdi/ makes, with libftdi1's own signatures and types (its public
// header ftdi.h), for the test build of libftd2xx-ftdi1.so: no board is attached here. Their USB
// side is the simulator's chip model from sim/, the very code the simulated libftd2xx.so runs,
// so the simulator's fault switches (vsim_*) act on it too.
//
// The bus. The simulator's device list stands for USB chips of FTDI's vendor id: descriptions
// "P A", "P B", ... make one multi-channel chip with product string "P" (an FT4232H, 0x6011,
// when one of them ends in C or D, else an FT2232H, 0x6010); any other description is an FT232H
// (0x6014) with that product string. Opening channel X of chip "P" opens the simulated device
// "P X"; opening an FT232H opens the device of its product string.
//
// Transfers as libftdi1 makes them. A read returns what the chip holds, after one latency period
// when it holds nothing (the chip sends its status packet when the latency timer runs out). A
// write loops until the chip has taken everything or usb_write_timeout has passed; a write that
// took nothing in that time fails with -1, as libftdi1 fails a timed-out transfer. A real chip
// takes a USB packet whole or not at all, but the simulator's byte-counting faults (short
// writes, the write budget) can cut one: the part taken is then returned as the count, so the
// cut reaches the driver as it does through the simulator's own entry points. The transfer
// timeouts go to the simulated chip before each write, where vsim_GetChipState shows them.
#include "device/D2xx.h"
#include "sim/MpsseChip.h"
#include "sim/Settings.h"

#include <ftdi.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// libusb's opaque types, as this stand-in's bus has them.
struct libusb_device {
    int product = 0;
    std::string name;
};
struct libusb_device_handle {
    std::shared_ptr<vsim::Chip> chip;
    unsigned char latencyMs = vsim::kDefaultLatencyMs;
};

namespace
{

using vsim::Settings;

constexpr int kVendor = 0x0403;
constexpr int kDefaultUsbTimeoutMs = 5000;
constexpr unsigned kHighSpeedPacket = 512;
constexpr int kUnavailable = -666; // libftdi1's "USB device unavailable"

struct Chip {
    int product = 0x6014;
    std::string name;
};

// A description "P X" with X a channel letter: the chip's name P and the channel's index.
bool SplitChannel(const std::string &description, std::string &name, int &index)
{
    const std::size_t size = description.size();
    if (size < 3 || description[size - 2] != ' ' || description[size - 1] < 'A' ||
        description[size - 1] > 'D')
        return false;
    name = description.substr(0, size - 2);
    index = description[size - 1] - 'A';
    return true;
}

std::vector<Chip> Bus()
{
    std::vector<Chip> chips;
    for (const std::string &description : Settings::Instance().ListedDevices()) {
        std::string name = description;
        int index = 0;
        const bool channel = SplitChannel(description, name, index);
        auto found = std::find_if(chips.begin(), chips.end(), [&](const Chip &chip) {
            return chip.product != 0x6014 && chip.name == name;
        });
        if (!channel || found == chips.end()) {
            chips.push_back({channel ? 0x6010 : 0x6014, name});
            found = chips.end() - 1;
        }
        if (channel && index >= 2)
            found->product = 0x6011;
    }
    return chips;
}

vsim::Chip *Open(ftdi_context *ftdi)
{
    return ftdi != nullptr && ftdi->usb_dev != nullptr ? ftdi->usb_dev->chip.get() : nullptr;
}

int Fail(ftdi_context *ftdi, int code, const char *why)
{
    ftdi->error_str = why;
    return code;
}

} // namespace

ftdi_context *ftdi_new(void)
{
    auto *ftdi = new ftdi_context{};
    ftdi->usb_read_timeout = kDefaultUsbTimeoutMs;
    ftdi->usb_write_timeout = kDefaultUsbTimeoutMs;
    ftdi->index = INTERFACE_A;
    return ftdi;
}

void ftdi_free(ftdi_context *ftdi)
{
    if (ftdi == nullptr)
        return;
    ftdi_usb_close(ftdi);
    delete ftdi;
}

int ftdi_set_interface(ftdi_context *ftdi, enum ftdi_interface interface)
{
    if (ftdi->usb_dev != nullptr)
        return Fail(ftdi, -3, "Interface can not be changed on an already open device");
    ftdi->index = interface == INTERFACE_ANY ? INTERFACE_A : interface;
    ftdi->interface = ftdi->index - INTERFACE_A;
    return 0;
}

int ftdi_usb_find_all(ftdi_context *, ftdi_device_list **devlist, int vendor, int product)
{
    int count = 0;
    ftdi_device_list **tail = devlist;
    *devlist = nullptr;
    for (const Chip &chip : Bus()) {
        if (vendor != kVendor || chip.product != product)
            continue;
        *tail = new ftdi_device_list{nullptr, new libusb_device{chip.product, chip.name}};
        tail = &(*tail)->next;
        ++count;
    }
    return count;
}

void ftdi_list_free(ftdi_device_list **devlist)
{
    while (*devlist != nullptr) {
        ftdi_device_list *next = (*devlist)->next;
        delete (*devlist)->dev;
        delete *devlist;
        *devlist = next;
    }
}

int ftdi_usb_get_strings(ftdi_context *, libusb_device *dev, char *manufacturer, int mnf_len,
                         char *description, int desc_len, char *serial, int serial_len)
{
    auto copy = [](const std::string &text, char *to, int size) {
        if (to == nullptr || size <= 0)
            return;
        const std::size_t length = std::min(text.size(), static_cast<std::size_t>(size - 1));
        text.copy(to, length);
        to[length] = '\0';
    };
    copy("FTDI", manufacturer, mnf_len);
    copy(dev->name, description, desc_len);
    copy("", serial, serial_len);
    return 0;
}

int ftdi_usb_open_dev(ftdi_context *ftdi, libusb_device *dev)
{
    std::string key = dev->name;
    if (dev->product != 0x6014)
        key += std::string(" ") + static_cast<char>('A' + ftdi->interface);
    std::shared_ptr<vsim::Chip> chip;
    const d2xx::FT_STATUS status = Settings::Instance().Open(key, false, chip);
    if (status == d2xx::FT_DEVICE_NOT_OPENED)
        return Fail(ftdi, -5, "unable to claim usb device");
    if (status != d2xx::FT_OK)
        return Fail(ftdi, -4, "usb_open() failed");
    ftdi->usb_dev = new libusb_device_handle{chip};
    ftdi->type = dev->product == 0x6014   ? TYPE_232H
                 : dev->product == 0x6011 ? TYPE_4232H
                                          : TYPE_2232H;
    ftdi->max_packet_size = kHighSpeedPacket;
    return 0;
}

int ftdi_usb_close(ftdi_context *ftdi)
{
    if (ftdi->usb_dev == nullptr)
        return 0;
    const std::unique_ptr<libusb_device_handle> handle(ftdi->usb_dev);
    ftdi->usb_dev = nullptr;
    Settings::Instance().Remove(handle->chip.get());
    handle->chip->MarkClosed();
    // Releasing the interface of a chip that is gone fails.
    return Settings::Instance().ForCall().unplugged ? Fail(ftdi, -1, "usb_release failed") : 0;
}

int ftdi_set_latency_timer(ftdi_context *ftdi, unsigned char latency)
{
    if (latency < 1)
        return Fail(ftdi, -1, "latency out of range. Only valid for 1-255");
    vsim::Chip *chip = Open(ftdi);
    if (chip == nullptr)
        return Fail(ftdi, -3, "USB device unavailable");
    if (chip->SetLatencyTimer(latency) != d2xx::FT_OK)
        return Fail(ftdi, -2, "unable to set latency timer");
    ftdi->usb_dev->latencyMs = latency;
    return 0;
}

int ftdi_set_bitmode(ftdi_context *ftdi, unsigned char bitmask, unsigned char mode)
{
    vsim::Chip *chip = Open(ftdi);
    if (chip == nullptr)
        return Fail(ftdi, -2, "USB device unavailable");
    if (chip->SetBitMode(bitmask, mode) != d2xx::FT_OK)
        return Fail(ftdi, -1,
                    "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?");
    return 0;
}

int ftdi_read_data(ftdi_context *ftdi, unsigned char *buf, int size)
{
    vsim::Chip *chip = Open(ftdi);
    if (chip == nullptr)
        return Fail(ftdi, kUnavailable, "USB device unavailable");
    d2xx::DWORD held = 0;
    d2xx::DWORD queued = 0;
    if (chip->GetStatus(held, queued) != d2xx::FT_OK)
        return Fail(ftdi, -1, "usb bulk read failed");
    if (held == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ftdi->usb_dev->latencyMs));
        if (chip->GetStatus(held, queued) != d2xx::FT_OK)
            return Fail(ftdi, -1, "usb bulk read failed");
    }
    const std::size_t wanted = std::min<std::size_t>(held, static_cast<std::size_t>(size));
    d2xx::DWORD got = 0;
    if (wanted > 0 && chip->Read(buf, wanted, got) != d2xx::FT_OK)
        return Fail(ftdi, -1, "usb bulk read failed");
    return static_cast<int>(got);
}

int ftdi_write_data(ftdi_context *ftdi, const unsigned char *buf, int size)
{
    using Clock = std::chrono::steady_clock;
    vsim::Chip *chip = Open(ftdi);
    if (chip == nullptr)
        return Fail(ftdi, kUnavailable, "USB device unavailable");
    const int timeout = ftdi->usb_write_timeout;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    int offset = 0;
    int waitMs = timeout;
    while (offset < size) {
        chip->SetTimeouts(static_cast<d2xx::ULONG>(ftdi->usb_read_timeout),
                          static_cast<d2xx::ULONG>(waitMs));
        d2xx::DWORD taken = 0;
        if (chip->Write(buf + offset, static_cast<std::size_t>(size - offset), taken) !=
            d2xx::FT_OK)
            return Fail(ftdi, -1, "usb bulk write failed");
        offset += static_cast<int>(taken);
        if (timeout == 0 || offset == size)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        waitMs = static_cast<int>(left.count());
    }
    return offset > 0 || size == 0 ? offset : Fail(ftdi, -1, "usb bulk write failed");
}
