#include "usbemu/UsbTestbed.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace usbemu
{

namespace
{

constexpr std::size_t kSetupBytes = 8;
constexpr const char *kKernelDriver = "ftdi_sio";

std::string Hex(const std::vector<std::uint8_t> &bytes)
{
    std::string text;
    char pair[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

std::string Hex4(std::uint16_t value)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

} // namespace

// One emulated chip's device node: its usbdevfs handler and the timer that finishes transfers.
class UsbTestbed::Device
{
public:
    explicit Device(std::shared_ptr<FtdiChip> chip) : chip_(std::move(chip))
    {
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&Device::OnIoctl), this);
        timer_ = std::thread([this] { TimerLoop(); });
    }

    ~Device()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            for (Held &held : held_) {
                umockdev_ioctl_client_complete(held.client, -1, ENODEV);
                g_object_unref(held.client);
            }
            held_.clear();
            for (auto &[key, urb] : urbs_)
                Release(urb);
            for (Done &done : done_)
                Release(done.urb);
        }
        changed_.notify_all();
        timer_.join();
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
    }

    UMockdevIoctlBase *Handler() const { return handler_; }

    // The chip is pulled out: what was pending comes back with -ESHUTDOWN, as the kernel kills
    // a gone device's URBs, and from then on every request fails with ENODEV.
    void Unplug()
    {
        {
            std::lock_guard lock(mutex_);
            unplugged_ = true;
            for (auto &[key, urb] : urbs_) {
                std::optional<Finished> taken = chip_->Discard(key);
                done_.push_back(Done{urb, -ESHUTDOWN, taken ? taken->length : 0,
                                     taken ? std::move(taken->data) : std::vector<std::uint8_t>{}});
            }
            urbs_.clear();
        }
        changed_.notify_all();
    }
    const std::shared_ptr<FtdiChip> &Chip() const { return chip_; }

private:
    struct Urb {
        UMockdevIoctlData *data = nullptr;   // struct usbdevfs_urb
        UMockdevIoctlData *buffer = nullptr; // its buffer
        UMockdevIoctlClient *client = nullptr;
        bool in = false;
    };
    struct Done {
        Urb urb;
        int status = 0;
        std::size_t length = 0;
        std::vector<std::uint8_t> data;
    };
    struct Held {
        UMockdevIoctlClient *client;
    };

    static void Release(Urb &urb)
    {
        g_clear_object(&urb.data);
        g_clear_object(&urb.buffer);
    }

    static gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
    {
        return static_cast<Device *>(self)->Handle(client) ? TRUE : FALSE;
    }

    bool Handle(UMockdevIoctlClient *client)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        std::unique_lock lock(mutex_);
        if (unplugged_ && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return true;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            const guint32 value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData *number =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
            unsigned int interface = 0;
            std::memcpy(&interface, number->data, sizeof interface);
            g_object_unref(number);
            if (interface >= chip_->Model().channels)
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            else if (request == USBDEVFS_CLAIMINTERFACE && chip_->KernelDriver(interface))
                umockdev_ioctl_client_complete(client, -1, EBUSY);
            else
                umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        case USBDEVFS_GETDRIVER:
            GetDriver(client, arg);
            return true;
        case USBDEVFS_IOCTL:
            DriverIoctl(client, arg);
            return true;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        case USBDEVFS_SUBMITURB:
            Submit(client, arg);
            break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Collect(Clock::now());
            Reap(client, arg);
            break;
        case USBDEVFS_DISCARDURB: {
            std::uintptr_t key = 0;
            std::memcpy(&key, arg->data, sizeof key);
            const auto it = urbs_.find(key);
            std::optional<Finished> taken;
            if (it != urbs_.end() && (taken = chip_->Discard(key))) {
                // As the kernel does: a discarded URB reports what it had moved.
                done_.push_back(Done{it->second, -ENOENT, taken->length, std::move(taken->data)});
                urbs_.erase(it);
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
            }
            break;
        }
        default:
            return false;
        }
        lock.unlock();
        changed_.notify_all();
        return true;
    }

    using Clock = FtdiChip::Clock;

    // The kernel driver bound to an interface: ftdi_sio, or none (ENODATA).
    void GetDriver(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_getdriver), nullptr);
        auto *query = reinterpret_cast<struct usbdevfs_getdriver *>(data->data);
        if (query->interface < chip_->Model().channels && chip_->KernelDriver(query->interface)) {
            std::snprintf(query->driver, sizeof query->driver, "%s", kKernelDriver);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
        }
        g_object_unref(data);
    }

    // Detaching (DISCONNECT) and re-attaching (CONNECT) the kernel driver of an interface.
    void DriverIoctl(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_ioctl), nullptr);
        const auto *command = reinterpret_cast<const struct usbdevfs_ioctl *>(data->data);
        const unsigned interface = static_cast<unsigned>(command->ifno);
        const bool known = interface < chip_->Model().channels;
        const bool bound = known && chip_->KernelDriver(interface);
        if (known && command->ioctl_code == int(USBDEVFS_DISCONNECT) && bound) {
            chip_->SetKernelDriver(interface, false);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else if (known && command->ioctl_code == int(USBDEVFS_CONNECT) && !bound) {
            chip_->SetKernelDriver(interface, true);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, known ? ENODATA : EINVAL);
        }
        g_object_unref(data);
    }

    void Submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
        auto *urb = reinterpret_cast<struct usbdevfs_urb *>(data->data);
        const std::size_t length = urb->buffer_length < 0 ? 0 : std::size_t(urb->buffer_length);
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            data, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer), length, nullptr);
        Urb entry{data, buffer, client, (urb->endpoint & 0x80) != 0};
        const std::uintptr_t key = data->client_addr;

        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < kSetupBytes) {
                Release(entry);
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return;
            }
            const std::uint8_t *setup = buffer->data;
            const bool in = (setup[0] & 0x80) != 0;
            std::vector<std::uint8_t> out;
            if (!in)
                out.assign(buffer->data + kSetupBytes, buffer->data + length);
            ControlResult result = chip_->Control(setup, out);
            Done done{entry, 0, 0, {}};
            entry.in = in;
            done.urb.in = in;
            if (result.stall) {
                done.status = -EPIPE;
            } else if (in) {
                result.data.resize(std::min(result.data.size(), length - kSetupBytes));
                done.length = result.data.size();
                done.data = std::move(result.data);
                done.data.insert(done.data.begin(), setup, setup + kSetupBytes);
            } else {
                done.length = out.size();
            }
            done_.push_back(std::move(done));
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        if (urb->type != USBDEVFS_URB_TYPE_BULK) {
            Release(entry);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        const bool accepted =
            entry.in
                ? chip_->SubmitIn(key, urb->endpoint, length)
                : chip_->SubmitOut(key, urb->endpoint,
                                   std::vector<std::uint8_t>(buffer->data, buffer->data + length));
        if (!accepted) {
            Release(entry);
            umockdev_ioctl_client_complete(client, -1, ENOENT);
            return;
        }
        urbs_[key] = entry;
        umockdev_ioctl_client_complete(client, 0, 0);
        Collect(Clock::now());
    }

    // Moves what the chip has finished to the reapable list.
    void Collect(Clock::time_point now)
    {
        for (Finished &finished : chip_->Pump(now)) {
            const auto it = urbs_.find(finished.key);
            if (it == urbs_.end())
                continue;
            done_.push_back(
                Done{it->second, finished.status, finished.length, std::move(finished.data)});
            urbs_.erase(it);
        }
    }

    bool Deliver(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        const auto it = std::find_if(done_.begin(), done_.end(),
                                     [client](const Done &d) { return d.urb.client == client; });
        if (it == done_.end())
            return false;
        Done done = std::move(*it);
        done_.erase(it);
        auto *urb = reinterpret_cast<struct usbdevfs_urb *>(done.urb.data->data);
        urb->status = done.status;
        urb->actual_length = static_cast<int>(done.length);
        if (done.urb.in && !done.data.empty())
            std::memcpy(done.urb.buffer->data, done.data.data(),
                        std::min<std::size_t>(done.data.size(), done.urb.buffer->data_len));
        UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, done.urb.data);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(pointer);
        Release(done.urb);
        changed_.notify_all();
        return true;
    }

    int NothingToReap() const { return unplugged_ ? ENODEV : EAGAIN; }

    bool HasPending(UMockdevIoctlClient *client) const
    {
        return std::any_of(urbs_.begin(), urbs_.end(),
                           [client](const auto &entry) { return entry.second.client == client; });
    }

    void Reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
    {
        if (Deliver(client, arg))
            return;
        if (HasPending(client) && chip_->NextDue()) {
            held_.push_back(Held{static_cast<UMockdevIoctlClient *>(g_object_ref(client))});
            return;
        }
        umockdev_ioctl_client_complete(client, -1, NothingToReap());
    }

    // Finishes held reaps as their transfers finish.
    void TimerLoop()
    {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (held_.empty()) {
                changed_.wait(lock);
                continue;
            }
            const auto due = chip_->NextDue();
            if (due && Clock::now() < *due)
                changed_.wait_until(lock, *due);
            if (stopping_)
                break;
            Collect(Clock::now());
            for (auto it = held_.begin(); it != held_.end();) {
                UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(it->client);
                bool finished = Deliver(it->client, arg);
                if (!finished && !(HasPending(it->client) && chip_->NextDue())) {
                    umockdev_ioctl_client_complete(it->client, -1, NothingToReap());
                    finished = true;
                }
                if (finished) {
                    g_object_unref(it->client);
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    std::shared_ptr<FtdiChip> chip_;
    UMockdevIoctlBase *handler_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool unplugged_ = false;
    std::map<std::uintptr_t, Urb> urbs_;
    std::deque<Done> done_;
    std::vector<Held> held_;
    std::thread timer_;
};

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new()) {}

UsbTestbed::~UsbTestbed()
{
    devices_.clear();
    g_object_unref(testbed_);
}

bool UsbTestbed::InMockEnvironment() const
{
    return umockdev_in_mock_environment() != FALSE;
}

void UsbTestbed::Unplug(const std::shared_ptr<FtdiChip> &chip)
{
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i]->Chip() != chip)
            continue;
        // The device stays in the testbed: removing it would drop the node's ioctl channel, and
        // an ioctl of a descriptor still open would then never be answered. It is unplugged
        // for the host instead: every request fails with ENODEV, its descriptors cannot be read
        // (libusb leaves such a device out of its list), and udev says it went.
        devices_[i]->Unplug();
        const std::string path = "/sys/devices/usb" + std::to_string(i + 1);
        umockdev_testbed_set_attribute_binary(testbed_, path.c_str(), "descriptors", nullptr, 0);
        umockdev_testbed_uevent(testbed_, path.c_str(), "remove");
    }
}

std::string UsbTestbed::SysDir() const
{
    gchar *dir = umockdev_testbed_get_sys_dir(testbed_);
    std::string text = dir;
    g_free(dir);
    return text;
}

std::shared_ptr<FtdiChip> UsbTestbed::AddChip(ChipType type, const std::string &serial)
{
    auto chip = std::make_shared<FtdiChip>(type, serial);
    const ChipModel &model = chip->Model();
    const unsigned bus = static_cast<unsigned>(devices_.size() + 1);
    char busText[4];
    std::snprintf(busText, sizeof busText, "%03u", bus);
    const std::string node = std::string("/dev/bus/usb/") + busText + "/001";

    auto device = std::make_unique<Device>(chip);
    // The handler first: libusb may open the node the moment the device appears.
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), device->Handler(), &error)) {
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
    record += "A: idProduct=" + Hex4(model.productId) + "\\n\n";
    record += "A: bcdDevice=" + Hex4(model.bcdDevice) + "\\n\n";
    record += "A: manufacturer=" + std::string(kManufacturer) + "\\n\n";
    record += "A: product=" + std::string(model.product) + "\\n\n";
    if (!serial.empty())
        record += "A: serial=" + serial + "\\n\n";
    record += "A: speed=" + std::string(model.highSpeed ? "480" : "12") + "\\n\n";
    record += "A: bConfigurationValue=1\\n\n";
    record += "A: bNumInterfaces=" + std::to_string(model.channels) + "\\n\n";
    record += "A: busnum=" + std::to_string(bus) + "\\n\n";
    record += "A: devnum=1\\n\n";
    record += "H: descriptors=" + Hex(Descriptors(model, !serial.empty())) + "\n";
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "add_from_string failed";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    devices_.push_back(std::move(device));
    return chip;
}

} // namespace usbemu
