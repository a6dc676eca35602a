// The SSC device link: one object per opened SSC device, the shell around the protocol
// (SscProtocol.h): it binds the driver library, opens the device, keeps the two rings under
// FLock, runs the worker thread and hands its messages to the user-interface thread.
//
// Principles of operation. Before the first frame the link aligns itself with the device's bit
// stream (SynchDevice, on the user-interface thread). From then on the worker thread (Execute)
// writes the frames from the transmit ring and collects the answers into the receive ring, pass
// after pass (LinkWorker.h). The UI thread feeds the transmit ring (SendData) and drains the
// receive ring (ReceiveData). FLock guards both rings: each ring's producer takes it for writing,
// its consumer for reading; the two readers work on different rings, so they may hold it together.
//
// Messages. The worker hands its messages to the UI thread without waiting for it, so a UI thread
// that waits for the worker (retiring or destroying the link) can never deadlock with it.
//
// Result conventions: Init, ListDevices, SynchDevice and SendBuffer return true on FAILURE;
// SendData and ReceiveData return a count, or -1 while the link is ending or has no device open.
//
// A link is never reset in place: to reopen or switch devices, retire it (RetireLink) and
// construct a new one.
#pragma once

#include "device/D2xx.h"
#include "device/DeviceHealth.h"
#include "device/DeviceOpen.h"
#include "device/Handshake.h"
#include "device/LinkMailbox.h"
#include "device/LinkRemains.h"
#include "device/LinkState.h"
#include "device/LinkWorker.h"
#include "device/SscProtocol.h"
#include "device/Ticks.h"

#include <QStringList>
#include <QThread>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

using AnsiString = std::string;

namespace ssc
{
constexpr std::uint32_t kSendBufferTimeoutMs = 20;
} // namespace ssc

class TSSCClass final : public QThread
{
    Q_OBJECT

public:
    // The worker starts as soon as the object is constructed. Messages go to OnMessage on the
    // user-interface thread.
    explicit TSSCClass(TSSCMessageEvent OnMessage = {});
    // The same, the messages going with their kind to OnEvent.
    explicit TSSCClass(TSSCEventHandler OnEvent);
    ~TSSCClass() override;

    TSSCClass(const TSSCClass &) = delete;
    TSSCClass &operator=(const TSSCClass &) = delete;

    bool Init(const AnsiString &Description);
    // As Init, but opens the device with that serial number (FT_OPEN_BY_SERIAL_NUMBER): one of
    // several boards that share a description. True on FAILURE.
    bool InitBySerial(const AnsiString &Serial);
    bool ListDevices(QStringList &List);
    bool Stop();

    bool SynchDevice(int Attempts, std::int16_t Pattern);
    int SendData(const unsigned char *Buffer, int Count);
    int ReceiveData(unsigned char *Buffer, int Capacity);

    // How many host bytes SendData would queue whole right now; -1 when it would return -1.
    int TxRoom();

    // Once the worker has ended: what the link leaves for the one that replaces it (TLinkRemains).
    TLinkRemains TakeRemains();

    // Set once SynchDevice has succeeded; never cleared.
    std::atomic<bool> Synched{false};

    // Hands the messages the worker queued to the callback; on the user-interface thread.
    Q_INVOKABLE void DeliverMessages();

    // What the last Init found; the library file it loaded, or the files it tried.
    TInitOutcome InitOutcome() const { return FInitOutcome; }
    const std::string &LibraryFile() const { return FLibraryFile; }
    // The entry points of the library this link holds (ListDeviceEntries), empty once it let go.
    const d2xx::TD2xxTable &Driver() const { return FLibrary.Entries(); }
    // The serial number InitBySerial was given; empty after Init.
    const std::string &Serial() const { return FSerial; }
    // True while a driver call on the device keeps failing beyond kFailureRetries tries in a row,
    // as when the device has been unplugged: the device is lost. False again once that call
    // succeeds.
    bool DeviceFailing() const { return FHealth.Failing(); }
    // Host bytes the device has clocked in and answered so far; what waits in the rings or the
    // chip is not counted.
    std::uint64_t DeviceTook() const { return FWorker.Took(); }

private:
    // Init's steps: brings up the device whose description or serial number (By) is Key
    // (OpenDevice), then sends it the set-up commands.
    bool Open(const AnsiString &Key, d2xx::DWORD By);
    void run() override;
    void Execute();
    // What the worker uses of the link: the rings, the driver calls, the messages, the steps.
    ssc::TWorkerLink WorkerLink();
    void CloseDevice();

    // The link's millisecond timeout, which times SendBuffer, the worker's frame write and the
    // handshake's waits: StartTimeout arms it for Milliseconds from now, TimeoutExpired tells
    // whether the tick counter has reached it since.
    void StartTimeout(std::uint32_t Milliseconds);
    bool TimeoutExpired() const;
    bool SendBuffer(const unsigned char *Data, std::uint32_t Length);
    void Report(TLinkEventKind Kind, const AnsiString &Text);

    // The driver's receive and transmit queue counts; false when it cannot tell.
    bool QueueCounts(d2xx::DWORD &Received, d2xx::DWORD &ToSend);

    // Records whether a driver call on the device succeeded; returns its status.
    using TDriverCall = ssc::TDeviceHealth::TCall;
    d2xx::FT_STATUS Checked(d2xx::FT_STATUS Status, TDriverCall Call);

    bool Terminated() const { return FStopRequested.load(); }
    // SendData and ReceiveData work only while the link has a device and is not ending.
    bool CanTransfer();
    void MarkSynched();
    // Waits up to Pause, or until the link is stopped or synchronised; true when stopped.
    bool Sleep(std::chrono::microseconds Pause, bool WakeOnSynch);

    ssc::TRingRef Tx() { return {FTxRing.data(), FTxRead, FTxCount}; }
    ssc::TRingRef Rx() { return {FRxRing.data(), FRxRead, FRxCount}; }

    std::shared_mutex FLock;
    d2xx::FT_HANDLE FDevice = nullptr;
    std::uint8_t FTxTag = 1;
    // The loaded driver library and the entry points bound from it: every driver call goes
    // through it.
    d2xx::TD2xxLibrary FLibrary;
    std::array<unsigned char, ssc::kRingSize> FTxRing{};
    int FTxRead = 0;
    int FTxCount = 0;
    std::array<unsigned char, ssc::kRingSize> FRxRing{};
    int FRxRead = 0;
    int FRxCount = 0;
    // The armed timeout (StartTimeout). Unguarded: it belongs to whichever thread talks to the
    // device, the UI thread until the handshake has succeeded, the worker from then on.
    ticks::TDeadline FDeadline;

    // Whether the device still answers; kept by whichever thread talks to the device.
    ssc::TDeviceHealth FHealth;

    // The stop request, and the wake-up that ends the worker's sleeps at once when the link is
    // stopped or becomes synchronised.
    // The chip's frame lead, for the worker's pacing: longer on a high-speed chip.
    std::atomic<std::uint32_t> FFrameLead{ssc::kFrameLead};
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FEnded{false};
    std::mutex FWakeMutex;
    std::condition_variable FWake;
    // The link's messages on their way to the callback.
    TLinkMailbox FMailbox;

    TInitOutcome FInitOutcome = TInitOutcome::NotTried;
    // Answers the handshake's clock-ins still owe (Handshake.h), from one call to the next.
    std::uint32_t FAnswersOwed = 0;
    std::string FLibraryFile;
    std::string FSerial;
    // The worker's own state and passes.
    ssc::TLinkWorker FWorker{WorkerLink()};
};

// Retires a link: Stop, wait until its worker has ended, destroy, forget. Messages the worker
// reported meanwhile are delivered first; nothing else runs during the wait. A null link is left
// alone. Returns what the link left (TakeRemains).
TLinkRemains RetireLink(std::unique_ptr<TSSCClass> &Link);
