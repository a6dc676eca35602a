#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <climits>
#include <cstdio>

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

// libftdi1's chip types as D2XX numbers them.
d2xx::FT_DEVICE D2xxDeviceType(ftdi_chip_type Type)
{
    constexpr d2xx::FT_DEVICE kBm = 0, kAm = 1, kR = 5, kX = 9, kUnknown = 3;
    switch (Type) {
    case TYPE_AM:
        return kAm;
    case TYPE_BM:
        return kBm;
    case TYPE_2232C:
        return d2xx::FT_DEVICE_2232C;
    case TYPE_R:
        return kR;
    case TYPE_2232H:
        return d2xx::FT_DEVICE_2232H;
    case TYPE_4232H:
        return d2xx::FT_DEVICE_4232H;
    case TYPE_232H:
        return d2xx::FT_DEVICE_232H;
    case TYPE_230X:
        return kX;
    }
    return kUnknown;
}

} // namespace

TFtdiChannel::TFtdiChannel(ftdi_context *Context, std::string Name)
    : FContext(Context), FDeviceType(D2xxDeviceType(Context->type)),
      FPacketSize(Context->max_packet_size > kStatusBytes ? Context->max_packet_size
                                                          : kDefaultPacketSize),
      FReadTransferSize(kReadPackets * FPacketSize), FName(std::move(Name)), FReads(kReadsInFlight),
      FWrites(kWritesInFlight)
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
    for (TOutTransfer &write : FWrites) {
        write.Channel = this;
        write.Transfer = libusb_alloc_transfer(0);
        if (write.Transfer == nullptr)
            return false;
    }
    FEvents = std::thread([this] { HandleEvents(); });
    std::unique_lock lock(FMutex);
    Refill(lock);
    return !FGone;
}

void TFtdiChannel::HandleEvents()
{
    while (!FStopEvents.load()) {
        timeval slice = kEventSlice;
        libusb_handle_events_timeout_completed(FContext->usb_ctx, &slice, nullptr);
        RetrySubmits();
        SayNotes();
    }
}

void TFtdiChannel::RetrySubmits()
{
    std::unique_lock lock(FMutex);
    if (FFromChip.RetryAt)
        Refill(lock);
    if (FToChip.RetryAt)
        SendNext(lock);
}

void TFtdiChannel::SayNotes()
{
    std::vector<std::string> notes;
    {
        std::lock_guard lock(FMutex);
        notes.swap(FNotes);
    }
    for (const std::string &note : notes)
        std::fprintf(stderr, "libftd2xx-ftdi1: \"%s\": %s\n", FName.c_str(), note.c_str());
}

void TFtdiChannel::GiveUpLocked(const std::string &Why)
{
    if (!FGone)
        FNotes.push_back(Why + ": the channel fails from now on");
    FGone = true;
}

void LIBUSB_CALL TFtdiChannel::OnRead(libusb_transfer *Transfer)
{
    auto *read = static_cast<TInTransfer *>(Transfer->user_data);
    read->Channel->Arrived(*read);
}

void TFtdiChannel::Arrived(TInTransfer &Done)
{
    const libusb_transfer *transfer = Done.Transfer;
    std::unique_lock lock(FMutex);
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
    bool clear = false;
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        FFailedReads = 0;
        FFromChip.StallsInRow = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        FGone = true;
        break;
    case LIBUSB_TRANSFER_STALL:
        clear = !FGone && HaltedLocked(FFromChip, Done.Epoch);
        break;
    default:
        if (++FFailedReads >= kReadRetries)
            GiveUpLocked(std::to_string(FFailedReads) + " reads in a row failed (" +
                         libusb_error_name(transfer->status) + ")");
        break;
    }
    if (clear)
        ClearHalt(lock, FFromChip, FromChip(FContext));
    Refill(lock);
    FChanged.notify_all();
}

void TFtdiChannel::Refill(std::unique_lock<std::mutex> &Lock)
{
    if (FClosing || FGone || FFromChip.Halted || PausedLocked(FFromChip))
        return;
    FFromChip.RetryAt.reset();
    std::vector<TInTransfer *> reserved;
    std::size_t reading = std::count_if(FReads.begin(), FReads.end(),
                                        [](const TInTransfer &Each) { return Each.InFlight; });
    for (TInTransfer &read : FReads) {
        if (read.InFlight)
            continue;
        if (FReadAhead.size() + (reading + 1) * FReadTransferSize > kReadAheadSize)
            break;
        read.InFlight = true;
        read.Epoch = FFromChip.Epoch;
        ++FInFlight;
        ++reading;
        reserved.push_back(&read);
    }
    if (reserved.empty())
        return;
    ++FSubmitters;
    Lock.unlock();
    // libusb holds a transfer's own lock across its submit, so its completion cannot come
    // before the submit has returned here.
    std::size_t submitted = 0;
    int result = LIBUSB_SUCCESS;
    while (submitted < reserved.size() &&
           (result = libusb_submit_transfer(reserved[submitted]->Transfer)) == LIBUSB_SUCCESS)
        ++submitted;
    Lock.lock();
    --FSubmitters;
    for (std::size_t i = submitted; i < reserved.size(); ++i) {
        reserved[i]->InFlight = false;
        --FInFlight;
    }
    if (submitted > 0)
        FFromChip.SubmitFailures = 0;
    if (result != LIBUSB_SUCCESS)
        SubmitFailedLocked(FFromChip, result);
    // Close cancels what it finds in flight, and a reserved transfer it found may not have
    // been submitted yet: what was submitted after Close began is cancelled here.
    for (std::size_t i = 0; FClosing && i < submitted; ++i)
        libusb_cancel_transfer(reserved[i]->Transfer);
    FChanged.notify_all();
}

bool TFtdiChannel::PausedLocked(const TEndpoint &Endpoint)
{
    return Endpoint.RetryAt && TClock::now() < *Endpoint.RetryAt;
}

void TFtdiChannel::SubmitFailedLocked(TEndpoint &Endpoint, int Result)
{
    if (Result == LIBUSB_ERROR_NO_DEVICE) {
        FGone = true;
        return;
    }
    // Anything else may pass (the kernel short of memory for a moment): the event thread
    // tries again, and only a submit that keeps failing gives the channel up, where FT_OK with
    // nothing read for ever would hide it.
    if (++Endpoint.SubmitFailures >= kSubmitRetries) {
        GiveUpLocked(std::string("a transfer ") + Endpoint.Name + " could not be submitted " +
                     std::to_string(Endpoint.SubmitFailures) + " times in a row (" +
                     libusb_error_name(Result) + ")");
        return;
    }
    Endpoint.RetryAt = TClock::now() + kSubmitPause;
}

bool TFtdiChannel::HaltedLocked(TEndpoint &Endpoint, unsigned Epoch)
{
    // The transfers that were out when the endpoint halted come back stalled one after
    // another: the first of them clears the halt; a stall of a transfer submitted before the
    // last clear was that halt's.
    if (Endpoint.Halted || Epoch != Endpoint.Epoch)
        return false;
    Endpoint.Halted = true;
    return true;
}

void TFtdiChannel::ClearHalt(std::unique_lock<std::mutex> &Lock, TEndpoint &Endpoint,
                             unsigned char Address)
{
    // A halted endpoint stalls every transfer until the host clears the halt; its transfers
    // wait meanwhile (Refill and SendNext leave a halted endpoint alone). The context stays
    // open while a callback runs: Close stops the event thread and takes FCallMutex first.
    Lock.unlock();
    const int result = libusb_clear_halt(FContext->usb_dev, Address);
    Lock.lock();
    Endpoint.Halted = false;
    ++Endpoint.Epoch;
    ++Endpoint.Stalls;
    if (result == LIBUSB_ERROR_NO_DEVICE) {
        FGone = true;
        return;
    }
    const std::string cleared = result == LIBUSB_SUCCESS
                                    ? "cleared"
                                    : std::string("not cleared, ") + libusb_error_name(result);
    FNotes.push_back(std::string("the endpoint ") + Endpoint.Name + " stalled, " + cleared + " (" +
                     std::to_string(Endpoint.Stalls) + ")");
    if (++Endpoint.StallsInRow > kStallRetries)
        GiveUpLocked(std::string("the endpoint ") + Endpoint.Name + " stalled " +
                     std::to_string(Endpoint.StallsInRow) + " times in a row");
}

void LIBUSB_CALL TFtdiChannel::OnWrite(libusb_transfer *Transfer)
{
    auto *write = static_cast<TOutTransfer *>(Transfer->user_data);
    write->Channel->Sent(*write);
}

void TFtdiChannel::Sent(TOutTransfer &Done)
{
    const libusb_transfer &transfer = *Done.Transfer;
    std::unique_lock lock(FMutex);
    --FInFlight;
    const auto moved = static_cast<std::size_t>(std::max(transfer.actual_length, 0));
    const bool cut = moved < static_cast<std::size_t>(transfer.length);
    if (!SettleWriteLocked(Done, moved, cut) && !FClosing && !FGone)
        GiveUpLocked("a transfer to the chip moved " + std::to_string(moved) +
                     " bytes after the one before it was cut short: the chip has them out of "
                     "order");
    bool clear = false;
    switch (transfer.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        FFailedWrites = 0;
        FToChip.StallsInRow = 0;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        FGone = true;
        break;
    case LIBUSB_TRANSFER_STALL:
        clear = !FGone && HaltedLocked(FToChip, Done.Epoch);
        break;
    default:
        // The rest goes in the next transfer; a chip that takes nothing time after time is lost.
        if (moved > 0)
            FFailedWrites = 0;
        else if (++FFailedWrites >= kWriteRetries)
            GiveUpLocked(std::to_string(FFailedWrites) + " writes in a row moved nothing (" +
                         libusb_error_name(transfer.status) + ")");
        break;
    }
    if (clear)
        ClearHalt(lock, FToChip, ToChip(FContext));
    SendNext(lock);
    FChanged.notify_all();
}

bool TFtdiChannel::SettleWriteLocked(TOutTransfer &Done, std::size_t Moved, bool Cut)
{
    Done.InFlight = false;
    const auto length = static_cast<std::size_t>(Done.Transfer->length);
    FWriteOut -= std::min(length, FWriteOut);
    // An endpoint finishes its transfers in the order they were submitted; the first one out
    // carries the queue's front.
    const bool first = !FWritesOut.empty() && FWritesOut.front() == &Done;
    std::erase(FWritesOut, &Done);
    if (!first || FWriteRewinding) {
        // One of those cancelled behind a cut transfer (or, while closing, any): its bytes sit
        // after the cut one's rest in the queue, so nothing of it may have reached the chip.
        if (FWritesOut.empty())
            FWriteRewinding = false;
        return Moved == 0;
    }
    FWriteQueue.erase(FWriteQueue.begin(),
                      FWriteQueue.begin() + long(std::min(Moved, FWriteQueue.size())));
    if (Cut && !FWritesOut.empty()) {
        // The kernel lets the transfers behind a failed one run on, which would put their bytes
        // before this one's rest: they are cancelled, and the rest goes again once they are
        // back. One still being submitted is cancelled by its submitter (SendNext).
        FWriteRewinding = true;
        for (TOutTransfer *behind : FWritesOut)
            libusb_cancel_transfer(behind->Transfer);
    }
    return true;
}

void TFtdiChannel::SendNext(std::unique_lock<std::mutex> &Lock)
{
    // One thread submits at a time, so that the transfers reach the endpoint in the queue's
    // order; it also sends what others queued while it was submitting.
    if (FWriteSubmitting)
        return;
    FWriteSubmitting = true;
    while (FWritesOut.size() < FWrites.size() && FWriteQueue.size() > FWriteOut && !FClosing &&
           !FGone && !FWriteRewinding && !FToChip.Halted && !PausedLocked(FToChip)) {
        FToChip.RetryAt.reset();
        TOutTransfer &write =
            *std::find_if(FWrites.begin(), FWrites.end(),
                          [](const TOutTransfer &Each) { return !Each.InFlight; });
        const std::size_t size = std::min(FWriteQueue.size() - FWriteOut, kWriteTransferSize);
        const auto from = FWriteQueue.begin() + long(FWriteOut);
        write.Buffer.assign(from, from + long(size));
        // No timeout: the chip takes the bytes as it clocks them out; only FT_Write waits with
        // one.
        libusb_fill_bulk_transfer(write.Transfer, FContext->usb_dev, ToChip(FContext),
                                  write.Buffer.data(), static_cast<int>(size),
                                  &TFtdiChannel::OnWrite, &write, 0);
        write.InFlight = true;
        write.Epoch = FToChip.Epoch;
        FWritesOut.push_back(&write);
        FWriteOut += size;
        ++FInFlight;
        ++FSubmitters;
        Lock.unlock();
        const int result = libusb_submit_transfer(write.Transfer);
        Lock.lock();
        --FSubmitters;
        if (result != LIBUSB_SUCCESS) {
            // The last one reserved: nothing behind it yet. It may have been the last one out
            // behind a cut transfer.
            write.InFlight = false;
            std::erase(FWritesOut, &write);
            FWriteOut -= size;
            if (FWritesOut.empty())
                FWriteRewinding = false;
            --FInFlight;
            SubmitFailedLocked(FToChip, result);
            break;
        }
        FToChip.SubmitFailures = 0;
        // As for the reads (Refill); and one reserved behind a transfer cut meanwhile.
        if (FClosing || FWriteRewinding)
            libusb_cancel_transfer(write.Transfer);
    }
    FWriteSubmitting = false;
    FChanged.notify_all();
}

std::size_t TFtdiChannel::TakeLocked(std::uint8_t *Out, std::size_t Count)
{
    const std::size_t take = std::min(Count, FReadAhead.size());
    std::copy_n(FReadAhead.begin(), take, Out);
    FReadAhead.erase(FReadAhead.begin(), FReadAhead.begin() + static_cast<long>(take));
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
    std::size_t taken = 0;
    bool timedOut = false;
    for (;;) {
        const std::size_t took = TakeLocked(Out + taken, Count - taken);
        taken += took;
        if (took > 0) {
            // There is room for reads again. FMutex is let go while they are submitted, so
            // what arrived meanwhile is taken before waiting.
            Refill(lock);
            continue;
        }
        if (taken == Count || timedOut || FGone || FClosing)
            break;
        if (FReadTimeout.count() == 0)
            FChanged.wait(lock);
        else
            timedOut = FChanged.wait_until(lock, deadline) == std::cv_status::timeout;
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
        SendNext(lock);
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
    for (TOutTransfer *write : FWritesOut)
        libusb_cancel_transfer(write->Transfer);
    FChanged.notify_all();
    // A transfer reserved but not yet submitted is not found by libusb_cancel_transfer: its
    // submitter cancels it once submitted (Refill, SendNext).
    FChanged.wait_for(Lock, kCancelWait, [this] { return FInFlight == 0 && FSubmitters == 0; });
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
        leftOver = FInFlight > 0 || FSubmitters > 0;
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
    SayNotes();
    const int result = ftdi_usb_close(FContext);
    if (!leftOver) {
        for (TInTransfer &read : FReads)
            libusb_free_transfer(read.Transfer);
        for (TOutTransfer &write : FWrites)
            libusb_free_transfer(write.Transfer);
    }
    FReads.clear();
    FWrites.clear();
    ftdi_free(FContext);
    FContext = nullptr;
    return result < 0 || leftOver ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

} // namespace ftdi1
