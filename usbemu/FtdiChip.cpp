#include "usbemu/FtdiChip.h"

#include <algorithm>

namespace usbemu
{

namespace
{

// How far the chip is brought at a time while transfers are pending: a high-speed microframe.
constexpr std::chrono::microseconds kClockStep{125};

constexpr std::uint8_t kDirIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeVendor = 0x40;

namespace sio
{
constexpr std::uint8_t kReset = 0x00, kModemCtrl = 0x01, kFlowCtrl = 0x02, kBaudRate = 0x03;
constexpr std::uint8_t kData = 0x04, kPollModemStatus = 0x05, kEventChar = 0x06;
constexpr std::uint8_t kErrorChar = 0x07, kSetLatency = 0x09, kGetLatency = 0x0A;
constexpr std::uint8_t kSetBitmode = 0x0B, kReadPins = 0x0C, kReadEeprom = 0x90;
// wValue of kReset: the whole channel, the buffer from the host, the buffer to the host.
constexpr std::uint16_t kResetSio = 0, kPurgeFromHost = 1, kPurgeToHost = 2;
} // namespace sio

namespace mode
{
constexpr std::uint8_t kReset = 0x00, kBitbang = 0x01, kMpsse = 0x02, kSyncBitbang = 0x04;
constexpr std::uint8_t kMcu = 0x08, kOpto = 0x10, kCbus = 0x20, kSyncFifo = 0x40;
} // namespace mode

std::uint16_t Word(const std::uint8_t *At)
{
    return static_cast<std::uint16_t>(At[0] | At[1] << 8);
}

TControlResult Answer(std::vector<std::uint8_t> Bytes, std::uint16_t Length)
{
    if (Bytes.size() > Length)
        Bytes.resize(Length);
    return TControlResult{false, std::move(Bytes)};
}

TControlResult Stall()
{
    return TControlResult{true, {}};
}

} // namespace

TFtdiChip::TFtdiChip(TChipType Type, std::string Serial)
    : FModel(usbemu::Model(Type)), FSerial(std::move(Serial)),
      FFrame(FModel.HighSpeed, TClock::now()), FPumped(TClock::now())
{
    for (unsigned i = 0; i < FModel.Channels; ++i)
        FChannels.push_back(std::make_unique<TChipChannel>(FModel));
}

TChipChannel *TFtdiChip::ChannelOf(std::uint16_t Index)
{
    // The channel is in the low byte of wIndex, 1 = A; 0 also means A.
    const unsigned number = Index & 0xFF;
    const unsigned channel = number == 0 ? 0 : number - 1;
    return channel < FChannels.size() ? FChannels[channel].get() : nullptr;
}

TControlResult TFtdiChip::Control(const std::uint8_t *Setup, const std::vector<std::uint8_t> &Data)
{
    std::lock_guard lock(FMutex);
    const std::uint8_t requestType = Setup[0];
    const bool in = (requestType & kDirIn) != 0;
    const std::uint16_t value = Word(Setup + 2);
    const std::uint16_t index = Word(Setup + 4);
    const std::uint16_t length = Word(Setup + 6);
    (void)Data;
    switch (requestType & kTypeMask) {
    case kTypeStandard:
        return Standard(Setup[1], in, value, length);
    case kTypeVendor:
        return Vendor(Setup, in, value, index, length);
    default:
        return Stall();
    }
}

TControlResult TFtdiChip::Standard(std::uint8_t Request, bool DeviceToHost, std::uint16_t Value,
                                   std::uint16_t Length)
{
    constexpr std::uint8_t kGetStatus = 0x00, kGetDescriptor = 0x06, kGetConfiguration = 0x08;
    if (!DeviceToHost)
        return Stall();
    switch (Request) {
    case kGetStatus:
        return Answer({0, 0}, Length);
    case kGetConfiguration:
        return Answer({1}, Length);
    case kGetDescriptor: {
        const std::uint8_t type = static_cast<std::uint8_t>(Value >> 8);
        const std::uint8_t number = static_cast<std::uint8_t>(Value & 0xFF);
        constexpr std::uint8_t kDevice = 1, kConfig = 2, kString = 3;
        if (type == kDevice)
            return Answer(DeviceDescriptor(FModel, !FSerial.empty()), Length);
        if (type == kConfig && number == 0)
            return Answer(ConfigDescriptor(FModel), Length);
        if (type == kString) {
            if (number == 0)
                return Answer({4, kString, 0x09, 0x04}, Length); // English (US)
            if (number == kManufacturerIndex)
                return Answer(StringDescriptor(kManufacturer), Length);
            if (number == kProductIndex)
                return Answer(StringDescriptor(FModel.Product), Length);
            if (number == kSerialIndex && !FSerial.empty())
                return Answer(StringDescriptor(FSerial), Length);
        }
        return Stall();
    }
    default:
        return Stall();
    }
}

bool TFtdiChip::ModeAllowed(unsigned Channel, std::uint8_t Mode) const
{
    const bool mpsseChannel = Channel < FModel.MpsseChannels;
    const bool quad = FModel.Type == TChipType::FT4232H;
    switch (Mode) {
    case mode::kReset:
    case mode::kBitbang:
    case mode::kSyncBitbang:
        return true;
    case mode::kMpsse:
        return mpsseChannel;
    case mode::kMcu:
    case mode::kOpto:
        return mpsseChannel && !quad;
    case mode::kCbus:
        return FModel.Type == TChipType::FT232H;
    case mode::kSyncFifo:
        return FModel.SyncFifoOnA && Channel == 0;
    default:
        return false;
    }
}

TControlResult TFtdiChip::Vendor(const std::uint8_t *Setup, bool DeviceToHost, std::uint16_t Value,
                                 std::uint16_t Index, std::uint16_t Length)
{
    const std::uint8_t request = Setup[1];
    if (request == sio::kReadEeprom) {
        if (!DeviceToHost)
            return Stall();
        return Answer({0xFF, 0xFF}, Length); // a blank EEPROM
    }
    TChipChannel *channel = ChannelOf(Index);
    if (channel == nullptr)
        return Stall();
    const auto now = TClock::now();
    const bool wantsIn = request == sio::kPollModemStatus || request == sio::kGetLatency ||
                         request == sio::kReadPins;
    if (wantsIn != DeviceToHost)
        return Stall();
    switch (request) {
    case sio::kReset:
        if (Value == sio::kResetSio) {
            channel->Engine.FromHost().Clear();
            channel->Engine.ToHost().Clear();
            channel->Flush = false;
        } else if (Value == sio::kPurgeFromHost) {
            channel->Engine.FromHost().Clear();
        } else if (Value == sio::kPurgeToHost) {
            channel->Engine.ToHost().Clear();
        } else {
            return Stall();
        }
        channel->Engine.Advance(now);
        return Answer({}, 0);
    case sio::kModemCtrl:
    case sio::kFlowCtrl:
    case sio::kBaudRate:
    case sio::kData:
    case sio::kEventChar:
    case sio::kErrorChar:
        return Answer({}, 0);
    case sio::kSetLatency:
        channel->LatencyMs = static_cast<std::uint8_t>(Value & 0xFF);
        return Answer({}, 0);
    case sio::kGetLatency:
        return Answer({channel->LatencyMs}, Length);
    case sio::kPollModemStatus:
        return Answer({kModemStatus0, kModemStatus1}, Length);
    case sio::kReadPins:
        return Answer({channel->Engine.LowPins()}, Length);
    case sio::kSetBitmode: {
        unsigned position = 0;
        for (; position < FChannels.size(); ++position) {
            if (FChannels[position].get() == channel)
                break;
        }
        const std::uint8_t newMode = static_cast<std::uint8_t>(Value >> 8);
        if (!ModeAllowed(position, newMode))
            return Stall();
        channel->Engine.Advance(now);
        channel->BitMask = static_cast<std::uint8_t>(Value & 0xFF);
        channel->BitMode = newMode;
        const bool mpsse = newMode == mode::kMpsse;
        if (mpsse != channel->Engine.Enabled())
            channel->Engine.Enable(mpsse, now);
        return Answer({}, 0);
    }
    default:
        return Stall();
    }
}

bool TFtdiChip::SubmitIn(std::uintptr_t Key, std::uint8_t Endpoint, std::size_t Capacity)
{
    std::lock_guard lock(FMutex);
    for (unsigned i = 0; i < FChannels.size(); ++i) {
        if (InEndpoint(i) == Endpoint) {
            if (FChannels[i]->RefuseIn > 0) {
                if (FChannels[i]->RefuseIn != kNoHold)
                    --FChannels[i]->RefuseIn;
                ++FChannels[i]->RefusedIn;
                return false;
            }
            FChannels[i]->In.push_back(TTransfer{Key, {}, Capacity, 0});
            return true;
        }
    }
    return false;
}

bool TFtdiChip::SubmitOut(std::uintptr_t Key, std::uint8_t Endpoint, std::vector<std::uint8_t> Data)
{
    std::lock_guard lock(FMutex);
    for (unsigned i = 0; i < FChannels.size(); ++i) {
        if (OutEndpoint(i) == Endpoint) {
            if (FChannels[i]->RefuseOut > 0) {
                if (FChannels[i]->RefuseOut != kNoHold)
                    --FChannels[i]->RefuseOut;
                ++FChannels[i]->RefusedOut;
                return false;
            }
            FChannels[i]->Out.push_back(TTransfer{Key, std::move(Data), 0, 0});
            return true;
        }
    }
    return false;
}

std::optional<TFinished> TFtdiChip::Discard(std::uintptr_t Key)
{
    std::lock_guard lock(FMutex);
    TTransfer taken;
    if (FindLocked(Key, true, &taken) == nullptr)
        return std::nullopt;
    // An OUT transfer reports the packets the chip took; an IN one hands over what arrived.
    const std::size_t length = taken.Data.size();
    if (taken.Capacity == 0)
        return TFinished{Key, {}, taken.Done, 0};
    return TFinished{Key, std::move(taken.Data), length, 0};
}

bool TFtdiChip::Pending(std::uintptr_t Key)
{
    std::lock_guard lock(FMutex);
    return FindLocked(Key, false, nullptr) != nullptr;
}

TTransfer *TFtdiChip::FindLocked(std::uintptr_t Key, bool Remove, TTransfer *Taken)
{
    for (auto &channel : FChannels) {
        for (auto *list : {&channel->In, &channel->Out}) {
            const auto it = std::find_if(list->begin(), list->end(),
                                         [Key](const TTransfer &Each) { return Each.Key == Key; });
            if (it == list->end())
                continue;
            if (!Remove)
                return &*it;
            *Taken = std::move(*it);
            list->erase(it);
            return Taken;
        }
    }
    return nullptr;
}

void TFtdiChip::HoldFromHostAfter(unsigned Channel, std::size_t Bytes)
{
    std::lock_guard lock(FMutex);
    FChannels.at(Channel)->FromHostAllowance = Bytes;
}

void TFtdiChip::RefuseSubmits(unsigned Channel, bool In, std::size_t Count)
{
    std::lock_guard lock(FMutex);
    (In ? FChannels.at(Channel)->RefuseIn : FChannels.at(Channel)->RefuseOut) = Count;
}

void TFtdiChip::HaltEndpoint(unsigned Channel, bool In, bool Stuck)
{
    std::lock_guard lock(FMutex);
    auto &c = *FChannels.at(Channel);
    (In ? c.HaltedIn : c.HaltedOut) = true;
    (In ? c.StuckIn : c.StuckOut) = Stuck;
}

void TFtdiChip::ClearHalt(std::uint8_t Endpoint)
{
    std::lock_guard lock(FMutex);
    for (unsigned i = 0; i < FChannels.size(); ++i) {
        auto &c = *FChannels[i];
        if (InEndpoint(i) == Endpoint) {
            c.HaltedIn = c.StuckIn;
            ++c.ClearedIn;
        }
        if (OutEndpoint(i) == Endpoint) {
            c.HaltedOut = c.StuckOut;
            ++c.ClearedOut;
        }
    }
}

std::size_t TFtdiChip::SubmitsRefused(unsigned Channel, bool In)
{
    std::lock_guard lock(FMutex);
    return In ? FChannels.at(Channel)->RefusedIn : FChannels.at(Channel)->RefusedOut;
}

std::size_t TFtdiChip::HaltsCleared(unsigned Channel, bool In)
{
    std::lock_guard lock(FMutex);
    return In ? FChannels.at(Channel)->ClearedIn : FChannels.at(Channel)->ClearedOut;
}

void TFtdiChip::CutNextTransfer(unsigned Channel, bool In, std::size_t Bytes)
{
    std::lock_guard lock(FMutex);
    (In ? FChannels.at(Channel)->CutIn : FChannels.at(Channel)->CutOut) = Bytes;
}

void TFtdiChip::SetBehaviour(unsigned Channel, vsim::TBehaviour Behaviour)
{
    std::lock_guard lock(FMutex);
    FChannels.at(Channel)->Engine.SetBehaviour(Behaviour);
}

void TFtdiChip::SetKernelDriver(unsigned Channel, bool Bound)
{
    std::lock_guard lock(FMutex);
    FChannels.at(Channel)->KernelDriver = Bound;
}

bool TFtdiChip::KernelDriver(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    return Channel < FChannels.size() && FChannels[Channel]->KernelDriver;
}

std::vector<TFinished> TFtdiChip::Pump(TClock::time_point Now)
{
    std::lock_guard lock(FMutex);
    std::vector<TFinished> done;
    const bool busy = std::any_of(FChannels.begin(), FChannels.end(),
                                  [](const auto &Each) { return Each->Busy(); });
    // With nothing queued there is nothing to move: the engines catch up in one go.
    TClock::time_point at = busy ? FPumped : Now;
    do {
        at = std::min(Now, at + kClockStep);
        for (auto &channel : FChannels)
            channel->Step(at, FFrame, done);
    } while (at < Now);
    FPumped = std::max(FPumped, Now);
    return done;
}

std::optional<TFtdiChip::TClock::time_point> TFtdiChip::NextDue()
{
    std::lock_guard lock(FMutex);
    std::optional<TClock::time_point> due;
    for (auto &channel : FChannels) {
        const std::optional<TClock::time_point> when = channel->NextDue(FFrame);
        if (when && (!due || *when < *due))
            due = when;
    }
    // The chip is stepped a microframe at a time: what is due now waits for the next step.
    // Transfers finish as their last packet moves, as an xHCI controller reports them, not at
    // the end of the (micro)frame.
    if (due)
        due = std::max(*due, FPumped + kClockStep);
    return due;
}

void TFtdiChip::LeaveClock(unsigned Channel, bool DivideByFive, bool ThreePhase, bool Adaptive)
{
    std::lock_guard lock(FMutex);
    FChannels.at(Channel)->Engine.LeaveClock(DivideByFive, ThreePhase, Adaptive);
}

std::optional<std::uint64_t> TFtdiChip::BitNanoseconds(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    return FChannels.at(Channel)->Engine.BitNanoseconds();
}

std::uint8_t TFtdiChip::LatencyMs(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    return FChannels.at(Channel)->LatencyMs;
}

std::uint8_t TFtdiChip::BitMode(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    return FChannels.at(Channel)->BitMode;
}

std::size_t TFtdiChip::ToHostQueued(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    auto &c = *FChannels.at(Channel);
    c.Engine.Advance(TClock::now());
    return c.Engine.ToHost().Size();
}

std::size_t TFtdiChip::FromHostQueued(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    auto &c = *FChannels.at(Channel);
    c.Engine.Advance(TClock::now());
    return c.Engine.FromHost().Size();
}

std::size_t TFtdiChip::OutTransfersLeft(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    std::size_t left = 0;
    for (const TTransfer &t : FChannels.at(Channel)->Out)
        left += t.Data.size() - t.Done;
    return left;
}

long long TFtdiChip::BadCommands(unsigned Channel)
{
    std::lock_guard lock(FMutex);
    return FChannels.at(Channel)->Engine.BadCommands();
}

} // namespace usbemu
