// One open MPSSE channel, driven through libftdi1's opened context with D2XX's semantics.
//
// Principles of operation. libftdi1 opens, claims and configures the channel; the bytes move in
// libusb's asynchronous transfers on the context's handle, as FTDI's own driver moves them:
// - reads are kept in flight all the time (kReadsInFlight transfers of kReadPackets packets).
//   Each completed transfer is cut into its USB packets, the two modem-status bytes that begin
//   every packet are dropped, and the data goes into the read-ahead buffer. FT_GetStatus counts
//   that buffer and FT_Read takes from it; neither ever waits for the chip to go quiet. A read
//   is put back in flight only while the buffer has room for all of it, so a reader that stops
//   leaves the bytes in the chip, whose clock then stalls as it should;
// - FT_Write puts the bytes into the write queue and returns, as FTDI's own driver does, so a
//   caller can collect the chip's answers while the chip still takes the frame it was given;
//   it waits only for room in the queue (kWriteQueueSize), at most its write timeout, and then
//   reports how many bytes it queued. Up to kWritesInFlight transfers take the queue's front to
//   the chip, submitted in the queue's order by one thread at a time; a byte leaves the queue
//   only once libusb reports the chip took it. A transfer cut short by an error has the ones
//   behind it cancelled (the kernel would let them run on after the gap), and once they are back
//   the rest goes again, exactly: nothing is sent twice, nothing out of order. Should one of them
//   have moved bytes before its cancel, the order is lost and the channel is given up, said on
//   stderr. FT_GetStatus's transmit count is what the queue still holds. kWriteRetries transfers
//   in a row that move nothing mark the channel gone.
//
// Submitting a transfer is an ioctl that may wait behind other threads' ioctls on the device, so
// it is never done under FMutex: the transfer is reserved under the lock (counted in flight),
// submitted without it, and settled under it again (given back if the submit failed, cancelled
// at once if the channel began closing meanwhile).
//
// A thread of the channel's own handles libusb's events. A transfer that fails because the
// device is gone marks the channel gone: FT_GetStatus and FT_Write fail with FT_IO_ERROR at
// once, FT_Read still hands over what had arrived and then fails too. A read that fails otherwise
// (a cut transfer) keeps what it carried and is put back in flight; kReadRetries of them in a row
// mark the channel gone too. A submit that fails for another reason than a gone device is tried
// again by the event thread once kSubmitPause has passed; kSubmitRetries failures in a row mark
// the channel gone. An endpoint that stalls has its halt cleared and its transfers resume; a
// stall after kStallRetries cleared ones with no transfer done in between marks the channel gone.
// Whatever marks the channel gone, other than the device going, is said on stderr, and so is
// every stall: never a channel that fails in silence.
//
// Close cancels what is in flight, waits for it, stops the thread and lets libftdi1 release the
// channel; libusb gives it back to the kernel's ftdi_sio when ftdi_sio had it at open.
#pragma once

#include "device/D2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ftdi1
{

// The read-ahead buffer never holds more than this; beyond it the bytes wait in the chip.
constexpr std::size_t kReadAheadSize = 65536;
constexpr std::size_t kReadsInFlight = 8;
// A read transfer ends with a short packet or when it is full. While a chip streams, its
// latency timer, restarted by every packet, may never run out: a full-speed chip sends a
// 64-byte packet every half millisecond at a 1 MHz clock. A transfer of two packets therefore
// hands its bytes over within about a millisecond on any chip, where one of 4 KiB would hold
// them for 32 ms; eight of them in flight keep the chip's buffer emptied.
constexpr std::size_t kReadPackets = 2;
constexpr int kReadRetries = 3;
constexpr std::size_t kWriteQueueSize = 65536;
// At most this much in one transfer to the chip: a multiple of both packet sizes, and a whole
// frame of the link's (4099 bytes) in one.
constexpr std::size_t kWriteTransferSize = 8192;
// A transfer to the chip ends when its last packet is in the chip's buffer from the host, and
// that buffer holds little: 384 bytes, 3 ms of a 1 MHz clock, on an FT2232D; 1 KiB, 8 ms, on an
// FT232H. The next transfer is then already out, so the chip never waits for this program to reap
// a completion and submit again; beside busy processes that took longer than the chip holds
// (an emulated FT232H beside two busy processes clocked 0.93 to 0.99 of the time with one
// transfer out, 0.96 to 0.995 with two).
constexpr std::size_t kWritesInFlight = 2;
constexpr int kWriteRetries = 3;
// A submit that failed is tried again at the event thread's first turn (at least every 100 ms)
// once this much has passed; the channel is gone once this many have failed in a row.
constexpr std::chrono::milliseconds kSubmitPause{50};
constexpr int kSubmitRetries = 5;
// Stalls of one endpoint in a row that are cleared and resumed; the next one, without a transfer
// done in between, marks the channel gone.
constexpr int kStallRetries = 3;
// How long Close waits for cancelled transfers to come back from a device that no longer
// answers; transfers still out then are left to libusb's close rather than freed under it.
constexpr std::chrono::seconds kCancelWait{2};

class TFtdiChannel
{
public:
    using TClock = std::chrono::steady_clock;

    // Takes over a context that libftdi1 has opened; `Name` is the channel's in what the
    // driver says on stderr.
    TFtdiChannel(ftdi_context *Context, std::string Name);
    ~TFtdiChannel();
    TFtdiChannel(const TFtdiChannel &) = delete;
    TFtdiChannel &operator=(const TFtdiChannel &) = delete;

    // False when the reads could not be started (the device is gone): then Close it.
    bool Start();

    d2xx::FT_STATUS SetLatencyTimer(d2xx::UCHAR Ms);
    d2xx::FT_STATUS SetTimeouts(d2xx::ULONG ReadMs, d2xx::ULONG WriteMs);
    d2xx::FT_STATUS SetBitMode(d2xx::UCHAR Mask, d2xx::UCHAR Mode);
    d2xx::FT_STATUS GetStatus(d2xx::DWORD &Rx, d2xx::DWORD &Tx);
    d2xx::FT_STATUS Read(std::uint8_t *Out, std::size_t Count, d2xx::DWORD &Got);
    d2xx::FT_STATUS Write(const std::uint8_t *Data, std::size_t Count, d2xx::DWORD &Written);
    // Releases the chip; FT_IO_ERROR if it could not be released cleanly (it is gone, or
    // transfers did not come back from it).
    d2xx::FT_STATUS Close();
    // The chip's type as FT_GetDeviceInfo gives it (FT_DEVICE_2232H, ...), from libftdi1's.
    d2xx::FT_DEVICE DeviceType() const { return FDeviceType; }
    // What FT_GetDeviceInfo tells beside the type, as the channel was listed when opened.
    struct TIdentity {
        d2xx::DWORD UsbId = 0; // vendor << 16 | product
        std::string Serial;
        std::string Description;
    };
    TIdentity Identity;

private:
    struct TOutTransfer {
        TFtdiChannel *Channel = nullptr;
        libusb_transfer *Transfer = nullptr;
        std::vector<std::uint8_t> Buffer; // copied from the write queue
        bool InFlight = false;            // reserved or submitted
        unsigned Epoch = 0;
    };
    struct TInTransfer {
        TFtdiChannel *Channel = nullptr;
        libusb_transfer *Transfer = nullptr;
        std::vector<std::uint8_t> Buffer;
        bool InFlight = false; // reserved or submitted
        unsigned Epoch = 0;    // the endpoint's epoch when it was submitted
    };
    // What one direction's endpoint has been through: its stalls and failed submits.
    struct TEndpoint {
        explicit TEndpoint(const char *Direction) : Name(Direction) {}
        const char *Name; // in what is said on stderr
        bool Halted = false;
        // Counts the halts cleared: a stall of a transfer submitted before the last clear is
        // that halt's, already cleared.
        unsigned Epoch = 0;
        int Stalls = 0;
        int StallsInRow = 0;
        int SubmitFailures = 0; // in a row
        std::optional<TClock::time_point> RetryAt;
    };

    static void LIBUSB_CALL OnRead(libusb_transfer *Transfer);
    static void LIBUSB_CALL OnWrite(libusb_transfer *Transfer);
    void Arrived(TInTransfer &Done);
    void Sent(TOutTransfer &Done);
    // Starts transfers of what the write queue holds beyond those out, up to kWritesInFlight.
    // Called with FMutex held in Lock; releases it while it submits.
    void SendNext(std::unique_lock<std::mutex> &Lock);
    // Settles the write transfer that came back with Moved bytes; false when the order of the
    // bytes to the chip is lost. Under FMutex.
    bool SettleWriteLocked(TOutTransfer &Done, std::size_t Moved, bool Cut);
    // Puts idle reads back in flight while the buffer has room for them. As SendNext.
    void Refill(std::unique_lock<std::mutex> &Lock);
    std::size_t TakeLocked(std::uint8_t *Out, std::size_t Count);
    // Whether a failed submit on the endpoint is still waiting for its retry. Under FMutex.
    static bool PausedLocked(const TEndpoint &Endpoint);
    void SubmitFailedLocked(TEndpoint &Endpoint, int Result);
    // A transfer of the endpoint, submitted in `Epoch`, stalled: true when the caller is to
    // clear the halt. Under FMutex.
    static bool HaltedLocked(TEndpoint &Endpoint, unsigned Epoch);
    // Clears the endpoint's halt, without FMutex while it asks the device.
    void ClearHalt(std::unique_lock<std::mutex> &Lock, TEndpoint &Endpoint, unsigned char Address);
    // Marks the channel gone, saying why on stderr. Under FMutex.
    void GiveUpLocked(const std::string &Why);
    // Retries the submits that failed, once their pause is over.
    void RetrySubmits();
    // Says on stderr what the channel has noted for it, never under FMutex.
    void SayNotes();
    void HandleEvents();
    void CancelAll(std::unique_lock<std::mutex> &Lock);

    ftdi_context *FContext;
    d2xx::FT_DEVICE FDeviceType;
    std::size_t FPacketSize;
    std::size_t FReadTransferSize; // kReadPackets packets
    const std::string FName;       // the channel's, in what is said on stderr

    // Serialises the calls that use libftdi1's context (which is not for two threads at once)
    // and the writes among themselves.
    std::mutex FCallMutex;
    std::mutex FWriteMutex;

    std::mutex FMutex; // what the transfers' callbacks share with the calls
    std::condition_variable FChanged;
    std::deque<std::uint8_t> FReadAhead;
    std::vector<TInTransfer> FReads;
    std::size_t FInFlight = 0;   // reads and writes, reserved or submitted
    std::size_t FSubmitters = 0; // threads between a reservation and its settling
    int FFailedReads = 0;
    bool FGone = false;
    bool FClosing = false;
    std::deque<std::uint8_t> FWriteQueue;
    std::vector<TOutTransfer> FWrites;
    std::deque<TOutTransfer *> FWritesOut; // reserved or submitted, in the queue's order
    std::size_t FWriteOut = 0;             // bytes at the queue's front that they carry
    bool FWriteSubmitting = false;         // a thread is submitting writes
    // A transfer was cut short with others behind it: they are cancelled, and nothing more goes
    // until they are all back.
    bool FWriteRewinding = false;
    int FFailedWrites = 0;
    TEndpoint FFromChip{"from the chip"};
    TEndpoint FToChip{"to the chip"};
    std::vector<std::string> FNotes;           // lines for stderr, said by the event thread
    std::chrono::milliseconds FReadTimeout{0}; // 0 = wait for ever, as D2XX
    unsigned FWriteTimeoutMs = 0;

    std::atomic<bool> FStopEvents{false};
    std::thread FEvents;
};

} // namespace ftdi1
