#include "device/Tsscclass.h"

#include "device/Ticks.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

using namespace d2xx;
using namespace ssc;

namespace
{

constexpr std::chrono::milliseconds kIdleSleep{1000};
constexpr std::chrono::milliseconds kSynchSettle{1};
constexpr std::chrono::milliseconds kRetirePoll{5};

// The next frame is written once the chip has no more than this many command bytes left to clock
// (about 8 ms at 1 MHz): enough to keep it clocking without a gap, late enough that the frame
// carries the host bytes queued meanwhile. Until then the worker sleeps for about the time the
// chip needs to get there (8 us a byte at the 1 MHz the set-up chooses), then collects the
// answer that arrived meanwhile.
constexpr DWORD kFrameLowWater = 1024;
constexpr std::chrono::microseconds kClockedByte{8};
constexpr std::chrono::microseconds kPacingMin{1000};
constexpr std::chrono::microseconds kPacingStep{40000};
// After a frame write call that failed outright, before the next try.
constexpr std::chrono::milliseconds kFailedWritePause{1};

constexpr unsigned char kFrameCommand[kFrameHeader] = {0x3D, 0xFF, 0x0F};

// Pins 0 and 1 (clock and data out) as outputs, loop-back off, SCK = 12 MHz / ((1 + 5) * 2).
constexpr unsigned char kSetupCommands[] = {0x80, 0x00, 0x03, 0x82, 0x00,
                                            0x00, 0x85, 0x86, 0x05, 0x00};

// Handshake: clock one more bit in; then clock one whole byte in.
constexpr unsigned char kClockOneBit[] = {0x2E, 0x00};
constexpr unsigned char kClockOneByte[] = {0x2C, 0x00, 0x00};

bool OnUiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

AnsiString HexByte(unsigned char Byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", Byte);
    return text;
}

// Copies Count bytes out of a ring starting at From, wrapping at the ring's end.
void CopyFromRing(const unsigned char *Ring, int From, unsigned char *To, int Count)
{
    const int first = std::min(Count, kRingSize - From);
    std::memcpy(To, Ring + From, static_cast<std::size_t>(first));
    std::memcpy(To + first, Ring, static_cast<std::size_t>(Count - first));
}

} // namespace

TSSCClass::TSSCClass(TSSCMessageEvent OnMessage) : FOnMessage(std::move(OnMessage))
{
    start();
}

TSSCClass::~TSSCClass()
{
    // A QThread must never be destroyed while it runs.
    if (isRunning()) {
        Stop();
        wait();
    }
    // QThread::wait() synchronises through Qt's own primitives; this makes the worker's last
    // writes visible here in terms that the C++ memory model (and TSan) can see too.
    [[maybe_unused]] const bool ended = FEnded.load(std::memory_order_acquire);
}

void TSSCClass::run()
{
    Execute();
}

// ---------------------------------------------------------------------------------------------
// Opening and life cycle

bool TSSCClass::Init(const AnsiString &Description)
{
    if (FDevice) {
        Report("Already inited");
        return true;
    }

    // Bind the driver library and its entry points.
    if (FLibrary) {
        UnloadLibrary(FLibrary);
        FLibrary = nullptr;
    }
    std::string file;
    FLibrary = LoadDriver(file);
    if (!FLibrary) {
        Report("Can not load " + file);
        return true;
    }
    const std::string missing = BindEntryPoints(FLibrary);
    if (!missing.empty()) {
        Report("Missing " + missing);
        return true;
    }

    // Open the device by its description.
    FT_HANDLE handle = nullptr;
    if (Table.FT_OpenEx(const_cast<char *>(Description.c_str()), FT_OPEN_BY_DESCRIPTION, &handle) !=
        FT_OK) {
        Report("Error in FT_OpenEx DeviceDescr:" + Description);
        return true;
    }
    FDevice = handle;

    // Configure the chip for MPSSE; the results tell nothing the set-up write won't.
    Table.FT_SetLatencyTimer(FDevice, kLatencyMs);
    Table.FT_SetBitMode(FDevice, 0x00, FT_BITMODE_RESET);
    Table.FT_SetBitMode(FDevice, 0x00, FT_BITMODE_MPSSE);
    Table.FT_SetTimeouts(FDevice, kDriverTimeoutMs, kDriverTimeoutMs);

    if (SendBuffer(kSetupCommands, sizeof kSetupCommands)) {
        Report("Error in sending...");
        return true;
    }
    Report("Inited");
    return false;
}

bool TSSCClass::ListDevices(QStringList &List)
{
    if (!Table.FT_ListDevices)
        return true;
    DWORD count = 0;
    if (Table.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK)
        return true;
    for (DWORD index = 0; index < count; ++index) {
        char description[kDescriptionSize] = {};
        void *byIndex = reinterpret_cast<void *>(static_cast<std::uintptr_t>(index));
        if (Table.FT_ListDevices(byIndex, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) !=
            FT_OK)
            return true;
        // A driver may fill all 64 bytes and leave out the NUL.
        List.append(QString::fromLocal8Bit(description, strnlen(description, kDescriptionSize)));
    }
    return false;
}

bool TSSCClass::Stop()
{
    if (isRunning())
        setPriority(QThread::NormalPriority);
    requestInterruption();
    {
        std::lock_guard guard(FWakeMutex);
        FStopRequested = true;
    }
    FWake.notify_all();
    return false;
}

void TSSCClass::MarkSynched()
{
    {
        std::lock_guard guard(FWakeMutex);
        Synched = true;
    }
    FWake.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Millisecond timeout on the 32-bit tick counter

void TSSCClass::StartTimeout(std::uint32_t Milliseconds)
{
    const std::uint32_t now = ticks::Now();
    FDeadline = now + Milliseconds;
    FLastTick = now;
}

bool TSSCClass::TimeoutExpired()
{
    const std::uint32_t now = ticks::Now();
    // The signed distance from the deadline stays right across the counter's wrap.
    if (static_cast<std::int32_t>(now - FDeadline) >= 0)
        return true;
    FLastTick = now;
    return false;
}

bool TSSCClass::SendBuffer(const unsigned char *Data, std::uint32_t Length)
{
    StartTimeout(kSendBufferTimeoutMs);
    std::uint32_t sent = 0;
    FT_STATUS status = FT_OK;
    while (sent < Length) {
        DWORD written = 0;
        status = Table.FT_Write(FDevice, const_cast<unsigned char *>(Data + sent), Length - sent,
                                &written);
        if (written != 0) {
            sent += std::min<std::uint32_t>(written, Length - sent);
            StartTimeout(kSendBufferTimeoutMs);
        }
        if (sent < Length && TimeoutExpired()) {
            Report("SendBuffer TIMEOUT");
            return true;
        }
    }
    return status != FT_OK;
}

// ---------------------------------------------------------------------------------------------
// Messages

void TSSCClass::Report(const AnsiString &Text)
{
    if (!FOnMessage)
        return;
    {
        std::lock_guard guard(FMessageMutex);
        FMessage = Text;
    }
    if (OnUiThread())
        DeliverMessage();
    else
        QMetaObject::invokeMethod(this, "DeliverMessage", Qt::BlockingQueuedConnection);
}

void TSSCClass::DeliverMessage()
{
    AnsiString text;
    {
        std::lock_guard guard(FMessageMutex);
        text = FMessage;
    }
    FOnMessage(text);
}

// ---------------------------------------------------------------------------------------------
// The worker

void TSSCClass::Execute()
{
    while (!Terminated()) {
        if (Synched) {
            SendFrame();
            CollectReceived();
            AwaitFrameRoom();
        } else {
            std::unique_lock lock(FWakeMutex);
            FWake.wait_for(lock, kIdleSleep, [this] { return FStopRequested || Synched; });
        }
    }

    // Closing steps: close the device, then let the library go.
    if (FDevice) {
        Table.FT_Close(FDevice);
        FDevice = nullptr;
    }
    if (FLibrary) {
        UnloadLibrary(FLibrary);
        FLibrary = nullptr;
    }
    FEnded.store(true, std::memory_order_release);
}

void TSSCClass::AwaitFrameRoom()
{
    while (!Terminated()) {
        DWORD queued = 0, txQueued = 0, events = 0;
        const bool known = Table.FT_GetStatus(FDevice, &queued, &txQueued, &events) == FT_OK;
        if (known && txQueued <= kFrameLowWater)
            return;
        const auto pause =
            known ? std::clamp(kClockedByte * (txQueued - kFrameLowWater), kPacingMin, kPacingStep)
                  : kPacingStep;
        {
            std::unique_lock lock(FWakeMutex);
            if (FWake.wait_for(lock, pause, [this] { return FStopRequested.load(); }))
                return;
        }
        // A chip that cannot say how far it is gets one pause, not a busy loop.
        if (!known)
            return;
        CollectReceived();
    }
}

void TSSCClass::SendFrame()
{
    // The chip takes a frame's 4096 payload bytes as data of one clocking command. A frame cut
    // short by the timeout is therefore finished on the next pass, never restarted: a new header
    // in its place would be clocked out as data, and the rest of the new frame would reach the
    // chip as commands.
    if (!FFramePending) {
        FFramePending = true;
        FFrameWritten = 0;
        FFrame.assign(kFrameSize, 0x00);
        std::memcpy(FFrame.data(), kFrameCommand, kFrameHeader);
        std::shared_lock lock(FLock);
        // The payload is taken whole: an even count, so the next frame starts on a pair.
        const int queued = std::min(FTxCount, kFramePayload);
        CopyFromRing(FTxRing.data(), FTxRead, FFrame.data() + kFrameHeader, queued);
        FTxCount -= queued;
        FTxRead = (FTxRead + queued) % kRingSize;
    }

    StartTimeout(kFrameWriteTimeoutMs);
    while (FFrameWritten < kFrameSize) {
        DWORD count = 0;
        const FT_STATUS status = Table.FT_Write(FDevice, FFrame.data() + FFrameWritten,
                                                kFrameSize - FFrameWritten, &count);
        if (status == FT_OK && count != 0) {
            FFrameWritten += std::min<DWORD>(count, kFrameSize - FFrameWritten);
            StartTimeout(kFrameWriteTimeoutMs);
        } else if (TimeoutExpired()) {
            Report("FT_Write TIMEOUT");
            return;
        } else if (status != FT_OK) {
            std::this_thread::sleep_for(kFailedWritePause);
        }
    }
    FFramePending = false;
}

void TSSCClass::CollectReceived()
{
    DWORD queued = 0, txQueued = 0, events = 0;
    Table.FT_GetStatus(FDevice, &queued, &txQueued, &events);
    if (queued == 0)
        return;

    std::unique_lock lock(FLock);

    // Take no more than the ring can hold, two bytes a free place, and whole pairs only (counting
    // a half pair kept from the last read); the rest waits in the driver's queue.
    const int halves = FRxHalfPair ? 1 : 0;
    const DWORD room = static_cast<DWORD>(2 * (kRingSize - FRxCount) - halves);
    DWORD wanted = std::min(queued, room);
    if ((wanted + halves) % 2 != 0)
        --wanted;
    if (wanted == 0)
        return;

    std::vector<unsigned char> buffer(wanted);
    DWORD got = 0;
    if (Table.FT_Read(FDevice, buffer.data(), wanted, &got) != FT_OK)
        return;
    got = std::min(got, wanted);

    int position = (FRxRead + FRxCount) % kRingSize;
    auto take = [&](unsigned char data, unsigned char flag) {
        if (flag != kValidFlag)
            return true;
        if (FRxCount == kRingSize)
            return false;
        FRxRing[position] = data;
        position = (position + 1) % kRingSize;
        ++FRxCount;
        return true;
    };

    DWORD index = 0;
    if (FRxHalfPair && got > 0) {
        FRxHalfPair = false;
        if (!take(FRxHalfByte, buffer[0]))
            return;
        index = 1;
    }
    for (; index + 1 < got; index += 2) {
        if (!take(buffer[index], buffer[index + 1]))
            return;
    }
    // An odd count read: keep the data byte until its flag arrives, so the pair boundary holds.
    if (index < got) {
        FRxHalfPair = true;
        FRxHalfByte = buffer[index];
    }
}

// ---------------------------------------------------------------------------------------------
// Synchronisation and host-side transfer

bool TSSCClass::SynchDevice(int Attempts, std::int16_t Pattern)
{
    if (Synched)
        return false;
    if (!FDevice || Attempts < kMinSynchAttempts) {
        Report("Not inited or bad parameters");
        return true;
    }

    // Purge whatever the device left in the input queue.
    DWORD queued = 0, txQueued = 0, events = 0;
    Table.FT_GetStatus(FDevice, &queued, &txQueued, &events);
    if (queued != 0) {
        std::vector<unsigned char> discard(queued);
        DWORD remaining = queued;
        while (remaining != 0) {
            DWORD got = 0;
            if (Table.FT_Read(FDevice, discard.data(), remaining, &got) != FT_OK) {
                Report("Error in FT_Read spurgo");
                return true;
            }
            // A read that brings nothing has waited out the driver's read timeout: what was
            // counted is gone, so stop rather than wait forever.
            if (got == 0)
                break;
            remaining -= std::min(got, remaining);
        }
    }

    const auto low = static_cast<unsigned char>(Pattern & 0xFF);
    const auto high = static_cast<unsigned char>((Pattern >> 8) & 0xFF);

    int counter = Attempts;
    while (counter-- != 0) {
        // First phase: one more bit, then compare the last eight with the low byte.
        if (SendBuffer(kClockOneBit, sizeof kClockOneBit))
            return true;
        std::this_thread::sleep_for(kSynchSettle);
        StartTimeout(kSynchPhaseTimeoutMs);
        unsigned char byte = 0;
        for (;;) {
            DWORD got = 0;
            if (Table.FT_Read(FDevice, &byte, 1, &got) != FT_OK) {
                Report("FT_Read error");
                return true;
            }
            if (TimeoutExpired()) {
                Report("Synchronization TIMEOUT expired");
                return true;
            }
            if (got != 0)
                break;
        }
        Report("SYNCH ---> " + HexByte(byte));
        if (byte != low)
            continue;

        // Second phase: the next whole byte must be the high byte.
        if (SendBuffer(kClockOneByte, sizeof kClockOneByte)) {
            Report("Upper byte failure");
            return true;
        }
        StartTimeout(kSynchPhaseTimeoutMs);
        for (;;) {
            DWORD available = 0;
            Table.FT_GetStatus(FDevice, &available, &txQueued, &events);
            if (available != 0) {
                // Starts as anything but the high byte, so a read that brings nothing never
                // passes for a match.
                auto next = static_cast<unsigned char>(~high);
                DWORD got = 0;
                if (Table.FT_Read(FDevice, &next, 1, &got) != FT_OK) {
                    Report("FT_Read error");
                    return true;
                }
                if (next == high) {
                    Report(std::to_string(counter));
                    MarkSynched();
                    return false;
                }
            }
            if (TimeoutExpired())
                break;
        }
    }
    return true;
}

bool TSSCClass::CanTransfer()
{
    // Ending: quietly nothing. No device: said once a call.
    if (Terminated())
        return false;
    if (!FDevice) {
        Report("Not inited");
        return false;
    }
    return true;
}

int TSSCClass::SendData(const unsigned char *Buffer, int Count)
{
    if (!CanTransfer())
        return -1;

    std::unique_lock lock(FLock);
    int position = (FTxRead + FTxCount) % kRingSize;
    int completed = 0;
    // A host byte is queued whole or not at all: a byte cut short would leave its tag to the
    // next byte, which the device would then take for a repeat.
    while (completed < Count && FTxCount + kRingBytesPerHostByte <= kRingSize) {
        const unsigned char data = Buffer[completed];
        for (int pair = 0; pair < kPairsPerHostByte; ++pair) {
            FTxRing[position] = data;
            FTxRing[(position + 1) % kRingSize] = FTxTag;
            position = (position + 2) % kRingSize;
        }
        FTxCount += kRingBytesPerHostByte;
        FTxTag = FTxTag == 255 ? 1 : FTxTag + 1;
        ++completed;
    }
    return completed;
}

int TSSCClass::ReceiveData(unsigned char *Buffer, int Capacity)
{
    if (!CanTransfer())
        return -1;

    std::shared_lock lock(FLock);
    const int count = std::clamp(Capacity, 0, FRxCount);
    CopyFromRing(FRxRing.data(), FRxRead, Buffer, count);
    FRxRead = (FRxRead + count) % kRingSize;
    FRxCount -= count;
    return count;
}

int TSSCClass::TxRoom()
{
    if (Terminated() || !FDevice)
        return -1;
    // The worker moves FTxCount under the read lock, so reading it takes the write lock.
    std::unique_lock lock(FLock);
    return (kRingSize - FTxCount) / kRingBytesPerHostByte;
}

void RetireLink(std::unique_ptr<TSSCClass> &Link)
{
    if (!Link)
        return;
    Link->Stop();
    while (!Link->wait(QDeadlineTimer(kRetirePoll)))
        QCoreApplication::sendPostedEvents(Link.get(), QEvent::MetaCall);
    Link.reset();
}
