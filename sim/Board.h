// The simulated board, process-wide: which devices are plugged in, how the device and the chip
// behave, which faults are armed, the chips that are open and what the tests can observe. One
// mutex guards all of it but the live set of open chips, which has its own.
//
// Lock order: a chip's mutex may be held while the board's mutex is taken, and the board's while
// the live set's is, never the other way round. The board therefore wakes blocked chips only
// after they have let go of their own mutex.
#pragma once

#include "device/D2xx.h"
#include "export/D2xxHandles.h"
#include "sim/BoardDevices.h"
#include "sim/SscDevice.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace vsim
{

class TChip;

// New host bytes kept for vsim_TakeHostBytes; later ones are counted but not kept.
constexpr std::size_t kHostRecordCapacity = std::size_t{1} << 20;

// The settings one driver call works with, taken once at its start so that nothing changes
// under it half-way; calls that block take them again after each wait.
struct TCallSettings {
    bool RealTime = true;
    TBehaviour Behaviour = TBehaviour::Echo;
    bool Unplugged = false;
    bool WriteStall = false;
    // Bytes FT_GetStatus claims beyond what is really queued.
    std::uint32_t OverReport = 0;
    // FT_GetStatus's transmit count stays 0, as with a driver that has handed everything to the
    // chip.
    bool TxCountHidden = false;
};

// The faults one FT_Write call is to show, taken (and counted down) once at its start.
struct TWriteFaults {
    bool Error = false;
    bool ErrorTakesBytes = false;
    bool Stall = false;
    std::size_t MaxBytes = 0; // 0 = no limit
};

class TBoard
{
public:
    static TBoard &Instance();

    // The control interface.
    void Reset();
    void SetDevices(std::vector<std::string> descriptions);
    void SetRealTime(bool on);
    void SetBehaviour(TBehaviour behaviour);
    void QueueDeviceBytes(const std::uint8_t *data, std::size_t count);
    void SetStream(int offset, int zeros);
    void SetNoPattern(bool on);
    void SetShortWrite(int maxBytes);
    void SetWriteError(int calls, bool takeBytes);
    void SetWriteStall(bool on);
    void SetWriteBudget(long long bytes);
    void SetReadError(int calls);
    void SetOddRead(int calls);
    void SetUnplugged(bool on);
    void SetOverReport(std::uint32_t bytes);
    void SetTxCountHidden(bool on);
    int OpenCount();
    std::size_t TakeHostBytes(std::uint8_t *out, std::size_t cap);
    std::shared_ptr<TChip> LatestChip();

    // For the driver's entry points and the chips.
    TCallSettings ForCall();
    TWriteFaults TakeWriteFaults();
    // Of `count` bytes that FT_Write could take, how many the write budget lets it.
    std::size_t TakeWriteBudget(std::size_t count);
    bool TakeReadError();
    bool TakeOddRead();
    TStreamStart NextStreamStart();
    bool TakeQueuedDeviceByte(std::uint8_t &byte);
    void RecordHostByte(std::uint8_t byte);
    // The devices as FT_ListDevices shows them: none while unplugged. A board that cannot be read
    // shows its reason in parentheses after its description and no serial number, as the
    // program's own driver lists a chip it may not open.
    std::vector<d2xx::exports::TListed> ListedDevices();
    // The board at `index` cannot be read, for `reason`; an empty reason makes it readable again.
    void SetUnreadable(int index, std::string reason);
    // Opens the device whose description (or serial number) is `key`.
    d2xx::FT_STATUS Open(const std::string &key, bool bySerial, std::shared_ptr<TChip> &chip);
    // The live chips by handle.
    d2xx::exports::THandles<TChip> &Live() { return FLive; }
    // Takes the chip out of the live set; nullptr if the handle was not live.
    std::shared_ptr<TChip> Remove(d2xx::FT_HANDLE handle);

private:
    TBoard();
    void ResetLocked();
    TStreamStart StreamStartLocked();
    // Lets calls blocked in FT_Read or FT_Write see a change. Called without the mutex held.
    void WakeChips();

    struct TFaults {
        int ShortWrite = 0;
        int WriteErrorCalls = 0;
        bool WriteErrorTakesBytes = false;
        bool WriteStall = false;
        long long WriteBudget = -1; // -1 = no limit
        int ReadErrorCalls = 0;
        int OddReadCalls = 0;
        bool Unplugged = false;
        std::uint32_t OverReport = 0;
        bool TxCountHidden = false;
    };

    std::mutex FMutex;
    // What vsim_Reset attaches: VSIM_DEVICES's devices, else the one default device.
    std::vector<std::string> FDefaultDevices;
    std::vector<std::string> FDevices;
    // The boards that cannot be read, by index, with the reason.
    std::map<std::size_t, std::string> FUnreadable;
    bool FRealTime = true;
    TBehaviour FBehaviour = TBehaviour::Echo;
    std::deque<std::uint8_t> FDeviceQueue;
    int FStreamOffset = -1; // -1 = random
    unsigned FStreamZeros = 0;
    bool FPattern = true;
    // What vsim_Reset sets FPattern to: false when VSIM_NO_PATTERN was 1 at load.
    bool FDefaultPattern = true;
    TFaults FFaults;
    std::deque<std::uint8_t> FHostRecord;
    std::mt19937 FRandom;
    d2xx::exports::THandles<TChip> FLive;
    // The index in the list of each live chip: two boards may share a description.
    std::map<const void *, std::size_t> FLiveIndex;
    std::shared_ptr<TChip> FLatest;
};

} // namespace vsim
