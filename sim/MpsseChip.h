// The simulated FTDI chip in MPSSE mode, with the SSC device wired to its clock and data pins.
//
// Principles of operation. The host writes MPSSE commands into a bounded command buffer; the
// chip's command processor takes them out in order, parsing across write boundaries. Commands
// that only set something execute at once. Commands that clock (0x2E, 0x2C, 0x3D) move one
// device bit per SCK period and put their answer bytes into a bounded read queue, from which
// FT_Read takes them. When the read queue is full the processor stalls, as the chip does when
// the host stops reading; then the command buffer fills and FT_Write has to wait.
//
// Time. There is no thread: time passes lazily. Each driver call first brings the chip up to the
// present by the monotonic clock: it works off as many SCK periods as have passed since the chip
// last had work, counted in ticks of the 12 MHz base clock so that no rounding accumulates.
// While the processor has nothing to do (command buffer empty, or a frame waiting for more of
// its data) or is stalled on a full read queue, the clock is not banked: work written later
// starts from the moment it can run. Answer bytes become readable byte by byte as they are
// clocked. A call that must wait (FT_Read for bytes, FT_Write for room) sleeps on a condition
// variable until the moment the work in hand would have produced them, its timeout, or a change
// made by another call. In fast mode every command completes as soon as it is written, bounded
// only by the read queue.
#pragma once

#include "device/D2xx.h"
#include "sim/ByteRing.h"
#include "sim/SimControl.h"
#include "sim/SscDevice.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vsim
{

class Board;
struct CallSettings;

// The buffers of an FT2232H channel, as its datasheet gives them: 4 KiB from the host and 4 KiB
// to it. A 4099-byte frame does not fit behind the data of the one that is clocking: a host that
// writes its next frame shortly before the chip finishes the last waits in FT_Write for the rest
// of the room, and one that gets further ahead waits longer, which is what paces it.
constexpr std::size_t kCommandBufferSize = 4096;
// The answers of one whole 4096-byte frame: a host that stops reading stalls the clock after
// 33 ms at 1 MHz, as the chip does, so a host that reads too seldom loses clock time here as it
// would with the chip, and the memory held stays bounded.
constexpr std::size_t kReadQueueSize = 4096;
// How much of what was written the chip keeps for vsim_GetWriteLog.
constexpr std::size_t kWriteLogSize = 65536;

// MPSSE opcodes the chip understands.
namespace opcode
{
constexpr std::uint8_t kClockBitsIn = 0x2E;     // L: L+1 bits in, LSB first, 1 answer byte
constexpr std::uint8_t kClockBytesIn = 0x2C;    // lo hi: len+1 bytes in, LSB first
constexpr std::uint8_t kClockBytesOutIn = 0x3D; // lo hi data...: len+1 bytes out and in
constexpr std::uint8_t kSetLowPins = 0x80;      // value direction
constexpr std::uint8_t kSetHighPins = 0x82;     // value direction
constexpr std::uint8_t kLoopbackOn = 0x84;
constexpr std::uint8_t kLoopbackOff = 0x85;
constexpr std::uint8_t kSetDivisor = 0x86; // lo hi
// The answer to an opcode the chip does not know: this byte, then the opcode.
constexpr std::uint8_t kBadCommand = 0xFA;
} // namespace opcode

// SCK = kBaseClockHz / ((1 + divisor) * 2): one SCK period lasts 2 * (1 + divisor) base ticks.
constexpr std::uint64_t kBaseClockHz = 12'000'000;
// D2XX's latency timer until the host sets one.
constexpr d2xx::UCHAR kDefaultLatencyMs = 16;
// The data-out pin (ADBUS1) in the low pins, which loop-back feeds to the input.
constexpr std::uint8_t kDataOutPin = 0x02;

class Chip
{
public:
    using Clock = std::chrono::steady_clock;

    Chip(Board &board, std::string description, const StreamStart &start);
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;

    const std::string &Description() const { return description_; }

    d2xx::FT_STATUS SetLatencyTimer(d2xx::UCHAR ms);
    d2xx::FT_STATUS SetTimeouts(d2xx::ULONG readMs, d2xx::ULONG writeMs);
    d2xx::FT_STATUS SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode);
    d2xx::FT_STATUS GetStatus(d2xx::DWORD &rx, d2xx::DWORD &tx);
    d2xx::FT_STATUS Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got);
    d2xx::FT_STATUS Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written);
    // The handle is gone: calls still blocked in this chip return.
    void MarkClosed();
    // A setting changed: blocked calls look again.
    void Wake();

    VsimChipState State();
    std::size_t CopyWriteLog(std::uint8_t *out, std::size_t cap);

private:
    // Why the command processor stopped.
    enum class Stop {
        Idle,    // nothing (complete) to execute
        Stalled, // the read queue is full
        Time,    // the next step needs more time than has passed
    };
    // The clocking command in progress.
    enum class Op { None, ClockBitsIn, ClockBytesIn, ClockBytesOutIn };

    // Brings the chip up to `now`.
    void Advance(Clock::time_point now, const CallSettings &settings);
    // Executes commands with `available` base ticks of time to spend.
    Stop Run(std::uint64_t available);
    bool StartCommand(std::uint8_t code);
    void Rebase(Clock::time_point now);
    void RestartDevice(const StreamStart &start);
    std::uint64_t BitTicks() const { return 2 * (1 + std::uint64_t{divisor_}); }
    Clock::time_point TimeAtTicks(std::uint64_t ticks) const;
    // When the work in hand will have produced `count` more answer bytes, or freed `count`
    // bytes of the command buffer; nothing if only another call can make that happen.
    std::optional<Clock::time_point> WhenAnswered(std::size_t count) const;
    std::optional<Clock::time_point> WhenRoom(std::size_t count) const;
    void Wait(std::unique_lock<std::mutex> &lock, std::optional<Clock::time_point> deadline,
              std::optional<Clock::time_point> wake);
    std::uint8_t LoopbackBits() const;
    void Log(const std::uint8_t *data, std::size_t count);

    Board &board_;
    const std::string description_;
    SscDevice device_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;

    // Recorded settings.
    d2xx::UCHAR latency_ = kDefaultLatencyMs;
    d2xx::ULONG readTimeoutMs_ = 0;
    d2xx::ULONG writeTimeoutMs_ = 0;
    d2xx::UCHAR bitMode_ = d2xx::FT_BITMODE_RESET;
    d2xx::UCHAR bitMask_ = 0;
    int bitModeCalls_ = 0;
    std::uint8_t lowValue_ = 0;
    std::uint8_t lowDir_ = 0;
    std::uint8_t highValue_ = 0;
    std::uint8_t highDir_ = 0;
    bool loopback_ = false;
    std::uint16_t divisor_ = 0;

    // Command processor.
    bool mpsseOn_ = false;
    ByteRing commands_{kCommandBufferSize};
    ByteRing answers_{kReadQueueSize};
    Op op_ = Op::None;
    std::uint32_t remaining_ = 0; // bits (ClockBitsIn) or bytes still to clock
    std::uint8_t shiftRegister_ = 0;

    // Time: base ticks spent since `epoch_`.
    Clock::time_point epoch_;
    std::uint64_t spent_ = 0;
    Stop stop_ = Stop::Idle;
    bool realTime_ = true;

    // Statistics.
    long long bitsClocked_ = 0;
    long long frames_ = 0;
    long long badCommands_ = 0;
    std::uint8_t lastBadOpcode_ = 0;
    unsigned long long largestRead_ = 0;
    unsigned long long largestBacklog_ = 0;
    std::vector<std::uint8_t> writeLog_;
};

} // namespace vsim
