#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <climits>

namespace ftdi1
{

namespace
{

using d2xx::FT_STATUS;

// The modem-status bytes that begin every packet from the chip.
constexpr std::size_t kStatusBytes = 2;
// A packet of a full-speed chip, should the context not say.
constexpr std::size_t kDefaultPacketSize = 64;
// How often the event thread looks at its stop flag when nothing wakes it.
constexpr timeval kEventSlice{0, 100000};

// libftdi1 names its endpoints from the chip's side: it writes to in_ep and reads from out_ep.
unsigned char ToChip(const ftdi_context *context)
{
    return static_cast<unsigned char>(context->in_ep);
}
unsigned char FromChip(const ftdi_context *context)
{
    return static_cast<unsigned char>(context->out_ep);
}

} // namespace

FtdiChannel::FtdiChannel(ftdi_context *context)
    : context_(context),
      packetSize_(context->max_packet_size > kStatusBytes ? context->max_packet_size
                                                          : kDefaultPacketSize),
      readTransferSize_(kReadPackets * packetSize_), reads_(kReadsInFlight)
{
}

FtdiChannel::~FtdiChannel()
{
    Close();
}

bool FtdiChannel::Start()
{
    for (InTransfer &read : reads_) {
        read.channel = this;
        read.buffer.resize(readTransferSize_);
        read.transfer = libusb_alloc_transfer(0);
        if (read.transfer == nullptr)
            return false;
        libusb_fill_bulk_transfer(read.transfer, context_->usb_dev, FromChip(context_),
                                  read.buffer.data(), static_cast<int>(read.buffer.size()),
                                  &FtdiChannel::OnRead, &read, 0);
    }
    write_ = libusb_alloc_transfer(0);
    if (write_ == nullptr)
        return false;
    events_ = std::thread([this] { HandleEvents(); });
    std::lock_guard lock(mutex_);
    RefillLocked();
    return !gone_;
}

void FtdiChannel::HandleEvents()
{
    while (!stopEvents_.load()) {
        timeval slice = kEventSlice;
        libusb_handle_events_timeout_completed(context_->usb_ctx, &slice, nullptr);
    }
}

void LIBUSB_CALL FtdiChannel::OnRead(libusb_transfer *transfer)
{
    auto *read = static_cast<InTransfer *>(transfer->user_data);
    read->channel->Arrived(*read);
}

void FtdiChannel::Arrived(InTransfer &read)
{
    const libusb_transfer *transfer = read.transfer;
    std::lock_guard lock(mutex_);
    read.inFlight = false;
    --inFlight_;
    // Every packet but the last is a full one; each begins with the status bytes.
    const auto length = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    for (std::size_t at = 0; at < length; at += packetSize_) {
        const std::size_t packet = std::min(packetSize_, length - at);
        if (packet > kStatusBytes)
            readAhead_.insert(readAhead_.end(), read.buffer.begin() + long(at + kStatusBytes),
                              read.buffer.begin() + long(at + packet));
    }
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        failedReads_ = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        gone_ = true;
        break;
    default:
        if (++failedReads_ >= kReadRetries)
            gone_ = true;
        break;
    }
    if (!closing_ && !gone_)
        RefillLocked();
    changed_.notify_all();
}

void FtdiChannel::RefillLocked()
{
    std::size_t reading = std::count_if(reads_.begin(), reads_.end(),
                                        [](const InTransfer &read) { return read.inFlight; });
    for (InTransfer &read : reads_) {
        if (read.inFlight)
            continue;
        if (readAhead_.size() + (reading + 1) * readTransferSize_ > kReadAheadSize)
            return;
        const int result = libusb_submit_transfer(read.transfer);
        if (result != LIBUSB_SUCCESS) {
            if (result == LIBUSB_ERROR_NO_DEVICE || ++failedReads_ >= kReadRetries)
                gone_ = true;
            return;
        }
        read.inFlight = true;
        ++inFlight_;
        ++reading;
    }
}

void LIBUSB_CALL FtdiChannel::OnWrite(libusb_transfer *transfer)
{
    static_cast<FtdiChannel *>(transfer->user_data)->Sent(*transfer);
}

void FtdiChannel::Sent(const libusb_transfer &transfer)
{
    std::lock_guard lock(mutex_);
    --inFlight_;
    writing_ = false;
    const auto moved = static_cast<std::size_t>(std::max(transfer.actual_length, 0));
    writeQueue_.erase(writeQueue_.begin(),
                      writeQueue_.begin() + long(std::min(moved, writeQueue_.size())));
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        failedWrites_ = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        gone_ = true;
        break;
    default:
        // The rest goes in the next transfer; a chip that takes nothing time after time is lost.
        if (moved > 0)
            failedWrites_ = 0;
        else if (++failedWrites_ >= kWriteRetries)
            gone_ = true;
        break;
    }
    if (!closing_ && !gone_)
        SendNextLocked();
    changed_.notify_all();
}

void FtdiChannel::SendNextLocked()
{
    if (writing_ || writeQueue_.empty())
        return;
    const std::size_t size = std::min(writeQueue_.size(), kWriteTransferSize);
    writeBuffer_.assign(writeQueue_.begin(), writeQueue_.begin() + long(size));
    // No timeout: the chip takes the bytes as it clocks them out; only FT_Write waits with one.
    libusb_fill_bulk_transfer(write_, context_->usb_dev, ToChip(context_), writeBuffer_.data(),
                              static_cast<int>(size), &FtdiChannel::OnWrite, this, 0);
    const int result = libusb_submit_transfer(write_);
    if (result != LIBUSB_SUCCESS) {
        if (result == LIBUSB_ERROR_NO_DEVICE || ++failedWrites_ >= kWriteRetries)
            gone_ = true;
        return;
    }
    writing_ = true;
    ++inFlight_;
}

std::size_t FtdiChannel::TakeLocked(std::uint8_t *out, std::size_t count)
{
    const std::size_t take = std::min(count, readAhead_.size());
    std::copy_n(readAhead_.begin(), take, out);
    readAhead_.erase(readAhead_.begin(), readAhead_.begin() + static_cast<long>(take));
    if (take > 0 && !closing_ && !gone_)
        RefillLocked();
    return take;
}

FT_STATUS FtdiChannel::SetLatencyTimer(d2xx::UCHAR ms)
{
    std::lock_guard lock(callMutex_);
    if (context_ == nullptr)
        return d2xx::FT_IO_ERROR;
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
    writeTimeoutMs_ = static_cast<unsigned>(std::min<d2xx::ULONG>(writeMs, UINT_MAX));
    return d2xx::FT_OK;
}

FT_STATUS FtdiChannel::SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode)
{
    std::lock_guard lock(callMutex_);
    if (context_ == nullptr)
        return d2xx::FT_IO_ERROR;
    return ftdi_set_bitmode(context_, mask, mode) < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS FtdiChannel::GetStatus(d2xx::DWORD &rx, d2xx::DWORD &tx)
{
    std::lock_guard lock(mutex_);
    // A device that is gone is said at once, whatever is left: a caller that reads only whole
    // units of what is waiting would otherwise wait for ever on a lone byte.
    if (gone_ || closing_)
        return d2xx::FT_IO_ERROR;
    rx = static_cast<d2xx::DWORD>(readAhead_.size());
    tx = static_cast<d2xx::DWORD>(writeQueue_.size());
    return d2xx::FT_OK;
}

FT_STATUS FtdiChannel::Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got)
{
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + readTimeout_;
    std::size_t taken = TakeLocked(out, count);
    while (taken < count && !gone_ && !closing_) {
        if (readTimeout_.count() == 0) {
            changed_.wait(lock);
        } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            taken += TakeLocked(out + taken, count - taken);
            break;
        }
        taken += TakeLocked(out + taken, count - taken);
    }
    got = static_cast<d2xx::DWORD>(taken);
    // Bytes that arrived before the failure are handed over; the failure shows at the next call.
    return taken == 0 && count > 0 && (gone_ || closing_) ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS FtdiChannel::Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written)
{
    std::lock_guard writing(writeMutex_);
    written = 0;
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
    std::size_t queued = 0;
    while (queued < count && !gone_ && !closing_) {
        const std::size_t room = kWriteQueueSize - writeQueue_.size();
        if (room == 0) {
            if (writeTimeoutMs_ == 0)
                changed_.wait(lock);
            else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout)
                break;
            continue;
        }
        const std::size_t take = std::min(room, count - queued);
        writeQueue_.insert(writeQueue_.end(), data + queued, data + queued + take);
        queued += take;
        SendNextLocked();
    }
    written = static_cast<d2xx::DWORD>(std::min<std::size_t>(queued, UINT_MAX));
    return queued == 0 && count > 0 && (gone_ || closing_) ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

void FtdiChannel::CancelAll(std::unique_lock<std::mutex> &lock)
{
    closing_ = true;
    for (InTransfer &read : reads_) {
        if (read.inFlight)
            libusb_cancel_transfer(read.transfer);
    }
    if (writing_)
        libusb_cancel_transfer(write_);
    changed_.notify_all();
    changed_.wait_for(lock, kCancelWait, [this] { return inFlight_ == 0; });
}

FT_STATUS FtdiChannel::Close()
{
    std::lock_guard call(callMutex_);
    if (context_ == nullptr)
        return d2xx::FT_OK;
    bool leftOver = false;
    {
        std::unique_lock lock(mutex_);
        CancelAll(lock);
        leftOver = inFlight_ > 0;
    }
    {
        // A write still waiting for room has seen the channel close before it is taken apart.
        std::lock_guard writing(writeMutex_);
    }
    if (events_.joinable()) {
        stopEvents_ = true;
        libusb_interrupt_event_handler(context_->usb_ctx);
        events_.join();
    }
    const int result = ftdi_usb_close(context_);
    if (!leftOver) {
        for (InTransfer &read : reads_)
            libusb_free_transfer(read.transfer);
        libusb_free_transfer(write_);
    }
    reads_.clear();
    write_ = nullptr;
    ftdi_free(context_);
    context_ = nullptr;
    return result < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

} // namespace ftdi1
