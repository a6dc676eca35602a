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

struct ControlResult {
    bool stall = false;
    std::vector<std::uint8_t> data; // IN: the answer (at most wLength)
};

// A transfer that finished on a bulk endpoint, to be handed back to the host.
struct Finished {
    std::uintptr_t key = 0;
    std::vector<std::uint8_t> data; // IN: what arrived
    std::size_t length = 0;         // bytes moved
    int status = 0;                 // 0 or the URB's negative errno
};

// No limit on what a channel takes from the host.
constexpr std::size_t kNoHold = static_cast<std::size_t>(-1);

class FtdiChip
{
public:
    using Clock = std::chrono::steady_clock;

    FtdiChip(ChipType type, std::string serial);

    const ChipModel &Model() const { return model_; }
    const std::string &Serial() const { return serial_; }

    // A control transfer: the 8 setup bytes and, for OUT, its data.
    ControlResult Control(const std::uint8_t *setup, const std::vector<std::uint8_t> &data);

    // Bulk transfers; false if the endpoint is not one of the chip's.
    bool SubmitIn(std::uintptr_t key, std::uint8_t endpoint, std::size_t capacity);
    bool SubmitOut(std::uintptr_t key, std::uint8_t endpoint, std::vector<std::uint8_t> data);
    // Takes a transfer back with what it had moved so far; nothing if it is no longer pending.
    std::optional<Finished> Discard(std::uintptr_t key);
    bool Pending(std::uintptr_t key);

    // Brings every channel up to `now` and returns the transfers that have finished.
    std::vector<Finished> Pump(Clock::time_point now);
    // The earliest moment at which Pump may finish a pending transfer, if time alone can.
    std::optional<Clock::time_point> NextDue();

    // What the SSC device behind the channel sends (Echo at first); it stays through resets and
    // bit-mode changes.
    void SetBehaviour(unsigned channel, vsim::TBehaviour behaviour);

    // Faults (see above). A channel takes `bytes` more from the host, in whole packets, then
    // holds; kNoHold releases it.
    void HoldFromHostAfter(unsigned channel, std::size_t bytes);
    // The next bulk transfer on the channel, in or out, ends with -EPROTO after `bytes` bytes.
    void CutNextTransfer(unsigned channel, bool in, std::size_t bytes);
    // Whether the kernel's ftdi_sio has the channel's interface (it has none at first).
    void SetKernelDriver(unsigned channel, bool bound);
    bool KernelDriver(unsigned channel);

    // For tests: a channel's state.
    std::uint8_t LatencyMs(unsigned channel);
    std::uint8_t BitMode(unsigned channel);
    std::size_t ToHostQueued(unsigned channel);
    std::size_t FromHostQueued(unsigned channel);
    // MPSSE opcodes the channel did not know: a frame's data taken for commands shows here.
    long long BadCommands(unsigned channel);

private:
    struct Transfer;
    // The transfer with this key on any channel, or nullptr; `remove` takes it out into `taken`.
    // Under mutex_.
    Transfer *FindLocked(std::uintptr_t key, bool remove, Transfer *taken);
    struct Transfer {
        std::uintptr_t key = 0;
        std::vector<std::uint8_t> data;
        std::size_t capacity = 0; // IN
        std::size_t done = 0;     // OUT: bytes taken
        int status = 0;
    };
    struct Channel {
        explicit Channel(const ChipModel &model)
            : engine(model.fromHostBytes, model.toHostBytes, model.highSpeed)
        {
        }
        MpsseEngine engine;
        std::uint8_t latencyMs = kDefaultLatencyMs;
        std::uint8_t bitMode = 0;
        std::uint8_t bitMask = 0;
        Clock::time_point lastPacket = Clock::now();
        bool flush = false;
        bool kernelDriver = false;
        std::size_t fromHostAllowance = kNoHold;
        std::optional<std::size_t> cutIn;
        std::optional<std::size_t> cutOut;
        std::vector<Transfer> in;
        std::vector<Transfer> out;
    };

    Channel *ChannelOf(std::uint16_t index);
    ControlResult Vendor(const std::uint8_t *setup, bool deviceToHost, std::uint16_t value,
                         std::uint16_t index, std::uint16_t length);
    ControlResult Standard(std::uint8_t request, bool deviceToHost, std::uint16_t value,
                           std::uint16_t length);
    bool ModeAllowed(unsigned channel, std::uint8_t mode) const;
    void PumpChannel(Channel &channel, Clock::time_point now, std::vector<Finished> &done);

    const ChipModel &model_;
    const std::string serial_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Channel>> channels_;
};

} // namespace usbemu
