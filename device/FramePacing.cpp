#include "device/FramePacing.h"

#include <algorithm>
#include <array>
#include <thread>

namespace ssc
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::chrono::microseconds kClockedByte{8};
constexpr std::chrono::microseconds kPacingMin{500};
constexpr std::chrono::microseconds kPacingStep{40000};
// Before the device is closed, the chip clocks out what it already holds: at most a frame and
// the lead, about 36 ms at 1 MHz. A chip that does not get there in this time is stalled or gone,
// and is closed anyway.
constexpr std::chrono::milliseconds kDrainLimit{100};

} // namespace

std::uint64_t ClockedEnd(const TFrame &Frame, const TFlight &Flight)
{
    if (!Frame.Pending)
        return Flight.Written;
    const std::uint32_t taken = std::max<std::uint32_t>(Frame.Sent, kFrameHeader) - kFrameHeader;
    return Flight.Written - (kFramePayload - taken);
}

void AwaitFrameRoom(const TWorkerSteps &Steps, const TFrame &Frame, const TFlight &Flight,
                    bool AnswerDue, std::uint32_t &AddedLead)
{
    // Paced by what has come back, not by the driver's transmit count, which FTDI's library
    // keeps only until it has handed the bytes to the chip and a driver over libftdi1 not at all.
    std::size_t due = AnswerDue ? 0 : kAnswerDue.size();
    const std::uint32_t base = Steps.Lead ? Steps.Lead() : kFrameLead;
    const std::uint32_t lead = base + AddedLead;
    while (!Steps.Terminated()) {
        std::uint32_t queued = 0;
        // A chip that cannot say how far it is gets one pause, not a busy loop.
        if (!Steps.QueueCount(queued)) {
            Steps.Sleep(kPacingStep);
            return;
        }
        const std::uint64_t left = StillToClock(ClockedEnd(Frame, Flight), Flight.ReadBack, queued);
        const TPace pace = NextPace(left, due, lead);
        if (pace.Step == TPaceStep::WriteNext) {
            AddedLead = ssc::AddedLead(AddedLead, base, left);
            return;
        }
        if (pace.Step == TPaceStep::Collect) {
            Steps.Collect();
            continue;
        }
        const auto pause = std::clamp(kClockedByte * static_cast<std::int64_t>(pace.WaitBytes),
                                      std::chrono::microseconds(kPacingMin),
                                      std::chrono::microseconds(kPacingStep));
        if (Steps.Sleep(pause))
            return;
        // Collected after every pause, whatever it waited for: a chip whose read queue is full
        // stops clocking until it is read.
        Steps.Collect();
    }
}

bool DrainChip(const TWorkerSteps &Steps, const TFrame &Frame, TFlight &Flight)
{
    // The host bytes in frames the driver took must reach the device, and their answers come
    // back, not be thrown away with the chip's buffers when the device is closed and the next
    // link resets the chip: everything the chip was given is clocked and read back. A host byte
    // among the last clocked may still owe its answer; a few idle pairs let the device send it,
    // unless a frame cut short waits in the chip for the rest of its data.
    const auto deadline = Clock::now() + kDrainLimit;
    bool flushed = false;
    for (;;) {
        if (Steps.DeviceFailing())
            return false;
        Steps.Collect();
        const std::uint64_t end = ClockedEnd(Frame, Flight);
        if (Flight.ReadBack >= end) {
            if (flushed || Flight.Bytes.empty() || Frame.Pending)
                return true;
            flushed = true;
            std::array<unsigned char, kFrameHeader + kAnswerFlush> flush{};
            std::copy(kFlushCommand.begin(), kFlushCommand.end(), flush.begin());
            if (Steps.Send(flush.data(), flush.size()))
                return false;
            Flight.Written += kAnswerFlush;
            continue;
        }
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        // Never longer than the chip takes to fill half its buffer for answers: a full one
        // would stop its clock.
        const auto ahead = std::min<std::uint64_t>(end - Flight.ReadBack, kMostUncollected);
        const auto pause =
            std::max<Clock::duration>(kClockedByte * static_cast<int>(ahead), kPacingMin);
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    }
}

} // namespace ssc
