// How fast a link can go and how its pace is told: the protocol's ceilings each way, the
// percentiles of measured times, and the handshake made as the bridge cycle makes it. Shared by
// velmor-bridge --check, the benchmarks and the tests, so that all of them measure alike.
#pragma once

#include "device/SscProtocol.h"

#include <chrono>
#include <vector>

class TSSCClass;

namespace ssc
{

// The protocol's ceilings at the 1 MHz clock the link sets up: a frame clocks its payload at 8 us
// a byte and carries one host byte in every kRingBytesPerHostByte to the device, one device byte
// in every pair from it. Bytes a second.
constexpr double kFrameSeconds = kFramePayload * 8 / 1e6;
constexpr double kToDeviceCeiling = double(kFramePayload) / kRingBytesPerHostByte / kFrameSeconds;
constexpr double kFromDeviceCeiling = kFramePayload / 2.0 / kFrameSeconds;

// The value at fraction P (0..1) of the values in Sorted, sorted already; 0 for none.
double Percentile(const std::vector<double> &Sorted, double P);

// The bridge cycle's tick, at which a handshake call that failed is made again.
constexpr std::chrono::milliseconds kSynchTick{10};

// Synchronises Link as the bridge cycle does: SynchDevice (24 attempts, the pattern 0x01A5) is
// called again at the next tick after a failed call, until it succeeds, the device is lost or
// Patience is over. A single call can fail on a busy machine (a reply later than the handshake's
// 60 ms) without anything being wrong. True on FAILURE, as SynchDevice; FailedCalls counts the
// calls that failed.
bool SynchAtTicks(TSSCClass &Link, int *FailedCalls, std::chrono::milliseconds Patience);

} // namespace ssc
