// The simulated FTDI chip in MPSSE mode, with the SSC device wired to its clock and data pins:
// the driver calls, the lazy clock, the fault switches and the write log. Its command processor
// is TMpsseDecoder.
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
#include "sim/MpsseDecoder.h"
#include "sim/SimControl.h"

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

class TBoard;
struct TCallSettings;

// How much of what was written the chip keeps for vsim_GetWriteLog.
constexpr std::size_t kWriteLogSize = 65536;
// D2XX's latency timer until the host sets one.
constexpr d2xx::UCHAR kDefaultLatencyMs = 16;

class TChip
{
public:
    using Clock = std::chrono::steady_clock;

    TChip(TBoard &board, std::string description, const TStreamStart &start);
    TChip(const TChip &) = delete;
    TChip &operator=(const TChip &) = delete;

    const std::string &Description() const { return FDescription; }

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
    using TStop = TMpsseDecoder::TStop;

    // Brings the chip up to `now`.
    void Advance(Clock::time_point now, const TCallSettings &settings);
    void Rebase(Clock::time_point now);
    Clock::time_point TimeAtTicks(std::uint64_t ticks) const;
    // When the work in hand will have produced `count` more answer bytes, or freed `count`
    // bytes of the command buffer; nothing if only another call can make that happen.
    std::optional<Clock::time_point> WhenAnswered(std::size_t count) const;
    std::optional<Clock::time_point> WhenRoom(std::size_t count) const;
    void Wait(std::unique_lock<std::mutex> &lock, std::optional<Clock::time_point> deadline,
              std::optional<Clock::time_point> wake);
    void Log(const std::uint8_t *data, std::size_t count);

    TBoard &FBoard;
    const std::string FDescription;
    TMpsseDecoder FDecoder;

    std::mutex FMutex;
    std::condition_variable FChanged;
    bool FClosed = false;

    // Recorded settings.
    d2xx::UCHAR FLatency = kDefaultLatencyMs;
    d2xx::ULONG FReadTimeoutMs = 0;
    d2xx::ULONG FWriteTimeoutMs = 0;
    d2xx::UCHAR FBitMode = d2xx::FT_BITMODE_RESET;
    d2xx::UCHAR FBitMask = 0;
    int FBitModeCalls = 0;
    // Outside MPSSE mode the command processor takes nothing.
    bool FMpsseOn = false;

    // Time: base ticks spent since `FEpoch`.
    Clock::time_point FEpoch;
    std::uint64_t FSpent = 0;
    TStop FStop = TStop::Idle;
    bool FRealTime = true;

    // Statistics.
    unsigned long long FLargestRead = 0;
    unsigned long long FLargestBacklog = 0;
    int FWaiting = 0;
    std::vector<std::uint8_t> FWriteLog;
};

} // namespace vsim
