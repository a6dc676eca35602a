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
unsigned char ToChip(const ftdi_context *Context)
{
    return static_cast<unsigned char>(Context->in_ep);
}
unsigned char FromChip(const ftdi_context *Context)
{
    return static_cast<unsigned char>(Context->out_ep);
}

} // namespace

TFtdiChannel::TFtdiChannel(ftdi_context *Context)
    : FContext(Context),
      FPacketSize(Context->max_packet_size > kStatusBytes ? Context->max_packet_size
                                                          : kDefaultPacketSize),
      FReadTransferSize(kReadPackets * FPacketSize), FReads(kReadsInFlight)
{
}

TFtdiChannel::~TFtdiChannel()
{
    Close();
}

bool TFtdiChannel::Start()
{
    for (TInTransfer &read : FReads) {
        read.Channel = this;
        read.Buffer.resize(FReadTransferSize);
        read.Transfer = libusb_alloc_transfer(0);
        if (read.Transfer == nullptr)
            return false;
        libusb_fill_bulk_transfer(read.Transfer, FContext->usb_dev, FromChip(FContext),
                                  read.Buffer.data(), static_cast<int>(read.Buffer.size()),
                                  &TFtdiChannel::OnRead, &read, 0);
    }
    FWrite = libusb_alloc_transfer(0);
    if (FWrite == nullptr)
        return false;
    FEvents = std::thread([this] { HandleEvents(); });
    std::lock_guard lock(FMutex);
    RefillLocked();
    return !FGone;
}

void TFtdiChannel::HandleEvents()
{
    while (!FStopEvents.load()) {
        timeval slice = kEventSlice;
        libusb_handle_events_timeout_completed(FContext->usb_ctx, &slice, nullptr);
    }
}

void LIBUSB_CALL TFtdiChannel::OnRead(libusb_transfer *Transfer)
{
    auto *read = static_cast<TInTransfer *>(Transfer->user_data);
    read->Channel->Arrived(*read);
}

void TFtdiChannel::Arrived(TInTransfer &Done)
{
    const libusb_transfer *transfer = Done.Transfer;
    std::lock_guard lock(FMutex);
    Done.InFlight = false;
    --FInFlight;
    // Every packet but the last is a full one; each begins with the status bytes.
    const auto length = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    for (std::size_t at = 0; at < length; at += FPacketSize) {
        const std::size_t packet = std::min(FPacketSize, length - at);
        if (packet > kStatusBytes)
            FReadAhead.insert(FReadAhead.end(), Done.Buffer.begin() + long(at + kStatusBytes),
                              Done.Buffer.begin() + long(at + packet));
    }
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        FFailedReads = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        FGone = true;
        break;
    default:
        if (++FFailedReads >= kReadRetries)
            FGone = true;
        break;
    }
    if (!FClosing && !FGone)
        RefillLocked();
    FChanged.notify_all();
}

void TFtdiChannel::RefillLocked()
{
    std::size_t reading = std::count_if(FReads.begin(), FReads.end(),
                                        [](const TInTransfer &Each) { return Each.InFlight; });
    for (TInTransfer &read : FReads) {
        if (read.InFlight)
            continue;
        if (FReadAhead.size() + (reading + 1) * FReadTransferSize > kReadAheadSize)
            return;
        const int result = libusb_submit_transfer(read.Transfer);
        if (result != LIBUSB_SUCCESS) {
            if (result == LIBUSB_ERROR_NO_DEVICE || ++FFailedReads >= kReadRetries)
                FGone = true;
            return;
        }
        read.InFlight = true;
        ++FInFlight;
        ++reading;
    }
}

void LIBUSB_CALL TFtdiChannel::OnWrite(libusb_transfer *Transfer)
{
    static_cast<TFtdiChannel *>(Transfer->user_data)->Sent(*Transfer);
}

void TFtdiChannel::Sent(const libusb_transfer &Transfer)
{
    std::lock_guard lock(FMutex);
    --FInFlight;
    FWriting = false;
    const auto moved = static_cast<std::size_t>(std::max(Transfer.actual_length, 0));
    FWriteQueue.erase(FWriteQueue.begin(),
                      FWriteQueue.begin() + long(std::min(moved, FWriteQueue.size())));
    switch (Transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        FFailedWrites = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        FGone = true;
        break;
    default:
        // The rest goes in the next transfer; a chip that takes nothing time after time is lost.
        if (moved > 0)
            FFailedWrites = 0;
        else if (++FFailedWrites >= kWriteRetries)
            FGone = true;
        break;
    }
    if (!FClosing && !FGone)
        SendNextLocked();
    FChanged.notify_all();
}

void TFtdiChannel::SendNextLocked()
{
    if (FWriting || FWriteQueue.empty())
        return;
    const std::size_t size = std::min(FWriteQueue.size(), kWriteTransferSize);
    FWriteBuffer.assign(FWriteQueue.begin(), FWriteQueue.begin() + long(size));
    // No timeout: the chip takes the bytes as it clocks them out; only FT_Write waits with one.
    libusb_fill_bulk_transfer(FWrite, FContext->usb_dev, ToChip(FContext), FWriteBuffer.data(),
                              static_cast<int>(size), &TFtdiChannel::OnWrite, this, 0);
    const int result = libusb_submit_transfer(FWrite);
    if (result != LIBUSB_SUCCESS) {
        if (result == LIBUSB_ERROR_NO_DEVICE || ++FFailedWrites >= kWriteRetries)
            FGone = true;
        return;
    }
    FWriting = true;
    ++FInFlight;
}

std::size_t TFtdiChannel::TakeLocked(std::uint8_t *Out, std::size_t Count)
{
    const std::size_t take = std::min(Count, FReadAhead.size());
    std::copy_n(FReadAhead.begin(), take, Out);
    FReadAhead.erase(FReadAhead.begin(), FReadAhead.begin() + static_cast<long>(take));
    if (take > 0 && !FClosing && !FGone)
        RefillLocked();
    return take;
}

FT_STATUS TFtdiChannel::SetLatencyTimer(d2xx::UCHAR Ms)
{
    std::lock_guard lock(FCallMutex);
    if (FContext == nullptr)
        return d2xx::FT_IO_ERROR;
    const int result = ftdi_set_latency_timer(FContext, Ms);
    // libftdi1 refuses 0 before it asks the chip (-1); everything else is the device's failure.
    if (result == -1)
        return d2xx::FT_INVALID_PARAMETER;
    return result < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS TFtdiChannel::SetTimeouts(d2xx::ULONG ReadMs, d2xx::ULONG WriteMs)
{
    std::lock_guard lock(FMutex);
    FReadTimeout = std::chrono::milliseconds(ReadMs);
    FWriteTimeoutMs = static_cast<unsigned>(std::min<d2xx::ULONG>(WriteMs, UINT_MAX));
    return d2xx::FT_OK;
}

FT_STATUS TFtdiChannel::SetBitMode(d2xx::UCHAR Mask, d2xx::UCHAR Mode)
{
    std::lock_guard lock(FCallMutex);
    if (FContext == nullptr)
        return d2xx::FT_IO_ERROR;
    return ftdi_set_bitmode(FContext, Mask, Mode) < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS TFtdiChannel::GetStatus(d2xx::DWORD &Rx, d2xx::DWORD &Tx)
{
    std::lock_guard lock(FMutex);
    // A device that is gone is said at once, whatever is left: a caller that reads only whole
    // units of what is waiting would otherwise wait for ever on a lone byte.
    if (FGone || FClosing)
        return d2xx::FT_IO_ERROR;
    Rx = static_cast<d2xx::DWORD>(FReadAhead.size());
    Tx = static_cast<d2xx::DWORD>(FWriteQueue.size());
    return d2xx::FT_OK;
}

FT_STATUS TFtdiChannel::Read(std::uint8_t *Out, std::size_t Count, d2xx::DWORD &Got)
{
    std::unique_lock lock(FMutex);
    const auto deadline = TClock::now() + FReadTimeout;
    std::size_t taken = TakeLocked(Out, Count);
    while (taken < Count && !FGone && !FClosing) {
        if (FReadTimeout.count() == 0) {
            FChanged.wait(lock);
        } else if (FChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
            taken += TakeLocked(Out + taken, Count - taken);
            break;
        }
        taken += TakeLocked(Out + taken, Count - taken);
    }
    Got = static_cast<d2xx::DWORD>(taken);
    // Bytes that arrived before the failure are handed over; the failure shows at the next call.
    return taken == 0 && Count > 0 && (FGone || FClosing) ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

FT_STATUS TFtdiChannel::Write(const std::uint8_t *Data, std::size_t Count, d2xx::DWORD &Written)
{
    std::lock_guard writing(FWriteMutex);
    Written = 0;
    std::unique_lock lock(FMutex);
    const auto deadline = TClock::now() + std::chrono::milliseconds(FWriteTimeoutMs);
    std::size_t queued = 0;
    while (queued < Count && !FGone && !FClosing) {
        const std::size_t room = kWriteQueueSize - FWriteQueue.size();
        if (room == 0) {
            if (FWriteTimeoutMs == 0)
                FChanged.wait(lock);
            else if (FChanged.wait_until(lock, deadline) == std::cv_status::timeout)
                break;
            continue;
        }
        const std::size_t take = std::min(room, Count - queued);
        FWriteQueue.insert(FWriteQueue.end(), Data + queued, Data + queued + take);
        queued += take;
        SendNextLocked();
    }
    Written = static_cast<d2xx::DWORD>(std::min<std::size_t>(queued, UINT_MAX));
    return queued == 0 && Count > 0 && (FGone || FClosing) ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

void TFtdiChannel::CancelAll(std::unique_lock<std::mutex> &Lock)
{
    FClosing = true;
    for (TInTransfer &read : FReads) {
        if (read.InFlight)
            libusb_cancel_transfer(read.Transfer);
    }
    if (FWriting)
        libusb_cancel_transfer(FWrite);
    FChanged.notify_all();
    FChanged.wait_for(Lock, kCancelWait, [this] { return FInFlight == 0; });
}

FT_STATUS TFtdiChannel::Close()
{
    std::lock_guard call(FCallMutex);
    if (FContext == nullptr)
        return d2xx::FT_OK;
    bool leftOver = false;
    {
        std::unique_lock lock(FMutex);
        CancelAll(lock);
        leftOver = FInFlight > 0;
    }
    {
        // A write still waiting for room has seen the channel close before it is taken apart.
        std::lock_guard writing(FWriteMutex);
    }
    if (FEvents.joinable()) {
        FStopEvents = true;
        libusb_interrupt_event_handler(FContext->usb_ctx);
        FEvents.join();
    }
    const int result = ftdi_usb_close(FContext);
    if (!leftOver) {
        for (TInTransfer &read : FReads)
            libusb_free_transfer(read.Transfer);
        libusb_free_transfer(FWrite);
    }
    FReads.clear();
    FWrite = nullptr;
    ftdi_free(FContext);
    FContext = nullptr;
    return result < 0 ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

} // namespace ftdi1
