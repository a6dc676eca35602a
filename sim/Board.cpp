#include "sim/Board.h"

#include "sim/MpsseChip.h"

#include <algorithm>
#include <cstdlib>

namespace vsim
{

namespace
{

constexpr int kUntilCleared = -1;
constexpr unsigned kMaxLeadingZeros = 1U << 20;

// Counts one call against a fault: true if the fault applies to this call.
bool TakeCall(int &calls)
{
    if (calls == 0)
        return false;
    if (calls != kUntilCleared)
        --calls;
    return true;
}

} // namespace

TBoard &TBoard::Instance()
{
    static TBoard board;
    return board;
}

TBoard::TBoard() : FRandom(std::random_device{}())
{
    const char *variable = std::getenv(kDevicesVariable);
    FDefaultDevices =
        variable ? DevicesFromVariable(variable) : std::vector<std::string>{kDefaultDescription};
    const char *noPattern = std::getenv(kNoPatternVariable);
    FDefaultPattern = noPattern == nullptr || std::string(noPattern) != "1";
    ResetLocked();
}

void TBoard::ResetLocked()
{
    FDevices = FDefaultDevices;
    FUnreadable.clear();
    FRealTime = true;
    FBehaviour = TBehaviour::Echo;
    FDeviceQueue.clear();
    FStreamOffset = -1;
    FStreamZeros = 0;
    FPattern = FDefaultPattern;
    FFaults = TFaults{};
    FHostRecord.clear();
    if (FLatest && !FLive.Find(FLatest.get()))
        FLatest.reset();
}

void TBoard::Reset()
{
    {
        std::lock_guard lock(FMutex);
        ResetLocked();
    }
    WakeChips();
}

void TBoard::SetDevices(std::vector<std::string> descriptions)
{
    std::lock_guard lock(FMutex);
    FDevices = std::move(descriptions);
}

void TBoard::SetRealTime(bool on)
{
    {
        std::lock_guard lock(FMutex);
        FRealTime = on;
    }
    WakeChips();
}

void TBoard::SetBehaviour(TBehaviour behaviour)
{
    std::lock_guard lock(FMutex);
    FBehaviour = behaviour;
}

void TBoard::QueueDeviceBytes(const std::uint8_t *data, std::size_t count)
{
    std::lock_guard lock(FMutex);
    FDeviceQueue.insert(FDeviceQueue.end(), data, data + count);
}

void TBoard::SetStream(int offset, int zeros)
{
    std::lock_guard lock(FMutex);
    FStreamOffset = offset < 0 ? -1 : offset % static_cast<int>(kWordBits);
    FStreamZeros = std::min(static_cast<unsigned>(std::max(zeros, 0)), kMaxLeadingZeros);
}

void TBoard::SetNoPattern(bool on)
{
    std::lock_guard lock(FMutex);
    FPattern = !on;
}

void TBoard::SetShortWrite(int maxBytes)
{
    std::lock_guard lock(FMutex);
    FFaults.ShortWrite = std::max(maxBytes, 0);
}

void TBoard::SetWriteError(int calls, bool takeBytes)
{
    std::lock_guard lock(FMutex);
    FFaults.WriteErrorCalls = std::max(calls, kUntilCleared);
    FFaults.WriteErrorTakesBytes = takeBytes;
}

void TBoard::SetWriteStall(bool on)
{
    {
        std::lock_guard lock(FMutex);
        FFaults.WriteStall = on;
    }
    WakeChips();
}

void TBoard::SetWriteBudget(long long bytes)
{
    {
        std::lock_guard lock(FMutex);
        FFaults.WriteBudget = std::max(bytes, -1LL);
    }
    WakeChips();
}

void TBoard::SetReadError(int calls)
{
    std::lock_guard lock(FMutex);
    FFaults.ReadErrorCalls = std::max(calls, kUntilCleared);
}

void TBoard::SetOddRead(int calls)
{
    std::lock_guard lock(FMutex);
    FFaults.OddReadCalls = std::max(calls, kUntilCleared);
}

void TBoard::SetUnplugged(bool on)
{
    {
        std::lock_guard lock(FMutex);
        FFaults.Unplugged = on;
    }
    WakeChips();
}

void TBoard::SetOverReport(std::uint32_t bytes)
{
    std::lock_guard lock(FMutex);
    FFaults.OverReport = bytes;
}

void TBoard::SetTxCountHidden(bool on)
{
    std::lock_guard lock(FMutex);
    FFaults.TxCountHidden = on;
}

int TBoard::OpenCount()
{
    return static_cast<int>(FLive.Count());
}

std::size_t TBoard::TakeHostBytes(std::uint8_t *out, std::size_t cap)
{
    std::lock_guard lock(FMutex);
    const std::size_t count = std::min(cap, FHostRecord.size());
    std::copy_n(FHostRecord.begin(), count, out);
    FHostRecord.erase(FHostRecord.begin(), FHostRecord.begin() + static_cast<long>(count));
    return count;
}

std::shared_ptr<TChip> TBoard::LatestChip()
{
    std::lock_guard lock(FMutex);
    return FLatest;
}

TCallSettings TBoard::ForCall()
{
    std::lock_guard lock(FMutex);
    return TCallSettings{FRealTime,          FBehaviour,         FFaults.Unplugged,
                         FFaults.WriteStall, FFaults.OverReport, FFaults.TxCountHidden};
}

TWriteFaults TBoard::TakeWriteFaults()
{
    std::lock_guard lock(FMutex);
    TWriteFaults faults;
    faults.Stall = FFaults.WriteStall;
    faults.MaxBytes = static_cast<std::size_t>(FFaults.ShortWrite);
    if (!faults.Stall && TakeCall(FFaults.WriteErrorCalls)) {
        faults.Error = true;
        faults.ErrorTakesBytes = FFaults.WriteErrorTakesBytes;
    }
    return faults;
}

std::size_t TBoard::TakeWriteBudget(std::size_t count)
{
    std::lock_guard lock(FMutex);
    if (FFaults.WriteBudget < 0)
        return count;
    const std::size_t allowed = std::min(count, static_cast<std::size_t>(FFaults.WriteBudget));
    FFaults.WriteBudget -= static_cast<long long>(allowed);
    return allowed;
}

bool TBoard::TakeReadError()
{
    std::lock_guard lock(FMutex);
    return TakeCall(FFaults.ReadErrorCalls);
}

bool TBoard::TakeOddRead()
{
    std::lock_guard lock(FMutex);
    return TakeCall(FFaults.OddReadCalls);
}

TStreamStart TBoard::StreamStartLocked()
{
    TStreamStart start;
    start.Offset = FStreamOffset >= 0
                       ? static_cast<unsigned>(FStreamOffset)
                       : std::uniform_int_distribution<unsigned>(0, kWordBits - 1)(FRandom);
    start.Zeros = FStreamZeros;
    start.Pattern = FPattern;
    return start;
}

TStreamStart TBoard::NextStreamStart()
{
    std::lock_guard lock(FMutex);
    return StreamStartLocked();
}

bool TBoard::TakeQueuedDeviceByte(std::uint8_t &byte)
{
    std::lock_guard lock(FMutex);
    if (FDeviceQueue.empty())
        return false;
    byte = FDeviceQueue.front();
    FDeviceQueue.pop_front();
    return true;
}

void TBoard::RecordHostByte(std::uint8_t byte)
{
    std::lock_guard lock(FMutex);
    if (FHostRecord.size() < kHostRecordCapacity)
        FHostRecord.push_back(byte);
}

std::vector<d2xx::exports::TListed> TBoard::ListedDevices()
{
    std::lock_guard lock(FMutex);
    std::vector<d2xx::exports::TListed> listed;
    if (FFaults.Unplugged)
        return listed;
    for (std::size_t index = 0; index < FDevices.size(); ++index) {
        const auto unreadable = FUnreadable.find(index);
        if (unreadable == FUnreadable.end())
            listed.push_back({FDevices[index], SerialNumber(index), LocationId(index)});
        else
            listed.push_back(
                {FDevices[index] + " (" + unreadable->second + ")", "", LocationId(index)});
    }
    return listed;
}

void TBoard::SetUnreadable(int index, std::string reason)
{
    std::lock_guard lock(FMutex);
    if (index < 0)
        return;
    if (reason.empty())
        FUnreadable.erase(static_cast<std::size_t>(index));
    else
        FUnreadable[static_cast<std::size_t>(index)] = std::move(reason);
}

d2xx::FT_STATUS TBoard::Open(const std::string &key, bool bySerial, std::shared_ptr<TChip> &chip)
{
    std::lock_guard lock(FMutex);
    if (FFaults.Unplugged || key.empty())
        return d2xx::FT_DEVICE_NOT_FOUND;
    std::size_t index = 0;
    while (index < FDevices.size() && (bySerial ? SerialNumber(index) : FDevices[index]) != key)
        ++index;
    if (index == FDevices.size() || (bySerial && FUnreadable.count(index) != 0))
        return d2xx::FT_DEVICE_NOT_FOUND;
    if (FUnreadable.count(index) != 0)
        return d2xx::FT_DEVICE_NOT_OPENED;
    // By description the first device listed with it is the one, whether open or not; by serial
    // number the one device, so a second board of one description can be opened beside the first.
    for (const auto &entry : FLiveIndex)
        if (entry.second == index)
            return d2xx::FT_DEVICE_NOT_OPENED;

    chip = std::make_shared<TChip>(*this, FDevices[index], StreamStartLocked());
    FLive.Add(chip);
    FLiveIndex.emplace(chip.get(), index);
    FLatest = chip;
    return d2xx::FT_OK;
}

std::shared_ptr<TChip> TBoard::Remove(d2xx::FT_HANDLE handle)
{
    std::lock_guard lock(FMutex);
    std::shared_ptr<TChip> chip = FLive.Remove(handle);
    if (chip)
        FLiveIndex.erase(handle);
    return chip;
}

void TBoard::WakeChips()
{
    for (const auto &chip : FLive.All())
        chip->Wake();
}

} // namespace vsim
