// One emulated chip's device node: the usbdevfs ioctls umockdev hands over for it, answered by
// the chip (submit, reap, blocking and not, discard, claim/release, the kernel driver's state,
// capabilities), and the node's host controller: a thread of its own that keeps the chip's time.
//
// The host controller moves the chip's packets without the host's CPU, as a real one does: its
// thread wakes at the (micro)frames in which a packet can move (the chip's NextDue) and whenever a
// transfer is submitted, pumps the chip up to that moment and puts what finished on the list to
// reap. It runs as hardware (Realtime.h), so a busy machine starves the driver, never the chip.
//
// Reaping: umockdev's nodes are regular files, so libusb's poll() always finds them ready and
// reaps without waiting. A non-blocking reap that finds nothing finished while the caller has
// transfers pending is held for at most one full-speed frame (kReapHold), and answered by the host
// controller as soon as one of them finishes or with EAGAIN when the frame is over, so libusb's
// event loop neither spins nor sits in a reap: every emulated ioctl of the process waits behind
// umockdev's one lock while a reap is held, and a submit waits at most that frame. A blocking
// reap waits until a transfer finishes. Discarded transfers are reaped with -ENOENT; once the
// chip is unplugged, pending ones with -ESHUTDOWN.
//
// A program's connection to the node that goes (the program closed the node or ended) takes its
// transfers with it, as the kernel kills a closed file's URBs: the chip no longer moves data for
// them, and a later connection umockdev places at the same address is never handed them.
#pragma once

#include "usbemu/FtdiChip.h"

#include <umockdev.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace usbemu
{

class TDeviceNode
{
public:
    explicit TDeviceNode(std::shared_ptr<TFtdiChip> Chip);
    ~TDeviceNode();
    TDeviceNode(const TDeviceNode &) = delete;
    TDeviceNode &operator=(const TDeviceNode &) = delete;

    // What umockdev_testbed_attach_ioctl takes for the node.
    UMockdevIoctlBase *Handler() const { return FHandler; }

    // The chip is pulled out: what was pending comes back with -ESHUTDOWN, as the kernel kills
    // a gone device's URBs, and from then on every request fails with ENODEV.
    void Unplug();
    const std::shared_ptr<TFtdiChip> &Chip() const { return FChip; }

private:
    using TClock = TFtdiChip::TClock;

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
        std::optional<TClock::time_point> Until; // none: a blocking reap
    };

    static void Release(TUrb &Urb);
    static gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *Client, gpointer Self);
    // Each connection is watched from its start; when it is finalised, it is listed as gone.
    static void OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *Client, gpointer Self);
    static void OnGone(gpointer Self, GObject *Client);
    // Drops what belongs to the connections gone since the last call; FMutex held.
    void ForgetGone();
    bool Handle(UMockdevIoctlClient *Client);
    // The kernel driver bound to an interface: ftdi_sio, or none (ENODATA).
    void GetDriver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg);
    // Detaching (DISCONNECT) and re-attaching (CONNECT) the kernel driver of an interface.
    void DriverIoctl(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg);
    void Submit(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg);
    // Moves what the chip has finished to the reapable list.
    void Collect(TClock::time_point Now);
    bool Deliver(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg);
    int NothingToReap() const { return FUnplugged ? ENODEV : EAGAIN; }
    bool HasPending(UMockdevIoctlClient *Client) const;
    void Reap(UMockdevIoctlClient *Client, UMockdevIoctlData *Arg, bool Blocking);
    // Answers the held reaps whose transfers finished or whose hold is over.
    void ServeHeld(TClock::time_point Now);
    // The host controller: keeps the chip's time and serves the held reaps.
    void ClockLoop();

    std::shared_ptr<TFtdiChip> FChip;
    UMockdevIoctlBase *FHandler = nullptr;
    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FStopping = false;
    bool FWake = false;
    bool FUnplugged = false;
    std::map<std::uintptr_t, TUrb> FUrbs;
    std::deque<TDone> FDone;
    std::vector<THeld> FHeld;
    // Taken after FMutex, never before: a connection can be finalised on a thread that holds it.
    std::mutex FGoneMutex;
    std::set<UMockdevIoctlClient *> FWatched;
    std::vector<UMockdevIoctlClient *> FGone;
    std::thread FClock;
};

} // namespace usbemu
