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

// One emulated chip's device node: its usbdevfs handler and the timer that finishes transfers.
class TUsbTestbed::TDevice
{
public:
    explicit TDevice(std::shared_ptr<TFtdiChip> Chip) : FChip(std::move(Chip))
    {
        FHandler = umockdev_ioctl_base_new();
        g_signal_connect(FHandler, "handle-ioctl", G_CALLBACK(&TDevice::OnIoctl), this);
        FTimer = std::thread([this] { TimerLoop(); });
    }

    ~TDevice()
    {
        {
            std::lock_guard lock(FMutex);
            FStopping = true;
            for (THeld &held : FHeld) {
                umockdev_ioctl_client_complete(held.Client, -1, ENODEV);
                g_object_unref(held.Client);
            }
            FHeld.clear();
            for (auto &[key, urb] : FUrbs)
                Release(urb);
            for (TDone &done : FDone)
                Release(done.Urb);
        }
        FChanged.notify_all();
        FTimer.join();
        g_signal_handlers_disconnect_by_data(FHandler, this);
        g_object_unref(FHandler);
    }

    UMockdevIoctlBase *Handler() const { return FHandler; }

    // The chip is pulled out: what was pending comes back with -ESHUTDOWN, as the kernel kills
    // a gone device's URBs, and from then on every request fails with ENODEV.
    void Unplug()
    {
        {
            std::lock_guard lock(FMutex);
            FUnplugged = true;
            for (auto &[key, urb] : FUrbs) {
                std::optional<TFinished> taken = FChip->Discard(key);
                FDone.push_back(
                    TDone{urb, -ESHUTDOWN, taken ? taken->Length : 0,
                          taken ? std::move(taken->Data) : std::vector<std::uint8_t>{}});
            }
            FUrbs.clear();
        }
        FChanged.notify_all();
    }
    const std::shared_ptr<TFtdiChip> &Chip() const { return FChip; }

private:
    struct TUrb {
        UMockdevIoctlData *Data = nullptr;   // struct usbdevfs_urb
        UMockdevIoctlData *Buffer = nullptr; // its buffer
        UMockdevIoctlClient *Client = nullptr;
        bool In = false;
    };
    struct TDone {
        TUrb Urb;
        int Status = 0;
        std::size_t Length = 0;
        std::vector<std::uint8_t> Data;
    };
    struct THeld {
        UMockdevIoctlClient *Client;
    };

    static void Release(TUrb &Urb)
    {
        g_clear_object(&Urb.Data);
        g_clear_object(&Urb.Buffer);
    }

    static gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *Client, gpointer Self)
    {
        return static_cast<TDevice *>(Self)->Handle(Client) ? TRUE : FALSE;
    }

    bool Handle(UMockdevIoctlClient *Client)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(Client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(Client);
        std::unique_lock lock(FMutex);
        if (FUnplugged && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
            umockdev_ioctl_client_complete(Client, -1, ENODEV);
            return true;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            const guint32 value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                  USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_client_complete(Client, 0, 0);
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
            if (interface >= FChip->Model().Channels)
                umockdev_ioctl_client_complete(Client, -1, EINVAL);
            else if (request == USBDEVFS_CLAIMINTERFACE && FChip->KernelDriver(interface))
                umockdev_ioctl_client_complete(Client, -1, EBUSY);
            else
                umockdev_ioctl_client_complete(Client, 0, 0);
            return true;
        }
        case USBDEVFS_GETDRIVER:
            GetDriver(Client, arg);
            return true;
        case USBDEVFS_IOCTL:
            DriverIoctl(Client, arg);
            return true;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(Client, 0, 0);
            return true;
        case USBDEVFS_SUBMITURB:
            Submit(Client, arg);
            break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            Collect(TClock::now());
            Reap(Client, arg);
            break;
        case USBDEVFS_DISCARDURB: {
            std::uintptr_t key = 0;
            std::memcpy(&key, arg->data, sizeof key);
            const auto it = FUrbs.find(key);
            std::optional<TFinished> taken;
            if (it != FUrbs.end() && (taken = FChip->Discard(key))) {
                // As the kernel does: a discarded URB reports what it had moved.
                FDone.push_back(TDone{it->second, -ENOENT, taken->Length, std::move(taken->Data)});
                FUrbs.erase(it);
                umockdev_ioctl_client_complete(Client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(Client, -1, EINVAL);
            }
            break;
        }
        default:
            return false;
        }
        lock.unlock();
        FChanged.notify_all();
        return true;
    }

    using TClock = TFtdiChip::TClock;

    // The kernel driver bound to an interface: ftdi_sio, or none (ENODATA).
    void GetDriver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(Arg, 0, sizeof(struct usbdevfs_getdriver), nullptr);
        auto *query = reinterpret_cast<struct usbdevfs_getdriver *>(data->data);
        if (query->interface < FChip->Model().Channels && FChip->KernelDriver(query->interface)) {
            std::snprintf(query->driver, sizeof query->driver, "%s", kKernelDriver);
            umockdev_ioctl_client_complete(Client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(Client, -1, ENODATA);
        }
        g_object_unref(data);
    }

    // Detaching (DISCONNECT) and re-attaching (CONNECT) the kernel driver of an interface.
    void DriverIoctl(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(Arg, 0, sizeof(struct usbdevfs_ioctl), nullptr);
        const auto *command = reinterpret_cast<const struct usbdevfs_ioctl *>(data->data);
        const unsigned interface = static_cast<unsigned>(command->ifno);
        const bool known = interface < FChip->Model().Channels;
        const bool bound = known && FChip->KernelDriver(interface);
        if (known && command->ioctl_code == int(USBDEVFS_DISCONNECT) && bound) {
            FChip->SetKernelDriver(interface, false);
            umockdev_ioctl_client_complete(Client, 0, 0);
        } else if (known && command->ioctl_code == int(USBDEVFS_CONNECT) && !bound) {
            FChip->SetKernelDriver(interface, true);
            umockdev_ioctl_client_complete(Client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(Client, -1, known ? ENODATA : EINVAL);
        }
        g_object_unref(data);
    }

    void Submit(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
    {
        UMockdevIoctlData *data =
            umockdev_ioctl_data_resolve(Arg, 0, sizeof(struct usbdevfs_urb), nullptr);
        auto *urb = reinterpret_cast<struct usbdevfs_urb *>(data->data);
        const std::size_t length = urb->buffer_length < 0 ? 0 : std::size_t(urb->buffer_length);
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            data, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer), length, nullptr);
        TUrb entry{data, buffer, Client, (urb->endpoint & 0x80) != 0};
        const std::uintptr_t key = data->client_addr;

        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (length < kSetupBytes) {
                Release(entry);
                umockdev_ioctl_client_complete(Client, -1, EINVAL);
                return;
            }
            const std::uint8_t *setup = buffer->data;
            const bool in = (setup[0] & 0x80) != 0;
            std::vector<std::uint8_t> out;
            if (!in)
                out.assign(buffer->data + kSetupBytes, buffer->data + length);
            TControlResult result = FChip->Control(setup, out);
            TDone done{entry, 0, 0, {}};
            entry.In = in;
            done.Urb.In = in;
            if (result.Stall) {
                done.Status = -EPIPE;
            } else if (in) {
                result.Data.resize(std::min(result.Data.size(), length - kSetupBytes));
                done.Length = result.Data.size();
                done.Data = std::move(result.Data);
                done.Data.insert(done.Data.begin(), setup, setup + kSetupBytes);
            } else {
                done.Length = out.size();
            }
            FDone.push_back(std::move(done));
            umockdev_ioctl_client_complete(Client, 0, 0);
            return;
        }
        if (urb->type != USBDEVFS_URB_TYPE_BULK) {
            Release(entry);
            umockdev_ioctl_client_complete(Client, -1, EINVAL);
            return;
        }
        const bool accepted =
            entry.In
                ? FChip->SubmitIn(key, urb->endpoint, length)
                : FChip->SubmitOut(key, urb->endpoint,
                                   std::vector<std::uint8_t>(buffer->data, buffer->data + length));
        if (!accepted) {
            Release(entry);
            umockdev_ioctl_client_complete(Client, -1, ENOENT);
            return;
        }
        FUrbs[key] = entry;
        umockdev_ioctl_client_complete(Client, 0, 0);
        Collect(TClock::now());
    }

    // Moves what the chip has finished to the reapable list.
    void Collect(TClock::time_point Now)
    {
        for (TFinished &finished : FChip->Pump(Now)) {
            const auto it = FUrbs.find(finished.Key);
            if (it == FUrbs.end())
                continue;
            FDone.push_back(
                TDone{it->second, finished.Status, finished.Length, std::move(finished.Data)});
            FUrbs.erase(it);
        }
    }

    bool Deliver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
    {
        const auto it = std::find_if(FDone.begin(), FDone.end(), [Client](const TDone &Each) {
            return Each.Urb.Client == Client;
        });
        if (it == FDone.end())
            return false;
        TDone done = std::move(*it);
        FDone.erase(it);
        auto *urb = reinterpret_cast<struct usbdevfs_urb *>(done.Urb.Data->data);
        urb->status = done.Status;
        urb->actual_length = static_cast<int>(done.Length);
        if (done.Urb.In && !done.Data.empty())
            std::memcpy(done.Urb.Buffer->data, done.Data.data(),
                        std::min<std::size_t>(done.Data.size(), done.Urb.Buffer->data_len));
        UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(Arg, 0, sizeof(void *), nullptr);
        umockdev_ioctl_data_set_ptr(pointer, 0, done.Urb.Data);
        umockdev_ioctl_client_complete(Client, 0, 0);
        g_object_unref(pointer);
        Release(done.Urb);
        FChanged.notify_all();
        return true;
    }

    int NothingToReap() const { return FUnplugged ? ENODEV : EAGAIN; }

    bool HasPending(UMockdevIoctlClient *Client) const
    {
        return std::any_of(FUrbs.begin(), FUrbs.end(),
                           [Client](const auto &Each) { return Each.second.Client == Client; });
    }

    void Reap(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
    {
        if (Deliver(Client, Arg))
            return;
        if (HasPending(Client) && FChip->NextDue()) {
            FHeld.push_back(THeld{static_cast<UMockdevIoctlClient *>(g_object_ref(Client))});
            return;
        }
        umockdev_ioctl_client_complete(Client, -1, NothingToReap());
    }

    // Finishes held reaps as their transfers finish.
    void TimerLoop()
    {
        std::unique_lock lock(FMutex);
        while (!FStopping) {
            if (FHeld.empty()) {
                FChanged.wait(lock);
                continue;
            }
            const auto due = FChip->NextDue();
            if (due && TClock::now() < *due)
                FChanged.wait_until(lock, *due);
            if (FStopping)
                break;
            Collect(TClock::now());
            for (auto it = FHeld.begin(); it != FHeld.end();) {
                UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(it->Client);
                bool finished = Deliver(it->Client, arg);
                if (!finished && !(HasPending(it->Client) && FChip->NextDue())) {
                    umockdev_ioctl_client_complete(it->Client, -1, NothingToReap());
                    finished = true;
                }
                if (finished) {
                    g_object_unref(it->Client);
                    it = FHeld.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    std::shared_ptr<TFtdiChip> FChip;
    UMockdevIoctlBase *FHandler = nullptr;
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FStopping = false;
    bool FUnplugged = false;
    std::map<std::uintptr_t, TUrb> FUrbs;
    std::deque<TDone> FDone;
    std::vector<THeld> FHeld;
    std::thread FTimer;
};

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

    auto device = std::make_unique<TDevice>(chip);
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
