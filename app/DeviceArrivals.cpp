#include "app/DeviceArrivals.h"

#include <QSocketNotifier>

#include <libudev.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr unsigned long kFtdiVendorId = 0x0403;

// The device's vendor ID, from its sysfs attribute or udev's property; 0 when neither says.
unsigned long VendorId(udev_device *Device)
{
    const char *text = udev_device_get_sysattr_value(Device, "idVendor");
    if (text == nullptr)
        text = udev_device_get_property_value(Device, "ID_VENDOR_ID");
    if (text == nullptr)
        return 0;
    char *end = nullptr;
    const unsigned long id = std::strtoul(text, &end, 16);
    return end != text ? id : 0;
}

bool IsArrival(udev_device *Device)
{
    const char *action = udev_device_get_action(Device);
    if (action == nullptr || (std::strcmp(action, "add") != 0 && std::strcmp(action, "bind") != 0))
        return false;
    return VendorId(Device) == kFtdiVendorId;
}

QString Failed(const char *What)
{
    return QStringLiteral("%1 failed: %2")
        .arg(QLatin1String(What), QString::fromLocal8Bit(std::strerror(errno)));
}
} // namespace

TDeviceArrivals::TDeviceArrivals(QObject *Parent) : QObject(Parent)
{
    errno = 0;
    FUdev = udev_new();
    if (FUdev == nullptr) {
        FProblem = Failed("udev_new");
        return;
    }
    udev_monitor *monitor = udev_monitor_new_from_netlink(FUdev, "udev");
    if (monitor == nullptr) {
        FProblem = Failed("udev_monitor_new_from_netlink");
        return;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        FProblem = Failed("udev_monitor_enable_receiving");
        udev_monitor_unref(monitor);
        return;
    }
    const int fd = udev_monitor_get_fd(monitor);
    if (fd < 0) {
        FProblem = QStringLiteral("the udev monitor has no socket");
        udev_monitor_unref(monitor);
        return;
    }
    FMonitor = monitor;
    FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TDeviceArrivals::Read);
}

TDeviceArrivals::~TDeviceArrivals()
{
    delete FNotifier;
    if (FMonitor != nullptr)
        udev_monitor_unref(FMonitor);
    if (FUdev != nullptr)
        udev_unref(FUdev);
}

void TDeviceArrivals::Read()
{
    // The socket is non-blocking: each event waiting is taken, then the notifier waits again.
    bool arrived = false;
    while (udev_device *device = udev_monitor_receive_device(FMonitor)) {
        arrived = arrived || IsArrival(device);
        udev_device_unref(device);
    }
    if (arrived)
        emit Arrived();
}
