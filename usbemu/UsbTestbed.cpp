#include "usbemu/UsbTestbed.h"

#include "usbemu/DeviceNode.h"

#include <umockdev.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace usbemu
{

namespace
{

std::string Hex(const std::vector<std::uint8_t> &Bytes)
{
    std::string text;
    char pair[3];
    for (const std::uint8_t b : Bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

std::string Hex4(std::uint16_t Value)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04x", Value);
    return text;
}

} // namespace

TUsbTestbed::TUsbTestbed() : FTestbed(umockdev_testbed_new()) {}

TUsbTestbed::~TUsbTestbed()
{
    FDevices.clear();
    g_object_unref(FTestbed);
}

bool TUsbTestbed::InMockEnvironment() const
{
    return umockdev_in_mock_environment() != FALSE;
}

void TUsbTestbed::Unplug(const std::shared_ptr<TFtdiChip> &Chip)
{
    for (std::size_t i = 0; i < FDevices.size(); ++i) {
        if (FDevices[i]->Chip() != Chip)
            continue;
        // The device stays in the testbed: removing it would drop the node's ioctl channel, and
        // an ioctl of a descriptor still open would then never be answered. It is unplugged
        // for the host instead: every request fails with ENODEV, its descriptors cannot be read
        // (libusb leaves such a device out of its list), and udev says it went.
        FDevices[i]->Unplug();
        const std::string &path = FPaths[i];
        umockdev_testbed_set_attribute_binary(FTestbed, path.c_str(), "descriptors", nullptr, 0);
        umockdev_testbed_uevent(FTestbed, path.c_str(), "remove");
    }
}

std::string TUsbTestbed::SysDir() const
{
    gchar *dir = umockdev_testbed_get_sys_dir(FTestbed);
    std::string text = dir;
    g_free(dir);
    return text;
}

std::shared_ptr<TFtdiChip> TUsbTestbed::AddChip(TChipType Type, const std::string &Serial)
{
    // A bus of its own, after every bus in use.
    const unsigned bus = std::max<unsigned>(unsigned(FDevices.size()),
                                            FNumbers.empty() ? 0 : FNumbers.rbegin()->first) +
                         1;
    return AddChip(Type, Serial, TPlace{bus, {}});
}

std::shared_ptr<TFtdiChip> TUsbTestbed::AddChip(TChipType Type, const std::string &Serial,
                                                const TPlace &Place)
{
    // The root hub is the chip itself when no hub is on the way, as the plain AddChip has it;
    // else a hub at each level, Linux's names: usb1, 1-2, 1-2.4.
    std::string path = "/sys/devices/usb" + std::to_string(Place.Bus);
    std::string name = std::to_string(Place.Bus);
    for (std::size_t level = 0; level <= Place.Ports.size(); ++level) {
        if (level > 0) {
            name += (level == 1 ? "-" : ".") + std::to_string(Place.Ports[level - 1]);
            path += "/" + name;
        }
        if (level == Place.Ports.size() || FHubs.count(path))
            continue;
        FHubs.insert(path);
        // A hub of USB 2.0: its device descriptor, one configuration, one interface and its
        // interrupt endpoint. The host never opens it.
        const std::vector<std::uint8_t> hub{
            18, 1, 0x00, 0x02, 9, 0,  1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0,
            0,  0, 1,    9,    2, 25, 0, 1,  1,    0,    0xe0, 0,    9,    4,    0,
            0,  1, 9,    0,    0, 0,  7, 5,  0x81, 3,    1,    0,    12};
        AddRecord(path, Place.Bus, NextNumber(Place.Bus),
                  "A: idVendor=1d6b\\n\nA: idProduct=0002\\n\nA: bDeviceClass=09\\n\n"
                  "A: speed=480\\n\nA: bConfigurationValue=1\\n\nA: bNumInterfaces=1\\n\n"
                  "H: descriptors=" +
                      Hex(hub) + "\n");
    }

    auto chip = std::make_shared<TFtdiChip>(Type, Serial);
    const TChipModel &model = chip->Model();
    const unsigned number = NextNumber(Place.Bus);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", Place.Bus, number);
    auto device = std::make_unique<TDeviceNode>(chip);
    // The handler first: libusb may open the node the moment the device appears.
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(FTestbed, node, device->Handler(), &error)) {
        const std::string message = error != nullptr ? error->message : "attach_ioctl failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    std::string attributes;
    attributes += "A: idVendor=" + Hex4(kFtdiVendorId) + "\\n\n";
    attributes += "A: idProduct=" + Hex4(model.ProductId) + "\\n\n";
    attributes += "A: bcdDevice=" + Hex4(model.BcdDevice) + "\\n\n";
    attributes += "A: manufacturer=" + std::string(kManufacturer) + "\\n\n";
    attributes += "A: product=" + std::string(model.Product) + "\\n\n";
    if (!Serial.empty())
        attributes += "A: serial=" + Serial + "\\n\n";
    attributes += "A: speed=" + std::string(model.HighSpeed ? "480" : "12") + "\\n\n";
    attributes += "A: bConfigurationValue=1\\n\n";
    attributes += "A: bNumInterfaces=" + std::to_string(model.Channels) + "\\n\n";
    attributes += "H: descriptors=" + Hex(Descriptors(model, !Serial.empty())) + "\n";
    AddRecord(path, Place.Bus, number, attributes);
    FDevices.push_back(std::move(device));
    FPaths.push_back(path);
    return chip;
}

unsigned TUsbTestbed::NextNumber(unsigned Bus)
{
    return ++FNumbers[Bus];
}

void TUsbTestbed::AddRecord(const std::string &SysPath, unsigned Bus, unsigned Number,
                            const std::string &Attributes)
{
    char numbers[16];
    std::snprintf(numbers, sizeof numbers, "%03u/%03u", Bus, Number);
    std::string record = "P: " + SysPath.substr(std::string("/sys").size()) + "\n";
    record += "N: bus/usb/" + std::string(numbers) + "\n";
    record += "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: DEVTYPE=usb_device\n";
    record +=
        "E: BUSNUM=" + std::string(numbers, 3) + "\nE: DEVNUM=" + std::string(numbers + 4) + "\n";
    record += "E: DEVNAME=/dev/bus/usb/" + std::string(numbers) + "\n";
    record += "A: busnum=" + std::to_string(Bus) + "\\n\n";
    record += "A: devnum=" + std::to_string(Number) + "\\n\n";
    record += Attributes;
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(FTestbed, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
}

} // namespace usbemu
