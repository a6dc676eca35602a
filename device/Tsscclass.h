// The SSC device link: one object per opened SSC device.
//
// Principles of operation. The device sits behind an FTDI chip in MPSSE mode and is reached in
// fixed frames: every frame clocks 4096 bytes out to the device and 4096 bytes back in. Each host
// byte goes out as 300 identical (data, tag) pairs, the tag changing from one host byte to the
// next (1..255, never 0), so the device can tell a new byte from a repeat. The device answers in
// (data, flag) pairs; flag 0x01 marks a valid byte.
//
// Before the first frame the link aligns itself with the device's bit stream (SynchDevice, on the
// user-interface thread). From then on the worker thread (Execute) writes one frame from the
// transmit ring and collects the answer into the receive ring, pass after pass, writing each
// frame when the chip nears the end of the one before. A frame that the driver took only in part
// is finished before the next one begins, since the chip reads its payload as data of one
// command. The UI thread feeds the transmit ring (SendData) and drains the receive ring
// (ReceiveData). FLock guards both
// rings: each ring's producer takes it for writing, its consumer for reading; the two readers
// work on different rings, so they may hold it together.
//
// Result conventions: Init, ListDevices, SynchDevice and SendBuffer return true on FAILURE;
// SendData and ReceiveData return a count, or -1 while the link is ending or has no device open.
//
// A link is never reset in place: to reopen or switch devices, retire it (RetireLink) and
// construct a new one.
#pragma once

#include "device/D2xx.h"

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
#include <vector>

using AnsiString = std::string;
using TSSCMessageEvent = std::function<void(const AnsiString &)>;

namespace ssc
{
constexpr int kRingSize = 65536;
constexpr int kFramePayload = 4096;
constexpr int kFrameHeader = 3;
constexpr int kFrameSize = kFrameHeader + kFramePayload; // 4099
constexpr int kPairsPerHostByte = 300;
constexpr int kRingBytesPerHostByte = 2 * kPairsPerHostByte; // 600
constexpr unsigned char kValidFlag = 0x01;
constexpr std::uint32_t kSendBufferTimeoutMs = 20;
constexpr std::uint32_t kFrameWriteTimeoutMs = 10;
constexpr std::uint32_t kSynchPhaseTimeoutMs = 60;
constexpr int kMinSynchAttempts = 8;
constexpr unsigned char kLatencyMs = 1;
constexpr d2xx::ULONG kDriverTimeoutMs = 50;
// The most that one read from the driver takes, whatever the driver says is waiting: the answers
// to four frames. What is beyond it waits for the next read.
constexpr int kReadChunk = 4 * kFramePayload;
} // namespace ssc

class TSSCClass final : public QThread
{
    Q_OBJECT

public:
    // The worker starts as soon as the object is constructed.
    explicit TSSCClass(TSSCMessageEvent OnMessage = {});
    ~TSSCClass() override;

    TSSCClass(const TSSCClass &) = delete;
    TSSCClass &operator=(const TSSCClass &) = delete;

    bool Init(const AnsiString &Description);
    bool ListDevices(QStringList &List);
    bool Stop();

    bool SynchDevice(int Attempts, std::int16_t Pattern);
    int SendData(const unsigned char *Buffer, int Count);
    int ReceiveData(unsigned char *Buffer, int Capacity);

    // How many host bytes SendData would queue whole right now; -1 when it would return -1.
    int TxRoom();

    // Once the worker has ended: the host bytes this link was given but never began to send,
    // oldest first, for the link that replaces it. A host byte counts as sent once its first
    // pair has gone out in a frame.
    std::vector<unsigned char> TakeUnsent();

    // Set once SynchDevice has succeeded; never cleared.
    std::atomic<bool> Synched{false};

private:
    void run() override;
    void Execute();
    void SendFrame();
    void AwaitFrameRoom();
    void DrainChip();
    void CollectReceived();

    void StartTimeout(std::uint32_t Milliseconds);
    bool TimeoutExpired();
    bool SendBuffer(const unsigned char *Data, std::uint32_t Length);
    void Report(const AnsiString &Text);

    bool Terminated() const { return FStopRequested.load(); }
    // SendData and ReceiveData work only while the link has a device and is not ending.
    bool CanTransfer();
    void MarkSynched();

    Q_INVOKABLE void DeliverMessage();

    std::shared_mutex FLock;
    d2xx::FT_HANDLE FDevice = nullptr;
    TSSCMessageEvent FOnMessage;
    std::uint8_t FTxTag = 1;
    void *FLibrary = nullptr;
    std::array<unsigned char, ssc::kRingSize> FTxRing{};
    int FTxRead = 0;
    int FTxCount = 0;
    std::array<unsigned char, ssc::kRingSize> FRxRing{};
    int FRxRead = 0;
    int FRxCount = 0;
    std::uint32_t FLastTick = 0;
    std::uint32_t FDeadline = 0;
    AnsiString FMessage;

    // The frame being written, and how much of it the driver has taken so far.
    std::vector<unsigned char> FFrame;
    bool FFramePending = false;
    d2xx::DWORD FFrameWritten = 0;
    // The frame's payload size, and how many of its first bytes finish a host byte that an
    // earlier frame began.
    int FFramePayload = 0;
    int FFrameHead = 0;

    // The worker's read buffer, kReadChunk bytes.
    std::vector<unsigned char> FReadBuffer = std::vector<unsigned char>(ssc::kReadChunk);

    // First half of a pair whose second half is still in the driver's queue.
    bool FRxHalfPair = false;
    unsigned char FRxHalfByte = 0;

    // The stop request, and the wake-up that ends the idle sleep at once when the link is
    // stopped or becomes synchronised.
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FEnded{false};
    std::mutex FWakeMutex;
    std::condition_variable FWake;

    // Hands FMessage from the worker to the UI thread.
    std::mutex FMessageMutex;

    friend struct TSSCClassProbe; // the tests' view of the rings and the timeout
};

// Retires a link: Stop, wait until its worker has ended, destroy, forget. Messages that the
// worker hands to the UI thread meanwhile are delivered, so a link with a callback cannot
// deadlock its own retirement; nothing else runs during the wait. A null link is left alone.
// Returns the host bytes the link never began to send (TakeUnsent).
std::vector<unsigned char> RetireLink(std::unique_ptr<TSSCClass> &Link);
