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

class Chip;

// New host bytes kept for vsim_TakeHostBytes; later ones are counted but not kept.
constexpr std::size_t kHostRecordCapacity = std::size_t{1} << 20;

// The settings one driver call works with, taken once at its start so that nothing changes
// under it half-way; calls that block take them again after each wait.
struct CallSettings {
    bool realTime = true;
    Behaviour behaviour = Behaviour::Echo;
    bool unplugged = false;
    bool writeStall = false;
    // Bytes FT_GetStatus claims beyond what is really queued.
    std::uint32_t overReport = 0;
    // FT_GetStatus's transmit count stays 0, as with a driver that has handed everything to the
    // chip.
    bool txCountHidden = false;
};

// The faults one FT_Write call is to show, taken (and counted down) once at its start.
struct WriteFaults {
    bool error = false;
    bool errorTakesBytes = false;
    bool stall = false;
    std::size_t maxBytes = 0; // 0 = no limit
};

class Board
{
public:
    static Board &Instance();

    // The control interface.
    void Reset();
    void SetDevices(std::vector<std::string> descriptions);
    void SetRealTime(bool on);
    void SetBehaviour(Behaviour behaviour);
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
    std::shared_ptr<Chip> LatestChip();

    // For the driver's entry points and the chips.
    CallSettings ForCall();
    WriteFaults TakeWriteFaults();
    // Of `count` bytes that FT_Write could take, how many the write budget lets it.
    std::size_t TakeWriteBudget(std::size_t count);
    bool TakeReadError();
    bool TakeOddRead();
    StreamStart NextStreamStart();
    bool TakeQueuedDeviceByte(std::uint8_t &byte);
    void RecordHostByte(std::uint8_t byte);
    // The devices as FT_ListDevices shows them: none while unplugged. A board that cannot be read
    // shows its reason in parentheses after its description and no serial number, as the
    // program's own driver lists a chip it may not open.
    std::vector<d2xx::exports::TListed> ListedDevices();
    // The board at `index` cannot be read, for `reason`; an empty reason makes it readable again.
    void SetUnreadable(int index, std::string reason);
    // Opens the device whose description (or serial number) is `key`.
    d2xx::FT_STATUS Open(const std::string &key, bool bySerial, std::shared_ptr<Chip> &chip);
    // The live chips by handle.
    d2xx::exports::THandles<Chip> &Live() { return live_; }
    // Takes the chip out of the live set; nullptr if the handle was not live.
    std::shared_ptr<Chip> Remove(d2xx::FT_HANDLE handle);

private:
    Board();
    void ResetLocked();
    StreamStart StreamStartLocked();
    // Lets calls blocked in FT_Read or FT_Write see a change. Called without the mutex held.
    void WakeChips();

    struct Faults {
        int shortWrite = 0;
        int writeErrorCalls = 0;
        bool writeErrorTakesBytes = false;
        bool writeStall = false;
        long long writeBudget = -1; // -1 = no limit
        int readErrorCalls = 0;
        int oddReadCalls = 0;
        bool unplugged = false;
        std::uint32_t overReport = 0;
        bool txCountHidden = false;
    };

    std::mutex mutex_;
    // What vsim_Reset attaches: VSIM_DEVICES's devices, else the one default device.
    std::vector<std::string> defaultDevices_;
    std::vector<std::string> devices_;
    // The boards that cannot be read, by index, with the reason.
    std::map<std::size_t, std::string> unreadable_;
    bool realTime_ = true;
    Behaviour behaviour_ = Behaviour::Echo;
    std::deque<std::uint8_t> deviceQueue_;
    int streamOffset_ = -1; // -1 = random
    unsigned streamZeros_ = 0;
    bool pattern_ = true;
    Faults faults_;
    std::deque<std::uint8_t> hostRecord_;
    std::mt19937 random_;
    d2xx::exports::THandles<Chip> live_;
    // The index in the list of each live chip: two boards may share a description.
    std::map<const void *, std::size_t> liveIndex_;
    std::shared_ptr<Chip> latest_;
};

} // namespace vsim
