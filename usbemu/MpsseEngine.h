// One channel's MPSSE engine with the SSC device on its pins, clocked by time, between the
// channel's two bounded buffers.
//
// The engine takes commands out of the buffer from the host in order and parses across packet
// boundaries. Shifting commands move one bit per SCK period and put what they read into the
// buffer to the host; while that buffer is full the clock stalls, so the buffer from the host
// stops draining and the host's OUT packets are refused until it reads. Time passes lazily:
// Advance() works off the SCK periods that have passed since the engine last had work; idle or
// stalled time is not banked.
//
// The H chips' clock configuration (divide-by-5, three-phase and adaptive clocking) is kept
// across a bit-mode reset: it is set only by its own opcodes (FTDI's AN_108)
// and comes back to the power-up state (divide-by-5 on, the others off) only with the chip's
// power. No FTDI document we know of says that a bit-mode reset restores it, so a host must assume
// it persists; an emulator that restored it would hide exactly the state that another program (a
// JTAG tool, say) can leave behind. With adaptive
// clocking on, each bit waits for the return clock on GPIOL3, which the SSC device does not drive:
// the clock does not run. Three-phase clocking makes every bit last one and a half periods.
//
// The SSC device is the simulator's (sim/SscDevice.h); it shifts
// LSB first, so MSB-first commands see it bit-reversed, as a wire would show it.
#pragma once

#include "sim/ByteRing.h"
#include "sim/SscDevice.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace usbemu
{

class TMpsseEngine
{
public:
    using TClock = std::chrono::steady_clock;

    TMpsseEngine(std::size_t FromHostBytes, std::size_t ToHostBytes, bool HighSpeedOpcodes);

    // MPSSE on (bit mode 0x02) or off (reset): off clears both buffers and the engine's state.
    void Enable(bool On, TClock::time_point Now);
    bool Enabled() const { return FEnabled; }

    void Advance(TClock::time_point Now);
    // When the command in hand will have moved its next byte (or its bits), if it is clocking.
    std::optional<TClock::time_point> NextStep() const;
    // When the command in hand will have moved Bytes more bytes, or ended if sooner.
    std::optional<TClock::time_point> WhenMoved(std::size_t Bytes) const;

    vsim::TByteRing &FromHost() { return FFromHost; }
    vsim::TByteRing &ToHost() { return FToHost; }
    const vsim::TByteRing &FromHost() const { return FFromHost; }
    const vsim::TByteRing &ToHost() const { return FToHost; }
    // A 0x87 was executed since the last call: the channel sends what it has at once.
    bool TakeSendImmediate();

    // What the SSC device sends once synchronised; it keeps this across Enable() and resets, as
    // a device keeps its own behaviour whatever the chip in front of it does.
    void SetBehaviour(vsim::TBehaviour Behaviour) { FDevice.SetBehaviour(Behaviour); }

    bool Loopback() const { return FLoopback; }
    std::uint16_t Divisor() const { return FDivisor; }
    bool DivideByFive() const { return FDivideByFive; }
    // One bit's clock period; none while adaptive clocking waits for a return clock.
    std::optional<std::uint64_t> BitNanoseconds() const;
    // The clock configuration another program may leave behind (the H chips' opcodes).
    void LeaveClock(bool DivideByFive, bool ThreePhase, bool Adaptive);
    long long BadCommands() const { return FBadCommands; }
    std::uint8_t LowPins() const { return FLowValue; }

private:
    enum class TStop { Idle, Stalled, Time };
    struct TShift {
        bool Active = false;
        bool Write = false, Read = false, Bits = false, LsbFirst = false, Tms = false;
        bool Frame = false;
        std::uint32_t Remaining = 0; // bytes, or bits of a bit command
        std::uint8_t OutBits = 0;    // bit commands' data byte
    };

    TStop Run(std::uint64_t Available);
    std::optional<TClock::time_point> AtTicks(std::uint64_t Ticks) const;
    bool StartCommand(std::uint8_t Code);
    std::uint64_t BitTicks() const;
    std::uint8_t ShiftByte(std::uint8_t Out);
    std::uint8_t ShiftBits(unsigned Count, std::uint8_t Out);
    void Rebase(TClock::time_point Now);
    void ResetState();

    const bool FHighSpeedOpcodes;
    vsim::TByteRing FFromHost;
    vsim::TByteRing FToHost;
    vsim::TSscDevice FDevice;
    bool FEnabled = false;

    TShift FShift;
    std::uint8_t FLowValue = 0, FLowDir = 0, FHighValue = 0, FHighDir = 0;
    bool FLoopback = false;
    std::uint16_t FDivisor = 0;
    bool FDivideByFive = true;
    bool FThreePhase = false;
    bool FAdaptive = false;
    std::uint8_t FShiftRegister = 0;
    bool FSendImmediate = false;
    long long FBadCommands = 0;

    // Time, in ticks of 60 MHz, spent since FEpoch.
    TClock::time_point FEpoch;
    std::uint64_t FSpent = 0;
    TStop FStop = TStop::Idle;
};

} // namespace usbemu
