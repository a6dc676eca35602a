#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace ftdi1
{

namespace
{

using d2xx::FT_STATUS;

// A packet of a high-speed chip, should the context not say.
constexpr std::size_t kDefaultPacketSize = 512;

std::optional<FtdiChannel::Clock::time_point> Deadline(std::chrono::milliseconds timeout)
{
    if (timeout.count() == 0)
        return std::nullopt;
    return FtdiChannel::Clock::now() + timeout;
}

bool Passed(const std::optional<FtdiChannel::Clock::time_point> &deadline)
{
    return deadline && FtdiChannel::Clock::now() >= *deadline;
}

// What is left of the time until `deadline`, in whole milliseconds rounded up, at least 1.
int Remaining(FtdiChannel::Clock::time_point deadline)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - FtdiChannel::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 1, INT_MAX));
}

// libusb takes a timeout of 0 as none at all, as D2XX does.
int ToUsbTimeout(std::chrono::milliseconds timeout)
{
    return static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
}

int ToInt(std::size_t count)
{
    return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

} // namespace

FtdiChannel::FtdiChannel(ftdi_context *context) : context_(context), transfer_(kReadAheadSize) {}

FtdiChannel::~FtdiChannel()
{
    Close();
}

FT_STATUS FtdiChannel::SetLatencyTimer(d2xx::UCHAR ms)
{
    std::lock_guard lock(mutex_);
    const int result = ftdi_set_latency_timer(context_, ms);
    // libftdi1 refuses 0 before it asks the chip (-1); everything else is the device's failure.
    if (result == -1)
        return d2xx::FT_INVALID_PARAMETER;
    return result < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS FtdiChannel::SetTimeouts(d2xx::ULONG readMs, d2xx::ULONG writeMs)
{
    std::lock_guard lock(mutex_);
    readTimeout_ = std::chrono::milliseconds(readMs);
    writeTimeout_ = std::chrono::milliseconds(writeMs);
    // Each libftdi1 read returns within the chip's latency timer; this only bounds a dead chip.
    context_->usb_read_timeout = ToUsbTimeout(readTimeout_);
    context_->usb_write_timeout = ToUsbTimeout(writeTimeout_);
    return d2xx::FT_OK;
}

FT_STATUS FtdiChannel::SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode)
{
    std::lock_guard lock(mutex_);
    return ftdi_set_bitmode(context_, mask, mode) < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

bool FtdiChannel::FillReadAhead()
{
    const std::size_t room = kReadAheadSize - readAhead_.size();
    if (room == 0)
        return true;
    const int got = ftdi_read_data(context_, transfer_.data(), ToInt(room));
    if (got < 0)
        return false;
    readAhead_.insert(readAhead_.end(), transfer_.begin(), transfer_.begin() + got);
    return true;
}

std::size_t FtdiChannel::TakeReadAhead(std::uint8_t *out, std::size_t count)
{
    const std::size_t take = std::min(count, readAhead_.size());
    std::copy_n(readAhead_.begin(), take, out);
    readAhead_.erase(readAhead_.begin(), readAhead_.begin() + static_cast<long>(take));
    return take;
}

FT_STATUS FtdiChannel::GetStatus(d2xx::DWORD &rx)
{
    std::lock_guard lock(mutex_);
    if (!FillReadAhead())
        return d2xx::FT_IO_ERROR;
    rx = static_cast<d2xx::DWORD>(readAhead_.size());
    return d2xx::FT_OK;
}

FT_STATUS FtdiChannel::Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got)
{
    std::lock_guard lock(mutex_);
    const auto deadline = Deadline(readTimeout_);
    std::size_t taken = TakeReadAhead(out, count);
    while (taken < count) {
        const int result = ftdi_read_data(context_, out + taken, ToInt(count - taken));
        if (result < 0) {
            // Bytes already taken are handed over; the failure shows at the next call.
            got = static_cast<d2xx::DWORD>(taken);
            return taken > 0 ? d2xx::FT_OK : d2xx::FT_IO_ERROR;
        }
        taken += static_cast<std::size_t>(result);
        if (taken < count && Passed(deadline))
            break;
    }
    got = static_cast<d2xx::DWORD>(taken);
    return d2xx::FT_OK;
}

FT_STATUS FtdiChannel::Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written)
{
    std::lock_guard lock(mutex_);
    const auto deadline = Deadline(writeTimeout_);
    const std::size_t packet =
        context_->max_packet_size > 0 ? context_->max_packet_size : kDefaultPacketSize;
    std::size_t sent = 0;
    FT_STATUS status = d2xx::FT_OK;
    while (sent < count) {
        // The first packet has the whole timeout, later ones what is left of it; before them the
        // chip's answers make room for its clocking to go on.
        context_->usb_write_timeout = ToUsbTimeout(writeTimeout_);
        if (sent > 0) {
            if (!FillReadAhead()) {
                status = d2xx::FT_IO_ERROR;
                break;
            }
            if (deadline)
                context_->usb_write_timeout = Remaining(*deadline);
        }
        const int result =
            ftdi_write_data(context_, data + sent, ToInt(std::min(packet, count - sent)));
        if (result < 0) {
            status = Passed(deadline) ? d2xx::FT_OK : d2xx::FT_IO_ERROR;
            break;
        }
        sent += static_cast<std::size_t>(result);
        if (sent < count && Passed(deadline))
            break;
    }
    written = static_cast<d2xx::DWORD>(sent);
    return status;
}

FT_STATUS FtdiChannel::Close()
{
    std::lock_guard lock(mutex_);
    if (context_ == nullptr)
        return d2xx::FT_OK;
    const int result = ftdi_usb_close(context_);
    ftdi_free(context_);
    context_ = nullptr;
    return result < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

} // namespace ftdi1
