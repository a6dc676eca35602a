// The worker's pacing between frames and its draining of the chip before the device is closed:
// plain functions over the steps that the link hands them (its driver calls, its collection into
// the receive ring, its sleeps), deciding with the protocol's NextPace and StillToClock.
#pragma once

#include "device/SscProtocol.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace ssc
{

// The link's steps as the pacing uses them.
struct TWorkerSteps {
    // The driver's receive-queue count into Queued; false when it cannot tell.
    std::function<bool(std::uint32_t &Queued)> QueueCount;
    // Collects what the chip has answered into the receive ring (the worker's CollectReceived,
    // LinkWorker.h).
    std::function<void()> Collect;
    // Waits up to Pause, or until the link is stopped; true when stopped.
    std::function<bool(std::chrono::microseconds Pause)> Sleep;
    // Whether the link is stopped.
    std::function<bool()> Terminated;
    // The link's timed write (SendBuffer): true on FAILURE.
    std::function<bool(const unsigned char *Data, std::uint32_t Length)> Send;
    // Whether a driver call keeps failing: the device is lost.
    std::function<bool()> DeviceFailing;
    // The chip's frame lead (kFrameLead, or kHighSpeedFrameLead); kFrameLead when not given.
    std::function<std::uint32_t()> Lead;
};

// Where the bytes read back reach the end of what the chip was given to clock: a frame cut short
// is clocked only as far as the driver took it.
std::uint64_t ClockedEnd(const TFrame &Frame, const TFlight &Flight);

// Waits until the next frame is due (the chip down to the lead and AddedLead more), collecting
// each answer as it becomes due when the frame just written carries new host bytes (AnswerDue),
// or until the link is stopped. AddedLead is then the addition for the frame after (AddedLead,
// SscProtocol.h).
void AwaitFrameRoom(const TWorkerSteps &Steps, const TFrame &Frame, const TFlight &Flight,
                    bool AnswerDue, std::uint32_t &AddedLead);

// Lets the chip clock out and answer all it was given, a few idle pairs after the last frame
// included; false when the device is lost or the chip did not get there in time.
bool DrainChip(const TWorkerSteps &Steps, const TFrame &Frame, TFlight &Flight);

} // namespace ssc
