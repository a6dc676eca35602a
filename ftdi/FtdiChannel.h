// One open MPSSE channel, driven through libftdi1 with D2XX's semantics.
//
// Principles of operation. libftdi1 moves bytes in USB transfers and cannot say how many bytes
// the chip holds for the host. The channel therefore keeps a read-ahead buffer: FT_GetStatus
// reads what the chip has into it and counts it, and FT_Read takes from it before it asks the
// chip. FT_Write goes out one USB packet per libftdi1 call, so that a write the timeout cuts
// short still knows exactly how many bytes the chip took (a chip takes a packet whole or not at
// all). Between packets it reads the chip's answers into the read-ahead buffer: a chip whose
// receive FIFO is full stops clocking and, with it, stops taking commands.
//
// Time. A libftdi1 read returns what the chip sent within its latency timer, possibly nothing,
// so FT_Read asks again until it has what it wants or its read timeout has passed. A write
// failure after the write timeout is the timeout (FT_OK with the count); one before it is an
// error of the device.
//
// Every call takes the channel's lock: libftdi1's context is not to be used by two threads at once.
#pragma once

#include "device/D2xx.h"

#include <ftdi.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace ftdi1
{

// The read-ahead buffer holds at most this much; beyond it the bytes wait in the chip.
constexpr std::size_t kReadAheadSize = 65536;

class FtdiChannel
{
public:
    using Clock = std::chrono::steady_clock;

    // Takes over an opened context.
    explicit FtdiChannel(ftdi_context *context);
    ~FtdiChannel();
    FtdiChannel(const FtdiChannel &) = delete;
    FtdiChannel &operator=(const FtdiChannel &) = delete;

    d2xx::FT_STATUS SetLatencyTimer(d2xx::UCHAR ms);
    d2xx::FT_STATUS SetTimeouts(d2xx::ULONG readMs, d2xx::ULONG writeMs);
    d2xx::FT_STATUS SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode);
    d2xx::FT_STATUS GetStatus(d2xx::DWORD &rx);
    d2xx::FT_STATUS Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got);
    d2xx::FT_STATUS Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written);
    // Releases the chip; FT_IO_ERROR if it could not be released cleanly (it is gone).
    d2xx::FT_STATUS Close();

private:
    // One read of what the chip has into the read-ahead buffer; false on a USB failure.
    bool FillReadAhead();
    std::size_t TakeReadAhead(std::uint8_t *out, std::size_t count);

    std::mutex mutex_;
    ftdi_context *context_;
    std::deque<std::uint8_t> readAhead_;
    std::vector<std::uint8_t> transfer_;
    std::chrono::milliseconds readTimeout_{0}; // 0 = wait for ever, as D2XX
    std::chrono::milliseconds writeTimeout_{0};
};

} // namespace ftdi1
