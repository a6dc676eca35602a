#include "usbemu/DeviceNode.h"

#include "usbemu/Realtime.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <optional>

namespace usbemu
{

namespace
{

constexpr std::size_t kSetupBytes = 8;
constexpr const char *kKernelDriver = "ftdi_sio";
// The program's memory an ioctl's argument points to. Where it cannot be read, as when the program
// ended in the middle of the call, the ioctl fails as the kernel fails it (EFAULT) and the answer
// is nullptr.
UMockdevIoctlData *Resolve(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg, gsize Offset,
                           gsize Length)
{
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(Arg, Offset, Length, &error);
    if (!data) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(Client, -1, EFAULT);
    }
    return data;
}

// The unsigned int an ioctl's argument points to (an interface or an endpoint number); none, with
// the ioctl failed, where it cannot be read.
std::optional<unsigned int> UnsignedArg(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
{
    UMockdevIoctlData *number = Resolve(Client, Arg, 0, sizeof(unsigned int));
    if (!number)
        return std::nullopt;
    unsigned int value = 0;
    std::memcpy(&value, number->data, sizeof value);
    g_object_unref(number);
    return value;
}

// How long a non-blocking reap with nothing finished is held: one full-speed frame.
constexpr std::chrono::milliseconds kReapHold{1};

} // namespace

TDeviceNode::TDeviceNode(std::shared_ptr<TFtdiChip> Chip) : FChip(std::move(Chip))
{
    FHandler = umockdev_ioctl_base_new();
    g_signal_connect(FHandler, "handle-ioctl", G_CALLBACK(&TDeviceNode::OnIoctl), this);
    g_signal_connect(FHandler, "client-connected", G_CALLBACK(&TDeviceNode::OnConnected), this);
    FClock = std::thread([this] { ClockLoop(); });
}

TDeviceNode::~TDeviceNode()
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
    FClock.join();
    g_signal_handlers_disconnect_by_data(FHandler, this);
    {
        std::lock_guard lock(FGoneMutex);
        for (UMockdevIoctlClient *client : FWatched)
            g_object_weak_unref(G_OBJECT(client), &TDeviceNode::OnGone, this);
        FWatched.clear();
    }
    g_object_unref(FHandler);
}

void TDeviceNode::Unplug()
{
    {
        std::lock_guard lock(FMutex);
        FUnplugged = true;
        for (auto &[key, urb] : FUrbs) {
            std::optional<TFinished> taken = FChip->Discard(key);
            FDone.push_back(TDone{urb, -ESHUTDOWN, taken ? taken->Length : 0,
                                  taken ? std::move(taken->Data) : std::vector<std::uint8_t>{}});
        }
        FUrbs.clear();
        FWake = true;
    }
    FChanged.notify_all();
}

void TDeviceNode::Release(TUrb &Urb)
{
    g_clear_object(&Urb.Data);
    g_clear_object(&Urb.Buffer);
}

gboolean TDeviceNode::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *Client, gpointer Self)
{
    // umockdev's worker answers every node's ioctls: it runs as hardware too.
    static thread_local const TScheduling kScheduling = RunAsHardware();
    (void)kScheduling;
    return static_cast<TDeviceNode *>(Self)->Handle(Client) ? TRUE : FALSE;
}

void TDeviceNode::OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *Client, gpointer Self)
{
    auto *node = static_cast<TDeviceNode *>(Self);
    std::lock_guard lock(node->FGoneMutex);
    node->FWatched.insert(Client);
    g_object_weak_ref(G_OBJECT(Client), &TDeviceNode::OnGone, node);
}

void TDeviceNode::OnGone(gpointer Self, GObject *Client)
{
    // Called while the connection is finalised, before its memory can be taken again.
    auto *node = static_cast<TDeviceNode *>(Self);
    auto *client = reinterpret_cast<UMockdevIoctlClient *>(Client);
    std::lock_guard lock(node->FGoneMutex);
    node->FWatched.erase(client);
    node->FGone.push_back(client);
}

void TDeviceNode::ForgetGone()
{
    std::vector<UMockdevIoctlClient *> gone;
    {
        std::lock_guard lock(FGoneMutex);
        gone.swap(FGone);
    }
    for (UMockdevIoctlClient *client : gone) {
        for (auto it = FUrbs.begin(); it != FUrbs.end();) {
            if (it->second.Client != client) {
                ++it;
                continue;
            }
            FChip->Discard(it->first);
            Release(it->second);
            it = FUrbs.erase(it);
        }
        std::erase_if(FDone, [client](TDone &Each) {
            if (Each.Urb.Client != client)
                return false;
            Release(Each.Urb);
            return true;
        });
    }
}

bool TDeviceNode::Handle(UMockdevIoctlClient *Client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(Client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(Client);
    std::unique_lock lock(FMutex);
    ForgetGone();
    if (FUnplugged && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(Client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = Resolve(Client, arg, 0, sizeof(guint32));
        if (!caps)
            return true;
        const guint32 value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof value);
        umockdev_ioctl_client_complete(Client, 0, 0);
        g_object_unref(caps);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        const std::optional<unsigned int> interface = UnsignedArg(Client, arg);
        if (!interface)
            return true;
        if (*interface >= FChip->Model().Channels)
            umockdev_ioctl_client_complete(Client, -1, EINVAL);
        else if (request == USBDEVFS_CLAIMINTERFACE && FChip->KernelDriver(*interface))
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
    case USBDEVFS_CLEAR_HALT: {
        const std::optional<unsigned int> endpoint = UnsignedArg(Client, arg);
        if (!endpoint)
            return true;
        FChip->ClearHalt(static_cast<std::uint8_t>(*endpoint));
        umockdev_ioctl_client_complete(Client, 0, 0);
        break;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(Client, 0, 0);
        return true;
    case USBDEVFS_SUBMITURB:
        Submit(Client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        Reap(Client, arg, request == USBDEVFS_REAPURB);
        break;
    case USBDEVFS_DISCARDURB: {
        Collect(TClock::now());
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
    FWake = true;
    lock.unlock();
    FChanged.notify_all();
    return true;
}

void TDeviceNode::GetDriver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
{
    UMockdevIoctlData *data = Resolve(Client, Arg, 0, sizeof(struct usbdevfs_getdriver));
    if (!data)
        return;
    auto *query = reinterpret_cast<struct usbdevfs_getdriver *>(data->data);
    if (query->interface < FChip->Model().Channels && FChip->KernelDriver(query->interface)) {
        std::snprintf(query->driver, sizeof query->driver, "%s", kKernelDriver);
        umockdev_ioctl_client_complete(Client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(Client, -1, ENODATA);
    }
    g_object_unref(data);
}

void TDeviceNode::DriverIoctl(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
{
    UMockdevIoctlData *data = Resolve(Client, Arg, 0, sizeof(struct usbdevfs_ioctl));
    if (!data)
        return;
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

void TDeviceNode::Submit(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
{
    UMockdevIoctlData *data = Resolve(Client, Arg, 0, sizeof(struct usbdevfs_urb));
    if (!data)
        return;
    auto *urb = reinterpret_cast<struct usbdevfs_urb *>(data->data);
    const std::size_t length = urb->buffer_length < 0 ? 0 : std::size_t(urb->buffer_length);
    UMockdevIoctlData *buffer =
        Resolve(Client, data, G_STRUCT_OFFSET(struct usbdevfs_urb, buffer), length);
    TUrb entry{data, buffer, Client, (urb->endpoint & 0x80) != 0};
    if (!buffer) {
        Release(entry);
        return;
    }
    const std::uintptr_t key = data->client_addr;
    // The chip is brought up to now first, so what comes is not taken as there before.
    Collect(TClock::now());

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
        entry.In ? FChip->SubmitIn(key, urb->endpoint, length)
                 : FChip->SubmitOut(key, urb->endpoint,
                                    std::vector<std::uint8_t>(buffer->data, buffer->data + length));
    if (!accepted) {
        Release(entry);
        umockdev_ioctl_client_complete(Client, -1, ENOENT);
        return;
    }
    FUrbs[key] = entry;
    umockdev_ioctl_client_complete(Client, 0, 0);
}

void TDeviceNode::Collect(TClock::time_point Now)
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

bool TDeviceNode::Deliver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg)
{
    const auto it = std::find_if(FDone.begin(), FDone.end(),
                                 [Client](const TDone &Each) { return Each.Urb.Client == Client; });
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
    // A program that cannot be told which URB finished has ended: the URB goes with it.
    if (UMockdevIoctlData *pointer = Resolve(Client, Arg, 0, sizeof(void *))) {
        umockdev_ioctl_data_set_ptr(pointer, 0, done.Urb.Data);
        umockdev_ioctl_client_complete(Client, 0, 0);
        g_object_unref(pointer);
    }
    Release(done.Urb);
    FChanged.notify_all();
    return true;
}

bool TDeviceNode::HasPending(UMockdevIoctlClient *Client) const
{
    return std::any_of(FUrbs.begin(), FUrbs.end(),
                       [Client](const auto &Each) { return Each.second.Client == Client; });
}

void TDeviceNode::Reap(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg, bool Blocking)
{
    if (Deliver(Client, Arg))
        return;
    if (HasPending(Client)) {
        std::optional<TClock::time_point> until;
        if (!Blocking)
            until = TClock::now() + kReapHold;
        FHeld.push_back(THeld{static_cast<UMockdevIoctlClient *>(g_object_ref(Client)), until});
        return;
    }
    umockdev_ioctl_client_complete(Client, -1, NothingToReap());
}

void TDeviceNode::ServeHeld(TClock::time_point Now)
{
    for (auto it = FHeld.begin(); it != FHeld.end();) {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(it->Client);
        bool answered = Deliver(it->Client, arg);
        if (!answered && (!HasPending(it->Client) || (it->Until && Now >= *it->Until))) {
            umockdev_ioctl_client_complete(it->Client, -1, NothingToReap());
            answered = true;
        }
        if (answered) {
            g_object_unref(it->Client);
            it = FHeld.erase(it);
        } else {
            ++it;
        }
    }
}

void TDeviceNode::ClockLoop()
{
    RunAsHardware();
    std::unique_lock lock(FMutex);
    while (!FStopping) {
        ForgetGone();
        const TClock::time_point now = TClock::now();
        Collect(now);
        ServeHeld(now);
        std::optional<TClock::time_point> next = FChip->NextDue();
        for (const THeld &held : FHeld) {
            if (held.Until && (!next || *held.Until < *next))
                next = held.Until;
        }
        FWake = false;
        const auto woken = [this] { return FStopping || FWake; };
        if (next)
            FChanged.wait_until(lock, *next, woken);
        else
            FChanged.wait(lock, woken);
    }
}

} // namespace usbemu
