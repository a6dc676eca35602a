#include "device/Tsscclass.h"

#include "device/DeviceList.h"
#include "device/DeviceOpen.h"
#include "device/Handshake.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>

using namespace d2xx;
using namespace ssc;

namespace
{

constexpr std::chrono::milliseconds kIdleSleep{1000};

} // namespace

TSSCClass::TSSCClass(TSSCMessageEvent OnMessage) : FMailbox(std::move(OnMessage), {})
{
    start();
}

TSSCClass::TSSCClass(TSSCEventHandler OnEvent) : FMailbox({}, std::move(OnEvent))
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
    return Open(Description, FT_OPEN_BY_DESCRIPTION);
}

bool TSSCClass::InitBySerial(const AnsiString &Serial)
{
    if (!FDevice)
        FSerial = Serial;
    return Open(Serial, FT_OPEN_BY_SERIAL_NUMBER);
}

bool TSSCClass::Open(const AnsiString &Key, DWORD By)
{
    if (FDevice) {
        Report(TLinkEventKind::Error, "Already inited");
        return true;
    }

    const TSay say = [this](TLinkEventKind Kind, const std::string &Text) { Report(Kind, Text); };
    if (OpenDevice(FLibrary, FLibraryFile, Key, By, FDevice, FInitOutcome, say))
        return true;
    std::vector<unsigned char> setup;
    if (IsHighSpeedChip(FLibrary.Entries(), FDevice)) {
        setup.assign(kHighSpeedClockCommands.begin(), kHighSpeedClockCommands.end());
        FFrameLead = ssc::kHighSpeedFrameLead;
    }
    setup.insert(setup.end(), kSetupCommands.begin(), kSetupCommands.end());
    if (SendBuffer(setup.data(), setup.size())) {
        FInitOutcome = TInitOutcome::SetupNotSent;
        Report(TLinkEventKind::Error, "Error in sending...");
        return true;
    }
    FInitOutcome = TInitOutcome::Opened;
    Report(TLinkEventKind::State, "Inited");
    return false;
}

bool TSSCClass::ListDevices(QStringList &List)
{
    return ForEachDevice(Driver(), [&List](DWORD, const std::string &Description) {
        List.append(
            QString::fromLocal8Bit(Description.data(), static_cast<qsizetype>(Description.size())));
    });
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
    return Checked(Driver().FT_GetStatus(FDevice, &Received, &ToSend, &events),
                   TDriverCall::GetStatus) == FT_OK;
}

FT_STATUS TSSCClass::Checked(FT_STATUS Status, TDriverCall Call)
{
    // The user and velmor-bridge's reopening have to know a lost device. Before the handshake
    // has succeeded, the opening's and the handshake's own messages say what failed.
    if (const std::string lost = FHealth.Record(Status, Call); !lost.empty() && Synched)
        Report(TLinkEventKind::Error, lost);
    return Status;
}

// ---------------------------------------------------------------------------------------------
// The timeout and the timed write

void TSSCClass::StartTimeout(std::uint32_t Milliseconds)
{
    FDeadline = ticks::TDeadline(Milliseconds);
}

bool TSSCClass::TimeoutExpired() const
{
    return FDeadline.Expired();
}

bool TSSCClass::SendBuffer(const unsigned char *Data, std::uint32_t Length)
{
    StartTimeout(kSendBufferTimeoutMs);
    std::uint32_t sent = 0;
    FT_STATUS status = FT_OK;
    while (sent < Length) {
        DWORD written = 0;
        status = Checked(Driver().FT_Write(FDevice, const_cast<unsigned char *>(Data + sent),
                                           Length - sent, &written),
                         TDriverCall::Write);
        if (written != 0) {
            sent += std::min<std::uint32_t>(written, Length - sent);
            StartTimeout(kSendBufferTimeoutMs);
        }
        if (sent < Length && TimeoutExpired()) {
            Report(TLinkEventKind::Error, "SendBuffer TIMEOUT");
            return true;
        }
    }
    return status != FT_OK;
}

// ---------------------------------------------------------------------------------------------
// Messages

void TSSCClass::Report(TLinkEventKind Kind, const AnsiString &Text)
{
    // From the worker, queued, not waited for: the UI thread may itself be waiting for it. One
    // posted call hands over all that gathered meanwhile. Messages still waiting when the link
    // goes are delivered by RetireLink first.
    if (FMailbox.Report(Kind, Text))
        QMetaObject::invokeMethod(this, "DeliverMessages", Qt::QueuedConnection);
}

void TSSCClass::DeliverMessages()
{
    FMailbox.DeliverAll();
}

// ---------------------------------------------------------------------------------------------
// The worker

void TSSCClass::Execute()
{
    while (!Terminated()) {
        if (Synched)
            FWorker.Pass();
        else
            Sleep(kIdleSleep, true);
    }
    CloseDevice();
    FEnded.store(true, std::memory_order_release);
}

TWorkerLink TSSCClass::WorkerLink()
{
    return {FLock,
            [this] { return Tx(); },
            [this] { return Rx(); },
            [this](unsigned char *Data, DWORD Length, DWORD &Written) {
                return Checked(Driver().FT_Write(FDevice, Data, Length, &Written),
                               TDriverCall::Write);
            },
            [this](unsigned char *Buffer, DWORD Wanted, DWORD &Got) {
                return Checked(Driver().FT_Read(FDevice, Buffer, Wanted, &Got), TDriverCall::Read);
            },
            [this](TLinkEventKind Kind, const std::string &Text) { Report(Kind, Text); },
            [this](std::uint32_t Milliseconds) { StartTimeout(Milliseconds); },
            [this] { return TimeoutExpired(); },
            {[this](DWORD &Queued) {
                 DWORD toSend = 0;
                 return QueueCounts(Queued, toSend);
             },
             {},
             [this](std::chrono::microseconds Pause) { return Sleep(Pause, false); },
             [this] { return Terminated(); },
             [this](const unsigned char *Data, std::uint32_t Length) {
                 return SendBuffer(Data, Length);
             },
             [this] { return FHealth.Failing(); },
             [this] { return FFrameLead.load(std::memory_order_relaxed); }}};
}

void TSSCClass::CloseDevice()
{
    // Let the chip finish the frames it holds, close the device, then let the library go.
    if (FDevice && Synched)
        FWorker.Drain();
    if (FDevice) {
        Driver().FT_Close(FDevice);
        FDevice = nullptr;
    }
    FLibrary.Unload();
}

// ---------------------------------------------------------------------------------------------
// Synchronisation and host-side transfer

bool TSSCClass::SynchDevice(int Attempts, std::int16_t Pattern)
{
    if (Synched)
        return false;
    if (!FDevice || Attempts < kMinSynchAttempts) {
        Report(TLinkEventKind::Error, "Not inited or bad parameters");
        return true;
    }
    const TSay say = [this](TLinkEventKind Kind, const std::string &Text) { Report(Kind, Text); };
    const THandshakeDriver driver{
        [this](const unsigned char *Data, std::uint32_t Length) {
            return SendBuffer(Data, Length);
        },
        [this](unsigned char *Buffer, DWORD Wanted, DWORD &Got) {
            return Checked(Driver().FT_Read(FDevice, Buffer, Wanted, &Got), TDriverCall::Read);
        },
        [this] {
            DWORD queued = 0, toSend = 0;
            QueueCounts(queued, toSend);
            return queued;
        },
        [this](std::uint32_t Milliseconds) { StartTimeout(Milliseconds); },
        [this] { return TimeoutExpired(); },
        &FAnswersOwed};
    if (DropOwed(driver, say) || PurgeInput(driver, say) ||
        Synchronise(driver, Attempts, Pattern, say))
        return true;
    MarkSynched();
    return false;
}

bool TSSCClass::CanTransfer()
{
    // Ending: quietly nothing. No device: said once a call.
    if (Terminated())
        return false;
    if (!FDevice) {
        Report(TLinkEventKind::Error, "Not inited");
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

TLinkRemains TSSCClass::TakeRemains()
{
    // The acquire pairs with the worker's last store: all it wrote is seen here.
    if (isRunning() || !FEnded.load(std::memory_order_acquire))
        return {};
    std::unique_lock lock(FLock);
    return FWorker.Remains();
}

TLinkRemains RetireLink(std::unique_ptr<TSSCClass> &Link)
{
    if (!Link)
        return {};
    Link->Stop();
    Link->wait();
    // The messages the worker queued before it ended reach the callback before the link goes.
    QCoreApplication::sendPostedEvents(Link.get(), QEvent::MetaCall);
    Link->DeliverMessages();
    TLinkRemains remains = Link->TakeRemains();
    Link.reset();
    return remains;
}
