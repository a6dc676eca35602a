// The handshake's driver steps, beside its two phases (SscProtocol.h): plain functions over the
// few driver calls that the link hands them, each wait timed by the link's timeout on the tick
// counter (Ticks.h). They run on the user-interface thread before the worker touches the device.
#pragma once

#include "device/SscProtocol.h"

#include <cstdint>
#include <functional>

namespace ssc
{

constexpr std::uint32_t kSynchPhaseTimeoutMs = 60;
constexpr int kMinSynchAttempts = 8;

// The device as the handshake uses it.
struct THandshakeDriver {
    // The link's timed write (SendBuffer): true on FAILURE.
    std::function<bool(const unsigned char *Data, std::uint32_t Length)> Send;
    // One read from the driver: its status, 0 on success, and in Got how many bytes came.
    std::function<std::uint32_t(unsigned char *Buffer, std::uint32_t Wanted, std::uint32_t &Got)>
        Read;
    // The driver's receive-queue count; 0 when it cannot tell.
    std::function<std::uint32_t()> Queued;
    // The link's timeout (StartTimeout, TimeoutExpired), which times each wait.
    std::function<void(std::uint32_t Milliseconds)> StartTimeout;
    std::function<bool()> TimeoutExpired;
    // The answer bytes that clock-in commands sent so far still owe, kept by the link from call
    // to call: each command clocks exactly one byte back, and one that came too late for its
    // phase is still on its way or in the queue. Null: not counted.
    std::uint32_t *Owed = nullptr;
};

// Takes the answers still owed to earlier clock-ins, waiting for them at most one phase's time,
// and drops them, so that the next clock-in reads its own answer and not a late one. True on
// FAILURE (a failed read, said as "FT_Read error").
bool DropOwed(const THandshakeDriver &Driver, const TSay &Say);

// Whatever the device left in the input queue goes, through a bounded buffer. True on FAILURE,
// said as "Error in FT_Read spurgo".
bool PurgeInput(const THandshakeDriver &Driver, const TSay &Say);
// The first phase's clock-in: sends Command, then reads byte by byte until Accept takes one or
// the phase's time is up; a byte that comes too late is too late.
TClockAnswer ClockInAndWait(const THandshakeDriver &Driver, const unsigned char *Command,
                            std::size_t Length, const std::function<bool(unsigned char)> &Accept);
// The second phase's clock-in: sends Command, then reads only what the driver says is waiting.
TClockAnswer ClockInAndPoll(const THandshakeDriver &Driver, const unsigned char *Command,
                            std::size_t Length, const std::function<bool(unsigned char)> &Accept);

// The whole handshake after the purge: up to Attempts attempts of both phases on Pattern. On
// success says the attempts left and returns false; true on FAILURE.
bool Synchronise(const THandshakeDriver &Driver, int Attempts, std::int16_t Pattern,
                 const TSay &Say);

} // namespace ssc
