#include "device/Tsscclass.h"

#include "device/Ticks.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace d2xx;
using namespace ssc;

namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kIdleSleep{1000};
constexpr std::chrono::milliseconds kSynchSettle{1};
constexpr std::chrono::milliseconds kRetirePoll{5};

// The device answers a new host byte within about a millisecond of the frame carrying it
// beginning to clock, and the chip hands the answer on when its 1 ms latency timer next expires,
// anywhere from at once to a millisecond later. The worker collects when the chip has clocked
// this far into that frame: at 0.4 ms for an answer that is there at once, at 1.3 ms for the
// usual case and at 3.2 ms for one that came late, instead of near the frame's end. The extra
// wakes are only for frames that carry new host bytes.
constexpr std::array<DWORD, 3> kAnswerDue = {48, 160, 400};
constexpr std::chrono::microseconds kClockedByte{8};
constexpr std::chrono::microseconds kPacingMin{500};
constexpr std::chrono::microseconds kPacingStep{40000};
// Before the device is closed, the chip clocks out what it already holds: at most a frame and
// the lead, about 36 ms at 1 MHz. A chip that does not get there in this time is stalled or gone,
// and is closed anyway.
constexpr std::chrono::milliseconds kDrainLimit{100};
// After a frame write call that failed outright, before the next try.
constexpr std::chrono::milliseconds kFailedWritePause{1};

bool OnUiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

} // namespace

TSSCClass::TSSCClass(TSSCMessageEvent OnMessage) : FOnMessage(std::move(OnMessage))
{
    start();
}

TSSCClass::~TSSCClass()
{
    // A QThread must never be destroyed while it runs. The worker never waits for this thread,
    // so the wait ends.
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
    FLibrary = LoadDriver(FLibraryFile);
    if (!FLibrary) {
        FInitOutcome = TInitOutcome::LibraryMissing;
        Report("Can not load " + FLibraryFile);
        return true;
    }
    if (const std::string missing = BindEntryPoints(FLibrary); !missing.empty()) {
        FInitOutcome = TInitOutcome::EntryPointMissing;
        Report("Missing " + missing);
        return true;
    }

    // Open the device by its description.
    FT_HANDLE handle = nullptr;
    if (Table.FT_OpenEx(const_cast<char *>(Description.c_str()), FT_OPEN_BY_DESCRIPTION, &handle) !=
        FT_OK) {
        FInitOutcome = TInitOutcome::DeviceNotFound;
        Report("Error in FT_OpenEx DeviceDescr:" + Description);
        return true;
    }
    FDevice = handle;

    // Configure the chip for MPSSE; the results tell nothing the set-up write won't.
    Table.FT_SetLatencyTimer(FDevice, kLatencyMs);
    Table.FT_SetBitMode(FDevice, 0x00, FT_BITMODE_RESET);
    Table.FT_SetBitMode(FDevice, 0x00, FT_BITMODE_MPSSE);
    Table.FT_SetTimeouts(FDevice, kDriverTimeoutMs, kDriverTimeoutMs);

    if (SendBuffer(kSetupCommands.data(), kSetupCommands.size())) {
        FInitOutcome = TInitOutcome::SetupNotSent;
        Report("Error in sending...");
        return true;
    }
    FInitOutcome = TInitOutcome::Opened;
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

bool TSSCClass::Sleep(std::chrono::microseconds Pause, bool WakeOnSynch)
{
    std::unique_lock lock(FWakeMutex);
    return FWake.wait_for(lock, Pause, [&] {
        return FStopRequested || (WakeOnSynch && Synched);
    }) && FStopRequested;
}

bool TSSCClass::QueueCounts(DWORD &Received, DWORD &ToSend)
{
    DWORD events = 0;
    Received = 0;
    ToSend = 0;
    return Checked(Table.FT_GetStatus(FDevice, &Received, &ToSend, &events)) == FT_OK;
}

FT_STATUS TSSCClass::Checked(FT_STATUS Status)
{
    FDeviceFailing.store(Status != FT_OK, std::memory_order_relaxed);
    return Status;
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
    if (ticks::Reached(now, FDeadline))
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
        status = Checked(Table.FT_Write(FDevice, const_cast<unsigned char *>(Data + sent),
                                        Length - sent, &written));
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
    {
        std::lock_guard guard(FMessageMutex);
        FMessage = Text;
    }
    if (!FOnMessage)
        return;
    if (OnUiThread()) {
        FOnMessage(Text);
        return;
    }
    // Queued, not waited for: the UI thread may itself be waiting for this worker. The texts
    // wait under our own lock; one posted call hands over all that gathered meanwhile. Messages
    // still waiting when the link goes are delivered by RetireLink first.
    bool first = false;
    {
        std::lock_guard guard(FMessageMutex);
        first = FPendingMessages.empty();
        FPendingMessages.push_back(Text);
    }
    if (first)
        QMetaObject::invokeMethod(this, "DeliverMessages", Qt::QueuedConnection);
}

void TSSCClass::DeliverMessages()
{
    std::vector<AnsiString> texts;
    {
        std::lock_guard guard(FMessageMutex);
        texts.swap(FPendingMessages);
    }
    for (const AnsiString &text : texts)
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
            AwaitFrameRoom(CarriesNewHostBytes(FFrame) && !FFrame.Pending);
        } else {
            Sleep(kIdleSleep, true);
        }
    }
    CloseDevice();
    FEnded.store(true, std::memory_order_release);
}

void TSSCClass::CloseDevice()
{
    // Let the chip finish the frames it holds, close the device, then let the library go.
    if (FDevice && Synched)
        DrainChip();
    if (FDevice) {
        Table.FT_Close(FDevice);
        FDevice = nullptr;
    }
    if (FLibrary) {
        UnloadLibrary(FLibrary);
        FLibrary = nullptr;
    }
}

void TSSCClass::DrainChip()
{
    // The host bytes in frames the driver took count as sent: they must reach the device, not
    // be thrown away with the chip's buffer when the device is closed and the next link resets
    // the chip.
    const auto deadline = Clock::now() + kDrainLimit;
    DWORD queued = 0, toSend = 0;
    while (QueueCounts(queued, toSend) && toSend != 0) {
        const auto now = Clock::now();
        if (now >= deadline)
            return;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::max(kClockedByte * toSend, kPacingMin), deadline - now));
    }
}

void TSSCClass::AwaitFrameRoom(bool AnswerDue)
{
    // The collection points still ahead, in bytes the chip has left to clock: the frame just
    // written begins to clock once the chip is down to its size.
    std::size_t due = AnswerDue ? 0 : kAnswerDue.size();
    auto dueAt = [&] { return static_cast<DWORD>(kFrameSize) - kAnswerDue[due]; };
    while (!Terminated()) {
        DWORD queued = 0, toSend = 0;
        // A chip that cannot say how far it is gets one pause, not a busy loop.
        if (!QueueCounts(queued, toSend)) {
            Sleep(kPacingStep, false);
            return;
        }
        if (toSend <= kFrameLead)
            return;
        if (due < kAnswerDue.size() && toSend <= dueAt()) {
            CollectReceived();
            while (due < kAnswerDue.size() && toSend <= dueAt())
                ++due;
            continue;
        }
        const DWORD target = due < kAnswerDue.size() ? dueAt() : kFrameLead;
        const auto pause = std::clamp(kClockedByte * (toSend - target), kPacingMin, kPacingStep);
        if (Sleep(pause, false))
            return;
        // Collected after every pause, whatever it waited for: a chip whose read queue is full
        // stops clocking until it is read.
        CollectReceived();
    }
}

void TSSCClass::SendFrame()
{
    // A frame cut short is finished on the next pass, never restarted: a new header in its place
    // would be clocked out as data, and the rest of the new frame would reach the chip as
    // commands.
    if (!FFrame.Pending) {
        std::shared_lock lock(FLock);
        BuildFrame(FFrame, Tx());
    }

    StartTimeout(kFrameWriteTimeoutMs);
    while (FFrame.Pending) {
        DWORD count = 0;
        const FT_STATUS status = Checked(Table.FT_Write(FDevice, FFrame.Bytes.data() + FFrame.Sent,
                                                        kFrameSize - FFrame.Sent, &count));
        // What the driver says it took, it took, whatever the status: offering those bytes
        // again would clock them out twice and shift the rest of the payload into commands.
        if (count != 0) {
            FrameTaken(FFrame, count);
            StartTimeout(kFrameWriteTimeoutMs);
        } else if (TimeoutExpired()) {
            Report("FT_Write TIMEOUT");
            return;
        }
        if (status != FT_OK && FFrame.Pending)
            std::this_thread::sleep_for(kFailedWritePause);
    }
}

void TSSCClass::CollectReceived()
{
    DWORD queued = 0, toSend = 0;
    QueueCounts(queued, toSend);
    if (queued == 0)
        return;

    std::unique_lock lock(FLock);
    const DWORD wanted = ReadSize(queued, FRxCount, FRxCarry);
    if (wanted == 0)
        return;
    DWORD got = 0;
    if (Checked(Table.FT_Read(FDevice, FReadBuffer.data(), wanted, &got)) != FT_OK)
        return;
    CollectPairs(Rx(), FRxCarry, FReadBuffer.data(), std::min(got, wanted));
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
    if (PurgeInput())
        return true;

    const TSay say = [this](const std::string &Text) { Report(Text); };
    const TClockIn firstPhase = [this](const unsigned char *Command, std::size_t Length,
                                       const std::function<bool(unsigned char)> &Accept) {
        return ClockInAndWait(Command, Length, Accept);
    };
    const TClockIn secondPhase = [this](const unsigned char *Command, std::size_t Length,
                                        const std::function<bool(unsigned char)> &Accept) {
        return ClockInAndPoll(Command, Length, Accept);
    };
    for (int counter = Attempts; counter-- != 0;) {
        switch (FirstPhase(firstPhase, LowByte(Pattern), say)) {
        case TPhase::Failed:
            return true;
        case TPhase::Miss:
            continue;
        case TPhase::Match:
            break;
        }
        switch (SecondPhase(secondPhase, HighByte(Pattern), say)) {
        case TPhase::Failed:
            return true;
        case TPhase::Miss:
            continue;
        case TPhase::Match:
            Report(std::to_string(counter));
            MarkSynched();
            return false;
        }
    }
    return true;
}

bool TSSCClass::PurgeInput()
{
    // Whatever the device left in the input queue goes, through a bounded buffer.
    DWORD queued = 0, toSend = 0;
    QueueCounts(queued, toSend);
    DWORD remaining = queued;
    while (remaining != 0) {
        DWORD got = 0;
        const DWORD wanted = std::min<DWORD>(remaining, kReadChunk);
        if (Checked(Table.FT_Read(FDevice, FReadBuffer.data(), wanted, &got)) != FT_OK) {
            Report("Error in FT_Read spurgo");
            return true;
        }
        // A read that brings nothing has waited out the driver's read timeout: what was counted
        // is gone, so stop rather than wait forever.
        if (got == 0)
            break;
        remaining -= std::min(got, wanted);
    }
    return false;
}

TClockAnswer TSSCClass::ClockInAndWait(const unsigned char *Command, std::size_t Length,
                                       const std::function<bool(unsigned char)> &Accept)
{
    if (SendBuffer(Command, static_cast<std::uint32_t>(Length)))
        return {TClockOutcome::SendFailed};
    std::this_thread::sleep_for(kSynchSettle);
    StartTimeout(kSynchPhaseTimeoutMs);
    for (;;) {
        unsigned char byte = 0;
        DWORD got = 0;
        if (Checked(Table.FT_Read(FDevice, &byte, 1, &got)) != FT_OK)
            return {TClockOutcome::ReadFailed};
        // Out of time is out of time, even when this read has just brought the byte.
        if (TimeoutExpired())
            return {TClockOutcome::TimedOut};
        if (got != 0 && Accept(byte))
            return {TClockOutcome::Accepted, byte};
    }
}

TClockAnswer TSSCClass::ClockInAndPoll(const unsigned char *Command, std::size_t Length,
                                       const std::function<bool(unsigned char)> &Accept)
{
    if (SendBuffer(Command, static_cast<std::uint32_t>(Length)))
        return {TClockOutcome::SendFailed};
    StartTimeout(kSynchPhaseTimeoutMs);
    for (;;) {
        DWORD available = 0, toSend = 0;
        QueueCounts(available, toSend);
        if (available != 0) {
            unsigned char byte = 0;
            DWORD got = 0;
            if (Checked(Table.FT_Read(FDevice, &byte, 1, &got)) != FT_OK)
                return {TClockOutcome::ReadFailed};
            // A read that brought nothing is no byte at all.
            if (got != 0 && Accept(byte))
                return {TClockOutcome::Accepted, byte};
        }
        if (TimeoutExpired())
            return {TClockOutcome::TimedOut};
    }
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
    return QueueHostBytes(Tx(), FTxTag, Buffer, Count);
}

int TSSCClass::ReceiveData(unsigned char *Buffer, int Capacity)
{
    if (!CanTransfer())
        return -1;
    std::shared_lock lock(FLock);
    return TakeFromRing(Rx(), Buffer, Capacity);
}

int TSSCClass::TxRoom()
{
    if (Terminated() || !FDevice)
        return -1;
    // The worker moves FTxCount under the read lock, so reading it takes the write lock.
    std::unique_lock lock(FLock);
    return HostByteRoom(FTxCount);
}

std::vector<unsigned char> TSSCClass::TakeUnsent()
{
    if (isRunning())
        return {};
    std::unique_lock lock(FLock);
    std::vector<unsigned char> unsent = UnsentHostBytes(FFrame, FTxRing.data(), FTxRead, FTxCount);
    FFrame.Pending = false;
    FTxCount = 0;
    return unsent;
}

std::vector<unsigned char> RetireLink(std::unique_ptr<TSSCClass> &Link)
{
    if (!Link)
        return {};
    Link->Stop();
    Link->wait();
    // The messages the worker queued before it ended reach the callback before the link goes.
    QCoreApplication::sendPostedEvents(Link.get(), QEvent::MetaCall);
    Link->DeliverMessages();
    std::vector<unsigned char> unsent = Link->TakeUnsent();
    Link.reset();
    return unsent;
}
