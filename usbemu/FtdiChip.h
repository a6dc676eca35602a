// An emulated FTDI chip at the USB level: its control endpoint answers the standard and FTDI
// vendor requests, and each channel's bulk endpoints move packets between the host's transfers
// and the channel's buffers, with an MPSSE engine and the SSC device behind them.
//
// What is emulated:
// - identity and descriptors per chip type (FtdiChipModel.h); string descriptors for the
//   manufacturer, product and optional serial number;
// - IN: every packet begins with the two modem-status bytes. A transfer takes full packets
//   (max packet size, 510 or 62 data bytes) while the buffer to the host holds a packet's worth;
//   it ends with a short packet when the latency timer (restarted by every packet sent) runs out
//   or after a 0x87 (send immediate) — status bytes alone when nothing is there;
// - OUT: a packet is taken only when the buffer from the host has room for all of it; the
//   transfer ends when all its packets are taken;
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

#include "usbemu/FtdiChipModel.h"
#include "usbemu/MpsseEngine.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbemu
{

// The two modem-status bytes with no modem lines driven and the transmitter empty:
// byte 0 bit 0 is always set; byte 1 has THRE and TEMT set.
constexpr std::uint8_t kModemStatus0 = 0x01;
constexpr std::uint8_t kModemStatus1 = 0x60;
// The latency timer after power-up or a reset.
constexpr std::uint8_t kDefaultLatencyMs = 16;

struct TControlResult {
    bool Stall = false;
    std::vector<std::uint8_t> Data; // IN: the answer (at most wLength)
};

// A transfer that finished on a bulk endpoint, to be handed back to the host.
struct TFinished {
    std::uintptr_t Key = 0;
    std::vector<std::uint8_t> Data; // IN: what arrived
    std::size_t Length = 0;         // bytes moved
    int Status = 0;                 // 0 or the URB's negative errno
};

// No limit on what a channel takes from the host.
constexpr std::size_t kNoHold = static_cast<std::size_t>(-1);

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

    // Brings every channel up to `Now` and returns the transfers that have finished.
    std::vector<TFinished> Pump(TClock::time_point Now);
    // The earliest moment at which Pump may finish a pending transfer, if time alone can.
    std::optional<TClock::time_point> NextDue();

    // What the SSC device behind the channel sends (Echo at first); it stays through resets and
    // bit-mode changes.
    void SetBehaviour(unsigned Channel, vsim::TBehaviour Behaviour);

    // Faults (see above). A channel takes `Bytes` more from the host, in whole packets, then
    // holds; kNoHold releases it.
    void HoldFromHostAfter(unsigned Channel, std::size_t Bytes);
    // The next bulk transfer on the channel, in or out, ends with -EPROTO after `Bytes` bytes.
    void CutNextTransfer(unsigned Channel, bool In, std::size_t Bytes);
    // Whether the kernel's ftdi_sio has the channel's interface (it has none at first).
    void SetKernelDriver(unsigned Channel, bool Bound);
    bool KernelDriver(unsigned Channel);

    // For tests: a channel's state.
    std::uint8_t LatencyMs(unsigned Channel);
    std::uint8_t BitMode(unsigned Channel);
    std::size_t ToHostQueued(unsigned Channel);
    std::size_t FromHostQueued(unsigned Channel);
    // MPSSE opcodes the channel did not know: a frame's data taken for commands shows here.
    long long BadCommands(unsigned Channel);

private:
    struct TTransfer;
    // The transfer with this key on any channel, or nullptr; `Remove` takes it out into `Taken`.
    // Under FMutex.
    TTransfer *FindLocked(std::uintptr_t Key, bool Remove, TTransfer *Taken);
    struct TTransfer {
        std::uintptr_t Key = 0;
        std::vector<std::uint8_t> Data;
        std::size_t Capacity = 0; // IN
        std::size_t Done = 0;     // OUT: bytes taken
        int Status = 0;
    };
    struct TChannel {
        explicit TChannel(const TChipModel &Model)
            : Engine(Model.FromHostBytes, Model.ToHostBytes, Model.HighSpeed)
        {
        }
        TMpsseEngine Engine;
        std::uint8_t LatencyMs = kDefaultLatencyMs;
        std::uint8_t BitMode = 0;
        std::uint8_t BitMask = 0;
        TClock::time_point LastPacket = TClock::now();
        bool Flush = false;
        bool KernelDriver = false;
        std::size_t FromHostAllowance = kNoHold;
        std::optional<std::size_t> CutIn;
        std::optional<std::size_t> CutOut;
        std::vector<TTransfer> In;
        std::vector<TTransfer> Out;
    };

    TChannel *ChannelOf(std::uint16_t Index);
    TControlResult Vendor(const std::uint8_t *Setup, bool DeviceToHost, std::uint16_t Value,
                          std::uint16_t Index, std::uint16_t Length);
    TControlResult Standard(std::uint8_t Request, bool DeviceToHost, std::uint16_t Value,
                            std::uint16_t Length);
    bool ModeAllowed(unsigned Channel, std::uint8_t Mode) const;
    void PumpChannel(TChannel &Channel, TClock::time_point Now, std::vector<TFinished> &Done);

    const TChipModel &FModel;
    const std::string FSerial;
    std::mutex FMutex;
    std::vector<std::unique_ptr<TChannel>> FChannels;
};

} // namespace usbemu
