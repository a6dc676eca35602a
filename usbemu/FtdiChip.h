// An emulated FTDI chip at the USB level: its control endpoint answers the standard and FTDI
// vendor requests, and each channel's bulk endpoints move packets between the host's transfers
// and the channel's buffers, with an MPSSE engine and the SSC device behind them.
//
// What is emulated:
// - identity and descriptors per chip type (FtdiChipModel.h); string descriptors for the
//   manufacturer, product and optional serial number;
// - the bulk endpoints' IN and OUT packets, one channel each (ChipChannel.h);
// - the buffers have the datasheets' sizes; the MPSSE clock stalls while the buffer to the host
//   is full;
// - vendor requests: reset and the two purges, modem control, flow control, baud rate, line
//   properties, event and error characters, latency timer (set/get), bit mode, read pins, modem
//   status, EEPROM read (a blank EEPROM: 0xFFFF). A request with an unknown code, the wrong
//   direction, a channel the chip does not have, or a bit mode the channel does not have is
//   refused with a stall.
//
// Faults a test can arm: the chip stops taking packets from the host after a given number of
// bytes (a stalled chip: the host's write times out part-way), the next bulk transfer one way
// ends with a protocol error after a given number of bytes (a cut transfer), and the kernel's
// ftdi_sio can be bound to a channel's interface (claiming it is then refused until the host
// detaches the driver, and it comes back when the host re-attaches it).
//
// Each channel's SSC device echoes until it is told to behave otherwise (SetBehaviour), with the
// simulator's behaviours: echo, send the queued bytes, stay silent, or count without pause.
//
// Not emulated yet: the UART and the bit-bang, MCU host, opto and FIFO modes move no data (their
// bit modes are accepted where the chip has them, and bytes written are dropped); EEPROM writes
// and erases are refused; modem lines never change; the event and error characters have no
// effect; 0x88/0x89 and the clock-until-GPIO opcodes answer as unknown opcodes.
#pragma once

#include "usbemu/ChipChannel.h"
#include "usbemu/FtdiChipModel.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbemu
{

struct TControlResult {
    bool Stall = false;
    std::vector<std::uint8_t> Data; // IN: the answer (at most wLength)
};

class TFtdiChip
{
public:
    using TClock = std::chrono::steady_clock;

    TFtdiChip(TChipType Type, std::string Serial);

    const TChipModel &Model() const { return FModel; }
    const std::string &Serial() const { return FSerial; }

    // A control transfer: the 8 setup bytes and, for OUT, its data.
    TControlResult Control(const std::uint8_t *Setup, const std::vector<std::uint8_t> &Data);

    // Bulk transfers; false if the endpoint is not one of the chip's.
    bool SubmitIn(std::uintptr_t Key, std::uint8_t Endpoint, std::size_t Capacity);
    bool SubmitOut(std::uintptr_t Key, std::uint8_t Endpoint, std::vector<std::uint8_t> Data);
    // Takes a transfer back with what it had moved so far; nothing if it is no longer pending.
    std::optional<TFinished> Discard(std::uintptr_t Key);
    bool Pending(std::uintptr_t Key);

    // Brings every channel up to `Now` and returns the transfers that have finished. While
    // transfers are pending, the channels are stepped in time order, one high-speed microframe
    // (125 us) at a time: the engine clocks, and the queued IN transfers take its bytes packet by
    // packet as a host controller would, so the clock stalls only when no IN transfer is queued.
    std::vector<TFinished> Pump(TClock::time_point Now);
    // The earliest moment at which Pump may move a packet, if time alone can; never sooner than
    // the next step (125 us).
    std::optional<TClock::time_point> NextDue();
    // The clock configuration another program may have left on channel A (H chips only).
    void LeaveClock(unsigned Channel, bool DivideByFive, bool ThreePhase, bool Adaptive);
    // One bit's clock period on the channel; none while its clock waits for a return clock.
    std::optional<std::uint64_t> BitNanoseconds(unsigned Channel);

    // What the SSC device behind the channel sends (Echo at first); it stays through resets and
    // bit-mode changes.
    void SetBehaviour(unsigned Channel, vsim::TBehaviour Behaviour);

    // Faults (see above). A channel takes `Bytes` more from the host, in whole packets, then
    // holds; kNoHold releases it.
    void HoldFromHostAfter(unsigned Channel, std::size_t Bytes);
    // The next bulk transfer on the channel, in or out, ends with -EPROTO after `Bytes` bytes.
    void CutNextTransfer(unsigned Channel, bool In, std::size_t Bytes);
    // The next Count submits one way are refused (kNoHold: all of them), as a kernel refuses a
    // URB it cannot take; SubmitsRefused counts them.
    void RefuseSubmits(unsigned Channel, bool In, std::size_t Count);
    std::size_t SubmitsRefused(unsigned Channel, bool In);
    // The endpoint one way halts: its transfers end with -EPIPE until the host clears the halt
    // (USBDEVFS_CLEAR_HALT); a Stuck one halts again after every clear. HaltsCleared counts them.
    void HaltEndpoint(unsigned Channel, bool In, bool Stuck);
    void ClearHalt(std::uint8_t Endpoint);
    std::size_t HaltsCleared(unsigned Channel, bool In);
    // Whether the kernel's ftdi_sio has the channel's interface (it has none at first).
    void SetKernelDriver(unsigned Channel, bool Bound);
    bool KernelDriver(unsigned Channel);

    // For tests: a channel's state.
    std::uint8_t LatencyMs(unsigned Channel);
    std::uint8_t BitMode(unsigned Channel);
    std::size_t ToHostQueued(unsigned Channel);
    std::size_t FromHostQueued(unsigned Channel);
    // What the host's OUT transfers on the channel still have to move.
    std::size_t OutTransfersLeft(unsigned Channel);
    // MPSSE opcodes the channel did not know: a frame's data taken for commands shows here.
    long long BadCommands(unsigned Channel);

private:
    // The transfer with this key on any channel, or nullptr; `Remove` takes it out into `Taken`.
    // Under FMutex.
    TTransfer *FindLocked(std::uintptr_t Key, bool Remove, TTransfer *Taken);
    TChipChannel *ChannelOf(std::uint16_t Index);
    TControlResult Vendor(const std::uint8_t *Setup, bool DeviceToHost, std::uint16_t Value,
                          std::uint16_t Index, std::uint16_t Length);
    TControlResult Standard(std::uint8_t Request, bool DeviceToHost, std::uint16_t Value,
                            std::uint16_t Length);
    bool ModeAllowed(unsigned Channel, std::uint8_t Mode) const;

    const TChipModel &FModel;
    const std::string FSerial;
    std::mutex FMutex;
    std::vector<std::unique_ptr<TChipChannel>> FChannels;
    TBusFrame FFrame;
    TClock::time_point FPumped;
};

} // namespace usbemu
