#include "device/LinkWorker.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

using namespace d2xx;

namespace ssc
{

namespace
{

// After a frame write call that failed outright, before the next try.
constexpr std::chrono::milliseconds kFailedWritePause{1};

} // namespace

TLinkWorker::TLinkWorker(TWorkerLink Link) : FLink(std::move(Link)), FSteps(FLink.Steps)
{
    FSteps.Collect = [this] { CollectReceived(); };
}

void TLinkWorker::Pass()
{
    SendFrame();
    CollectReceived();
    AwaitFrameRoom(FSteps, FFrame, FFlight, CarriesNewHostBytes(FFrame) && !FFrame.Pending,
                   FAddedLead);
}

void TLinkWorker::Drain()
{
    FEndedLost = !DrainChip(FSteps, FFrame, FFlight);
}

TLinkRemains TLinkWorker::Remains()
{
    return LeftBehind(FFrame, FFlight, FLink.Tx(), FLink.Rx(), FRxSpill, FEndedLost);
}

void TLinkWorker::SendFrame()
{
    // A frame cut short is finished on the next pass, never restarted: a new header in its place
    // would be clocked out as data, and the rest of the new frame would reach the chip as
    // commands.
    if (!FFrame.Pending) {
        std::shared_lock lock(FLink.Lock);
        BuildFrame(FFrame, FLink.Tx());
        FrameBuilt(FFlight, FFrame);
    }

    FLink.StartTimeout(kFrameWriteTimeoutMs);
    while (FFrame.Pending) {
        DWORD count = 0;
        const FT_STATUS status =
            FLink.Write(FFrame.Bytes.data() + FFrame.Sent, kFrameSize - FFrame.Sent, count);
        // What the driver says it took, it took, whatever the status: offering those bytes
        // again would clock them out twice and shift the rest of the payload into commands.
        if (count != 0) {
            FrameTaken(FFrame, count);
            FLink.StartTimeout(kFrameWriteTimeoutMs);
        } else if (FLink.TimeoutExpired()) {
            FLink.Report(TLinkEventKind::Error, "FT_Write TIMEOUT");
            return;
        }
        if (status != FT_OK && FFrame.Pending)
            std::this_thread::sleep_for(kFailedWritePause);
    }
}

void TLinkWorker::CollectReceived()
{
    DWORD queued = 0;
    FSteps.QueueCount(queued);
    if (queued == 0)
        return;

    DWORD wanted = 0;
    {
        std::unique_lock lock(FLink.Lock);
        const TRingRef rx = FLink.Rx();
        // Once the link is ending nobody takes from the ring: what it holds moves aside, so that
        // the chip's last answers still find room.
        if (FSteps.Terminated() && rx.Count > kRingSize / 2) {
            const std::size_t spilled = FRxSpill.size();
            FRxSpill.resize(spilled + static_cast<std::size_t>(rx.Count));
            TakeFromRing(rx, FRxSpill.data() + spilled, rx.Count);
        }
        wanted = ReadSize(queued, rx.Count, FRxCarry);
    }
    if (wanted == 0)
        return;
    // Read into the worker's own buffer without the lock: the UI thread never waits on a driver
    // call. The room counted stays, as meanwhile the ring's consumer only takes from it.
    DWORD got = 0;
    FLink.Read(FReadBuffer.data(), wanted, got);
    // What the driver says it read, it read, whatever the status: dropping it would move the
    // pair boundary for every read that follows.
    got = std::min(got, wanted);
    // What the device took is counted before its answers reach the ring: whoever reads an echo
    // from the ring (under the lock) then sees the byte that caused it counted too.
    AnswersRead(FFlight, FReadBuffer.data(), got);
    FTook.store(FFlight.Answered, std::memory_order_relaxed);
    std::unique_lock lock(FLink.Lock);
    CollectPairs(FLink.Rx(), FRxCarry, FReadBuffer.data(), got);
}

} // namespace ssc
