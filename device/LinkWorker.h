// The link's worker thread, pass by pass: each pass writes one frame from the transmit ring and
// collects the device's answers into the receive ring, then waits until the next frame is due
// (FramePacing.h), so that each frame is written shortly before the chip finishes the one before
// and the answer to new host bytes is collected as soon as it is due. The frame, the host bytes
// in flight and the half pair of an odd read are the worker's alone; the rings, under the link's
// FLock, and the device are the link's, reached through TWorkerLink.
#pragma once

#include "device/D2xx.h"
#include "device/FramePacing.h"
#include "device/LinkRemains.h"
#include "device/SscProtocol.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <vector>

namespace ssc
{

constexpr std::uint32_t kFrameWriteTimeoutMs = 10;

// What the worker uses of its link.
struct TWorkerLink {
    // The lock over both rings: the worker takes it for reading to take from the transmit ring,
    // for writing to add to the receive ring.
    std::shared_mutex &Lock;
    std::function<TRingRef()> Tx;
    std::function<TRingRef()> Rx;
    // FT_Write and FT_Read on the device, each counted in the device's health; their status.
    std::function<d2xx::FT_STATUS(unsigned char *Data, d2xx::DWORD Length, d2xx::DWORD &Written)>
        Write;
    std::function<d2xx::FT_STATUS(unsigned char *Buffer, d2xx::DWORD Wanted, d2xx::DWORD &Got)>
        Read;
    TSay Report;
    // The link's timeout (StartTimeout, TimeoutExpired), which times the frame write.
    std::function<void(std::uint32_t Milliseconds)> StartTimeout;
    std::function<bool()> TimeoutExpired;
    // The link's steps for the pacing and the draining; the worker brings its own Collect.
    TWorkerSteps Steps;
};

class TLinkWorker
{
public:
    explicit TLinkWorker(TWorkerLink Link);
    TLinkWorker(const TLinkWorker &) = delete;
    TLinkWorker &operator=(const TLinkWorker &) = delete;

    // One pass: the frame written, the answers collected, the wait until the next frame is due.
    void Pass();
    // Lets the chip clock out and answer all it was given before the device is closed (DrainChip).
    void Drain();
    // Once the worker has ended, under the link's lock: what it leaves (LeftBehind).
    TLinkRemains Remains();
    // Host bytes the device has clocked in and answered so far; read from any thread.
    std::uint64_t Took() const { return FTook.load(std::memory_order_relaxed); }

private:
    void SendFrame();
    void CollectReceived();

    TWorkerLink FLink;
    // FLink's steps with CollectReceived as their Collect.
    TWorkerSteps FSteps;
    // The worker's frame, finished before the next begins when the driver took it in part.
    TFrame FFrame;
    // The half pair of an odd read, and the worker's read buffer.
    TPairCarry FRxCarry;
    std::vector<unsigned char> FReadBuffer = std::vector<unsigned char>(kReadChunk);
    // The host bytes whose answers have not come back.
    TFlight FFlight;
    // What the pacing adds to the chip's lead after the worker was seen writing late.
    std::uint32_t FAddedLead = 0;
    // What the worker collected while the link was ending and the receive ring could not take.
    std::vector<unsigned char> FRxSpill;
    // Set when the link ended without the chip having clocked out and answered all it was given.
    bool FEndedLost = false;
    std::atomic<std::uint64_t> FTook{0};
};

} // namespace ssc
