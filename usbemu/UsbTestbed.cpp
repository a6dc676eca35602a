#include "usbemu/UsbTestbed.h"

#include "usbemu/DeviceNode.h"

#include <umockdev.h>

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
        const std::string path = "/sys/devices/usb" + std::to_string(i + 1);
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
    auto chip = std::make_shared<TFtdiChip>(Type, Serial);
    const TChipModel &model = chip->Model();
    const unsigned bus = static_cast<unsigned>(FDevices.size() + 1);
    char busText[4];
    std::snprintf(busText, sizeof busText, "%03u", bus);
    const std::string node = std::string("/dev/bus/usb/") + busText + "/001";

    auto device = std::make_unique<TDeviceNode>(chip);
    // The handler first: libusb may open the node the moment the device appears.
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(FTestbed, node.c_str(), device->Handler(), &error)) {
        const std::string message = error != nullptr ? error->message : "attach_ioctl failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    std::string record = "P: /devices/usb" + std::to_string(bus) + "\n";
    record += "N: bus/usb/" + std::string(busText) + "/001\n";
    record += "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: DEVTYPE=usb_device\n";
    record += "E: BUSNUM=" + std::string(busText) + "\nE: DEVNUM=001\n";
    record += "E: DEVNAME=" + node + "\n";
    record += "A: idVendor=" + Hex4(kFtdiVendorId) + "\\n\n";
    record += "A: idProduct=" + Hex4(model.ProductId) + "\\n\n";
    record += "A: bcdDevice=" + Hex4(model.BcdDevice) + "\\n\n";
    record += "A: manufacturer=" + std::string(kManufacturer) + "\\n\n";
    record += "A: product=" + std::string(model.Product) + "\\n\n";
    if (!Serial.empty())
        record += "A: serial=" + Serial + "\\n\n";
    record += "A: speed=" + std::string(model.HighSpeed ? "480" : "12") + "\\n\n";
    record += "A: bConfigurationValue=1\\n\n";
    record += "A: bNumInterfaces=" + std::to_string(model.Channels) + "\\n\n";
    record += "A: busnum=" + std::to_string(bus) + "\\n\n";
    record += "A: devnum=1\\n\n";
    record += "H: descriptors=" + Hex(Descriptors(model, !Serial.empty())) + "\n";
    if (!umockdev_testbed_add_from_string(FTestbed, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    FDevices.push_back(std::move(device));
    return chip;
}

} // namespace usbemu
