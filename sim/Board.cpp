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

Board &Board::Instance()
{
    static Board board;
    return board;
}

Board::Board() : random_(std::random_device{}())
{
    const char *variable = std::getenv(kDevicesVariable);
    defaultDevices_ =
        variable ? DevicesFromVariable(variable) : std::vector<std::string>{kDefaultDescription};
    ResetLocked();
}

void Board::ResetLocked()
{
    devices_ = defaultDevices_;
    unreadable_.clear();
    realTime_ = true;
    behaviour_ = Behaviour::Echo;
    deviceQueue_.clear();
    streamOffset_ = -1;
    streamZeros_ = 0;
    pattern_ = true;
    faults_ = Faults{};
    hostRecord_.clear();
    if (latest_ && !live_.Find(latest_.get()))
        latest_.reset();
}

void Board::Reset()
{
    {
        std::lock_guard lock(mutex_);
        ResetLocked();
    }
    WakeChips();
}

void Board::SetDevices(std::vector<std::string> descriptions)
{
    std::lock_guard lock(mutex_);
    devices_ = std::move(descriptions);
}

void Board::SetRealTime(bool on)
{
    {
        std::lock_guard lock(mutex_);
        realTime_ = on;
    }
    WakeChips();
}

void Board::SetBehaviour(Behaviour behaviour)
{
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
}

void Board::QueueDeviceBytes(const std::uint8_t *data, std::size_t count)
{
    std::lock_guard lock(mutex_);
    deviceQueue_.insert(deviceQueue_.end(), data, data + count);
}

void Board::SetStream(int offset, int zeros)
{
    std::lock_guard lock(mutex_);
    streamOffset_ = offset < 0 ? -1 : offset % static_cast<int>(kWordBits);
    streamZeros_ = std::min(static_cast<unsigned>(std::max(zeros, 0)), kMaxLeadingZeros);
}

void Board::SetNoPattern(bool on)
{
    std::lock_guard lock(mutex_);
    pattern_ = !on;
}

void Board::SetShortWrite(int maxBytes)
{
    std::lock_guard lock(mutex_);
    faults_.shortWrite = std::max(maxBytes, 0);
}

void Board::SetWriteError(int calls, bool takeBytes)
{
    std::lock_guard lock(mutex_);
    faults_.writeErrorCalls = std::max(calls, kUntilCleared);
    faults_.writeErrorTakesBytes = takeBytes;
}

void Board::SetWriteStall(bool on)
{
    {
        std::lock_guard lock(mutex_);
        faults_.writeStall = on;
    }
    WakeChips();
}

void Board::SetWriteBudget(long long bytes)
{
    {
        std::lock_guard lock(mutex_);
        faults_.writeBudget = std::max(bytes, -1LL);
    }
    WakeChips();
}

void Board::SetReadError(int calls)
{
    std::lock_guard lock(mutex_);
    faults_.readErrorCalls = std::max(calls, kUntilCleared);
}

void Board::SetOddRead(int calls)
{
    std::lock_guard lock(mutex_);
    faults_.oddReadCalls = std::max(calls, kUntilCleared);
}

void Board::SetUnplugged(bool on)
{
    {
        std::lock_guard lock(mutex_);
        faults_.unplugged = on;
    }
    WakeChips();
}

void Board::SetOverReport(std::uint32_t bytes)
{
    std::lock_guard lock(mutex_);
    faults_.overReport = bytes;
}

void Board::SetTxCountHidden(bool on)
{
    std::lock_guard lock(mutex_);
    faults_.txCountHidden = on;
}

int Board::OpenCount()
{
    return static_cast<int>(live_.Count());
}

std::size_t Board::TakeHostBytes(std::uint8_t *out, std::size_t cap)
{
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(cap, hostRecord_.size());
    std::copy_n(hostRecord_.begin(), count, out);
    hostRecord_.erase(hostRecord_.begin(), hostRecord_.begin() + static_cast<long>(count));
    return count;
}

std::shared_ptr<Chip> Board::LatestChip()
{
    std::lock_guard lock(mutex_);
    return latest_;
}

CallSettings Board::ForCall()
{
    std::lock_guard lock(mutex_);
    return CallSettings{realTime_,          behaviour_,         faults_.unplugged,
                        faults_.writeStall, faults_.overReport, faults_.txCountHidden};
}

WriteFaults Board::TakeWriteFaults()
{
    std::lock_guard lock(mutex_);
    WriteFaults faults;
    faults.stall = faults_.writeStall;
    faults.maxBytes = static_cast<std::size_t>(faults_.shortWrite);
    if (!faults.stall && TakeCall(faults_.writeErrorCalls)) {
        faults.error = true;
        faults.errorTakesBytes = faults_.writeErrorTakesBytes;
    }
    return faults;
}

std::size_t Board::TakeWriteBudget(std::size_t count)
{
    std::lock_guard lock(mutex_);
    if (faults_.writeBudget < 0)
        return count;
    const std::size_t allowed = std::min(count, static_cast<std::size_t>(faults_.writeBudget));
    faults_.writeBudget -= static_cast<long long>(allowed);
    return allowed;
}

bool Board::TakeReadError()
{
    std::lock_guard lock(mutex_);
    return TakeCall(faults_.readErrorCalls);
}

bool Board::TakeOddRead()
{
    std::lock_guard lock(mutex_);
    return TakeCall(faults_.oddReadCalls);
}

StreamStart Board::StreamStartLocked()
{
    StreamStart start;
    start.offset = streamOffset_ >= 0
                       ? static_cast<unsigned>(streamOffset_)
                       : std::uniform_int_distribution<unsigned>(0, kWordBits - 1)(random_);
    start.zeros = streamZeros_;
    start.pattern = pattern_;
    return start;
}

StreamStart Board::NextStreamStart()
{
    std::lock_guard lock(mutex_);
    return StreamStartLocked();
}

bool Board::TakeQueuedDeviceByte(std::uint8_t &byte)
{
    std::lock_guard lock(mutex_);
    if (deviceQueue_.empty())
        return false;
    byte = deviceQueue_.front();
    deviceQueue_.pop_front();
    return true;
}

void Board::RecordHostByte(std::uint8_t byte)
{
    std::lock_guard lock(mutex_);
    if (hostRecord_.size() < kHostRecordCapacity)
        hostRecord_.push_back(byte);
}

std::vector<d2xx::exports::TListed> Board::ListedDevices()
{
    std::lock_guard lock(mutex_);
    std::vector<d2xx::exports::TListed> listed;
    if (faults_.unplugged)
        return listed;
    for (std::size_t index = 0; index < devices_.size(); ++index) {
        const auto unreadable = unreadable_.find(index);
        if (unreadable == unreadable_.end())
            listed.push_back({devices_[index], SerialNumber(index), LocationId(index)});
        else
            listed.push_back(
                {devices_[index] + " (" + unreadable->second + ")", "", LocationId(index)});
    }
    return listed;
}

void Board::SetUnreadable(int index, std::string reason)
{
    std::lock_guard lock(mutex_);
    if (index < 0)
        return;
    if (reason.empty())
        unreadable_.erase(static_cast<std::size_t>(index));
    else
        unreadable_[static_cast<std::size_t>(index)] = std::move(reason);
}

d2xx::FT_STATUS Board::Open(const std::string &key, bool bySerial, std::shared_ptr<Chip> &chip)
{
    std::lock_guard lock(mutex_);
    if (faults_.unplugged || key.empty())
        return d2xx::FT_DEVICE_NOT_FOUND;
    std::size_t index = 0;
    while (index < devices_.size() && (bySerial ? SerialNumber(index) : devices_[index]) != key)
        ++index;
    if (index == devices_.size() || (bySerial && unreadable_.count(index) != 0))
        return d2xx::FT_DEVICE_NOT_FOUND;
    if (unreadable_.count(index) != 0)
        return d2xx::FT_DEVICE_NOT_OPENED;
    // By description the first device listed with it is the one, whether open or not; by serial
    // number the one device, so a second board of one description can be opened beside the first.
    for (const auto &entry : liveIndex_)
        if (entry.second == index)
            return d2xx::FT_DEVICE_NOT_OPENED;

    chip = std::make_shared<Chip>(*this, devices_[index], StreamStartLocked());
    live_.Add(chip);
    liveIndex_.emplace(chip.get(), index);
    latest_ = chip;
    return d2xx::FT_OK;
}

std::shared_ptr<Chip> Board::Remove(d2xx::FT_HANDLE handle)
{
    std::lock_guard lock(mutex_);
    std::shared_ptr<Chip> chip = live_.Remove(handle);
    if (chip)
        liveIndex_.erase(handle);
    return chip;
}

void Board::WakeChips()
{
    for (const auto &chip : live_.All())
        chip->Wake();
}

} // namespace vsim
