// One channel's MPSSE engine with the SSC device on its pins, clocked by time, between the
// channel's two bounded buffers.
//
// The engine takes commands out of the buffer from the host in order and parses across packet
// boundaries. Shifting commands move one bit per SCK period and put what they read into the
// buffer to the host; while that buffer is full the clock stalls, so the buffer from the host
// stops draining and the host's OUT packets are refused until it reads. Time passes lazily:
// Advance() works off the SCK periods that have passed since the engine last had work; idle or
// stalled time is not banked. The SSC device is the simulator's (sim/SscDevice.h); it shifts
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

class MpsseEngine
{
public:
    using Clock = std::chrono::steady_clock;

    MpsseEngine(std::size_t fromHostBytes, std::size_t toHostBytes, bool highSpeedOpcodes);

    // MPSSE on (bit mode 0x02) or off (reset): off clears both buffers and the engine's state.
    void Enable(bool on, Clock::time_point now);
    bool Enabled() const { return enabled_; }

    void Advance(Clock::time_point now);
    // When the command in hand will have moved its next byte (or its bits), if it is clocking.
    std::optional<Clock::time_point> NextStep() const;

    vsim::TByteRing &FromHost() { return fromHost_; }
    vsim::TByteRing &ToHost() { return toHost_; }
    // A 0x87 was executed since the last call: the channel sends what it has at once.
    bool TakeSendImmediate();

    // What the SSC device sends once synchronised; it keeps this across Enable() and resets, as
    // a device keeps its own behaviour whatever the chip in front of it does.
    void SetBehaviour(vsim::TBehaviour behaviour) { device_.SetBehaviour(behaviour); }

    bool Loopback() const { return loopback_; }
    std::uint16_t Divisor() const { return divisor_; }
    long long BadCommands() const { return badCommands_; }
    std::uint8_t LowPins() const { return lowValue_; }

private:
    enum class Stop { Idle, Stalled, Time };
    struct Shift {
        bool active = false;
        bool write = false, read = false, bits = false, lsbFirst = false, tms = false;
        bool frame = false;
        std::uint32_t remaining = 0; // bytes, or bits of a bit command
        std::uint8_t outBits = 0;    // bit commands' data byte
    };

    Stop Run(std::uint64_t available);
    bool StartCommand(std::uint8_t code);
    std::uint64_t BitTicks() const;
    std::uint8_t ShiftByte(std::uint8_t out);
    std::uint8_t ShiftBits(unsigned count, std::uint8_t out);
    void Rebase(Clock::time_point now);
    void ResetState();

    const bool highSpeedOpcodes_;
    vsim::TByteRing fromHost_;
    vsim::TByteRing toHost_;
    vsim::TSscDevice device_;
    bool enabled_ = false;

    Shift shift_;
    std::uint8_t lowValue_ = 0, lowDir_ = 0, highValue_ = 0, highDir_ = 0;
    bool loopback_ = false;
    std::uint16_t divisor_ = 0;
    bool divideByFive_ = true;
    std::uint8_t shiftRegister_ = 0;
    bool sendImmediate_ = false;
    long long badCommands_ = 0;

    // Time, in ticks of 60 MHz, spent since epoch_.
    Clock::time_point epoch_;
    std::uint64_t spent_ = 0;
    Stop stop_ = Stop::Idle;
};

} // namespace usbemu
