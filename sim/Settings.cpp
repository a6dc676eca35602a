#include "sim/Settings.h"

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

std::string SerialNumber(std::size_t index)
{
    std::string digits = std::to_string(index);
    if (digits.size() < kSerialDigits)
        digits.insert(0, kSerialDigits - digits.size(), '0');
    return kSerialPrefix + digits;
}

std::uint32_t LocationId(std::size_t index)
{
    return kLocationBase + static_cast<std::uint32_t>(index);
}

std::vector<std::string> DevicesFromVariable(const std::string &value)
{
    std::vector<std::string> devices;
    if (value.empty())
        return devices;
    std::size_t start = 0;
    for (std::size_t end; (end = value.find(';', start)) != std::string::npos; start = end + 1)
        devices.push_back(value.substr(start, end - start));
    devices.push_back(value.substr(start));
    return devices;
}

Settings &Settings::Instance()
{
    static Settings settings;
    return settings;
}

Settings::Settings() : random_(std::random_device{}())
{
    const char *variable = std::getenv(kDevicesVariable);
    defaultDevices_ =
        variable ? DevicesFromVariable(variable) : std::vector<std::string>{kDefaultDescription};
    ResetLocked();
}

void Settings::ResetLocked()
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
    if (latest_ && live_.count(latest_.get()) == 0)
        latest_.reset();
}

void Settings::Reset()
{
    {
        std::lock_guard lock(mutex_);
        ResetLocked();
    }
    WakeChips();
}

void Settings::SetDevices(std::vector<std::string> descriptions)
{
    std::lock_guard lock(mutex_);
    devices_ = std::move(descriptions);
}

void Settings::SetRealTime(bool on)
{
    {
        std::lock_guard lock(mutex_);
        realTime_ = on;
    }
    WakeChips();
}

void Settings::SetBehaviour(Behaviour behaviour)
{
    std::lock_guard lock(mutex_);
    behaviour_ = behaviour;
}

void Settings::QueueDeviceBytes(const std::uint8_t *data, std::size_t count)
{
    std::lock_guard lock(mutex_);
    deviceQueue_.insert(deviceQueue_.end(), data, data + count);
}

void Settings::SetStream(int offset, int zeros)
{
    std::lock_guard lock(mutex_);
    streamOffset_ = offset < 0 ? -1 : offset % static_cast<int>(kWordBits);
    streamZeros_ = std::min(static_cast<unsigned>(std::max(zeros, 0)), kMaxLeadingZeros);
}

void Settings::SetNoPattern(bool on)
{
    std::lock_guard lock(mutex_);
    pattern_ = !on;
}

void Settings::SetShortWrite(int maxBytes)
{
    std::lock_guard lock(mutex_);
    faults_.shortWrite = std::max(maxBytes, 0);
}

void Settings::SetWriteError(int calls, bool takeBytes)
{
    std::lock_guard lock(mutex_);
    faults_.writeErrorCalls = std::max(calls, kUntilCleared);
    faults_.writeErrorTakesBytes = takeBytes;
}

void Settings::SetWriteStall(bool on)
{
    {
        std::lock_guard lock(mutex_);
        faults_.writeStall = on;
    }
    WakeChips();
}

void Settings::SetWriteBudget(long long bytes)
{
    {
        std::lock_guard lock(mutex_);
        faults_.writeBudget = std::max(bytes, -1LL);
    }
    WakeChips();
}

void Settings::SetReadError(int calls)
{
    std::lock_guard lock(mutex_);
    faults_.readErrorCalls = std::max(calls, kUntilCleared);
}

void Settings::SetOddRead(int calls)
{
    std::lock_guard lock(mutex_);
    faults_.oddReadCalls = std::max(calls, kUntilCleared);
}

void Settings::SetUnplugged(bool on)
{
    {
        std::lock_guard lock(mutex_);
        faults_.unplugged = on;
    }
    WakeChips();
}

void Settings::SetOverReport(std::uint32_t bytes)
{
    std::lock_guard lock(mutex_);
    faults_.overReport = bytes;
}

void Settings::SetTxCountHidden(bool on)
{
    std::lock_guard lock(mutex_);
    faults_.txCountHidden = on;
}

int Settings::OpenCount()
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(live_.size());
}

std::size_t Settings::TakeHostBytes(std::uint8_t *out, std::size_t cap)
{
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(cap, hostRecord_.size());
    std::copy_n(hostRecord_.begin(), count, out);
    hostRecord_.erase(hostRecord_.begin(), hostRecord_.begin() + static_cast<long>(count));
    return count;
}

std::shared_ptr<Chip> Settings::LatestChip()
{
    std::lock_guard lock(mutex_);
    return latest_;
}

CallSettings Settings::ForCall()
{
    std::lock_guard lock(mutex_);
    return CallSettings{realTime_,          behaviour_,         faults_.unplugged,
                        faults_.writeStall, faults_.overReport, faults_.txCountHidden};
}

WriteFaults Settings::TakeWriteFaults()
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

std::size_t Settings::TakeWriteBudget(std::size_t count)
{
    std::lock_guard lock(mutex_);
    if (faults_.writeBudget < 0)
        return count;
    const std::size_t allowed = std::min(count, static_cast<std::size_t>(faults_.writeBudget));
    faults_.writeBudget -= static_cast<long long>(allowed);
    return allowed;
}

bool Settings::TakeReadError()
{
    std::lock_guard lock(mutex_);
    return TakeCall(faults_.readErrorCalls);
}

bool Settings::TakeOddRead()
{
    std::lock_guard lock(mutex_);
    return TakeCall(faults_.oddReadCalls);
}

StreamStart Settings::StreamStartLocked()
{
    StreamStart start;
    start.offset = streamOffset_ >= 0
                       ? static_cast<unsigned>(streamOffset_)
                       : std::uniform_int_distribution<unsigned>(0, kWordBits - 1)(random_);
    start.zeros = streamZeros_;
    start.pattern = pattern_;
    return start;
}

StreamStart Settings::NextStreamStart()
{
    std::lock_guard lock(mutex_);
    return StreamStartLocked();
}

bool Settings::TakeQueuedDeviceByte(std::uint8_t &byte)
{
    std::lock_guard lock(mutex_);
    if (deviceQueue_.empty())
        return false;
    byte = deviceQueue_.front();
    deviceQueue_.pop_front();
    return true;
}

void Settings::RecordHostByte(std::uint8_t byte)
{
    std::lock_guard lock(mutex_);
    if (hostRecord_.size() < kHostRecordCapacity)
        hostRecord_.push_back(byte);
}

std::vector<Settings::Listed> Settings::ListedDevices()
{
    std::lock_guard lock(mutex_);
    std::vector<Listed> listed;
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

void Settings::SetUnreadable(int index, std::string reason)
{
    std::lock_guard lock(mutex_);
    if (index < 0)
        return;
    if (reason.empty())
        unreadable_.erase(static_cast<std::size_t>(index));
    else
        unreadable_[static_cast<std::size_t>(index)] = std::move(reason);
}

d2xx::FT_STATUS Settings::Open(const std::string &key, bool bySerial, std::shared_ptr<Chip> &chip)
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
    live_.emplace(chip.get(), chip);
    liveIndex_.emplace(chip.get(), index);
    latest_ = chip;
    return d2xx::FT_OK;
}

std::shared_ptr<Chip> Settings::Find(d2xx::FT_HANDLE handle)
{
    std::lock_guard lock(mutex_);
    const auto found = live_.find(handle);
    return found == live_.end() ? nullptr : found->second;
}

std::shared_ptr<Chip> Settings::Remove(d2xx::FT_HANDLE handle)
{
    std::lock_guard lock(mutex_);
    const auto found = live_.find(handle);
    if (found == live_.end())
        return nullptr;
    std::shared_ptr<Chip> chip = std::move(found->second);
    live_.erase(found);
    liveIndex_.erase(handle);
    return chip;
}

void Settings::WakeChips()
{
    std::vector<std::shared_ptr<Chip>> chips;
    {
        std::lock_guard lock(mutex_);
        for (const auto &entry : live_)
            chips.push_back(entry.second);
    }
    for (const auto &chip : chips)
        chip->Wake();
}

} // namespace vsim
