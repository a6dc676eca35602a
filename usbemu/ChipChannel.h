// One channel of an emulated FTDI chip: its two bulk endpoints, which move packets between the
// host's transfers and the channel's buffers, and the settings the chip's vendor requests change
// (latency timer, bit mode, the faults a test arms). The MPSSE engine with the SSC device sits
// between the buffers.
//
// - IN: every packet begins with the two modem-status bytes. A transfer takes full packets
//   (max packet size, 510 or 62 data bytes) while the buffer to the host holds a packet's worth;
//   it ends with a short packet when the latency timer (restarted by every packet sent) runs out
//   or after a 0x87 (send immediate) — status bytes alone when nothing is there. The latency
//   timer counts the chip's whole milliseconds: restarted by a packet, it counts the ticks of the
//   chip's millisecond clock from the next one on and runs out at the L-th, between L and L + 1
//   ms after the packet. FTDI gives the timer's unit (1 ms) but not how a tick already begun
//   counts; counting it would run the timer out at once after some packets, between L - 1 and L
//   ms, and a streaming full-speed chip would then send a short packet of a few bytes nearly
//   every millisecond. A board will tell which it is;
// - OUT: a packet is taken only when the buffer from the host has room for all of it; the
//   transfer ends when all its packets are taken.
//
// Packets move as USB moves them: at most kFramePackets per (micro)frame for the whole chip
// (TBusFrame), 19 of 64 bytes in a full-speed 1 ms frame, 13 of 512 bytes in a high-speed 125 us
// microframe (USB 2.0's limits for bulk transfers).
//
// A channel has no lock of its own: the chip calls it under its lock.
#pragma once

#include "usbemu/FtdiChipModel.h"
#include "usbemu/MpsseEngine.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace usbemu
{

// The two modem-status bytes with no modem lines driven and the transmitter empty:
// byte 0 bit 0 is always set; byte 1 has THRE and TEMT set.
constexpr std::uint8_t kModemStatus0 = 0x01;
constexpr std::uint8_t kModemStatus1 = 0x60;
// The latency timer after power-up or a reset.
constexpr std::uint8_t kDefaultLatencyMs = 16;

// A transfer that finished on a bulk endpoint, to be handed back to the host.
struct TFinished {
    std::uintptr_t Key = 0;
    std::vector<std::uint8_t> Data; // IN: what arrived
    std::size_t Length = 0;         // bytes moved
    int Status = 0;                 // 0 or the URB's negative errno
};

// How many bulk packets one (micro)frame can carry: the chip's share of USB's clock.
class TBusFrame
{
public:
    using TClock = std::chrono::steady_clock;

    TBusFrame(bool HighSpeed, TClock::time_point Epoch);
    // Takes one packet's place in the (micro)frame that holds At; false when it is full.
    bool TakePacket(TClock::time_point At);
    // The (micro)frame's length.
    TClock::duration Length() const { return FLength; }
    // The chip's millisecond tick at or after At.
    TClock::time_point MillisecondTick(TClock::time_point At) const;

private:
    const TClock::duration FLength;
    const unsigned FPackets;
    const TClock::time_point FEpoch;
    long long FIndex = -1;
    unsigned FUsed = 0;
};

// No limit on what a channel takes from the host.
constexpr std::size_t kNoHold = static_cast<std::size_t>(-1);

// A bulk transfer the host submitted, while the channel works on it.
struct TTransfer {
    std::uintptr_t Key = 0;
    std::vector<std::uint8_t> Data;
    std::size_t Capacity = 0; // IN
    std::size_t Done = 0;     // OUT: bytes taken
    int Status = 0;
};

struct TChipChannel {
    using TClock = std::chrono::steady_clock;

    explicit TChipChannel(const TChipModel &Model);

    // Brings the channel up to Now: takes the OUT packets there is room for, sends the IN
    // packets that are due, as far as the (micro)frame has room, and appends the transfers that
    // finished to Done. The chip calls it at every step of its clock, in time order.
    void Step(TClock::time_point Now, TBusFrame &Frame, std::vector<TFinished> &Done);
    // The earliest moment at which a step may move a packet, if time alone can.
    std::optional<TClock::time_point> NextDue(const TBusFrame &Frame) const;
    bool Busy() const { return !In.empty() || !Out.empty(); }

    const std::size_t MaxPacket; // of both bulk endpoints
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
    std::size_t RefuseIn = 0, RefuseOut = 0;
    bool HaltedIn = false, HaltedOut = false, StuckIn = false, StuckOut = false;
    std::size_t ClearedIn = 0, ClearedOut = 0;
    std::size_t RefusedIn = 0, RefusedOut = 0;
    std::vector<TTransfer> In;
    std::vector<TTransfer> Out;

private:
    TClock::time_point LatencyDue(const TBusFrame &Frame) const;
};

} // namespace usbemu
