#include "usbemu/FtdiChip.h"

#include <algorithm>

namespace usbemu
{

namespace
{

constexpr std::uint8_t kDirIn = 0x80;
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeVendor = 0x40;
constexpr std::size_t kStatusBytes = 2;

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

std::uint16_t Word(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

ControlResult Answer(std::vector<std::uint8_t> bytes, std::uint16_t length)
{
    if (bytes.size() > length)
        bytes.resize(length);
    return ControlResult{false, std::move(bytes)};
}

ControlResult Stall()
{
    return ControlResult{true, {}};
}

} // namespace

FtdiChip::FtdiChip(ChipType type, std::string serial)
    : model_(usbemu::Model(type)), serial_(std::move(serial))
{
    for (unsigned i = 0; i < model_.channels; ++i)
        channels_.push_back(std::make_unique<Channel>(model_));
}

FtdiChip::Channel *FtdiChip::ChannelOf(std::uint16_t index)
{
    // The channel is in the low byte of wIndex, 1 = A; 0 also means A.
    const unsigned number = index & 0xFF;
    const unsigned channel = number == 0 ? 0 : number - 1;
    return channel < channels_.size() ? channels_[channel].get() : nullptr;
}

ControlResult FtdiChip::Control(const std::uint8_t *setup, const std::vector<std::uint8_t> &data)
{
    std::lock_guard lock(mutex_);
    const std::uint8_t requestType = setup[0];
    const bool in = (requestType & kDirIn) != 0;
    const std::uint16_t value = Word(setup + 2);
    const std::uint16_t index = Word(setup + 4);
    const std::uint16_t length = Word(setup + 6);
    (void)data;
    switch (requestType & kTypeMask) {
    case kTypeStandard:
        return Standard(setup[1], in, value, length);
    case kTypeVendor:
        return Vendor(setup, in, value, index, length);
    default:
        return Stall();
    }
}

ControlResult FtdiChip::Standard(std::uint8_t request, bool deviceToHost, std::uint16_t value,
                                 std::uint16_t length)
{
    constexpr std::uint8_t kGetStatus = 0x00, kGetDescriptor = 0x06, kGetConfiguration = 0x08;
    if (!deviceToHost)
        return Stall();
    switch (request) {
    case kGetStatus:
        return Answer({0, 0}, length);
    case kGetConfiguration:
        return Answer({1}, length);
    case kGetDescriptor: {
        const std::uint8_t type = static_cast<std::uint8_t>(value >> 8);
        const std::uint8_t number = static_cast<std::uint8_t>(value & 0xFF);
        constexpr std::uint8_t kDevice = 1, kConfig = 2, kString = 3;
        if (type == kDevice)
            return Answer(DeviceDescriptor(model_, !serial_.empty()), length);
        if (type == kConfig && number == 0)
            return Answer(ConfigDescriptor(model_), length);
        if (type == kString) {
            if (number == 0)
                return Answer({4, kString, 0x09, 0x04}, length); // English (US)
            if (number == kManufacturerIndex)
                return Answer(StringDescriptor(kManufacturer), length);
            if (number == kProductIndex)
                return Answer(StringDescriptor(model_.product), length);
            if (number == kSerialIndex && !serial_.empty())
                return Answer(StringDescriptor(serial_), length);
        }
        return Stall();
    }
    default:
        return Stall();
    }
}

bool FtdiChip::ModeAllowed(unsigned channel, std::uint8_t bitMode) const
{
    const bool mpsseChannel = channel < model_.mpsseChannels;
    const bool quad = model_.type == ChipType::FT4232H;
    switch (bitMode) {
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
        return model_.type == ChipType::FT232H;
    case mode::kSyncFifo:
        return model_.syncFifoOnA && channel == 0;
    default:
        return false;
    }
}

ControlResult FtdiChip::Vendor(const std::uint8_t *setup, bool deviceToHost, std::uint16_t value,
                               std::uint16_t index, std::uint16_t length)
{
    const std::uint8_t request = setup[1];
    if (request == sio::kReadEeprom) {
        if (!deviceToHost)
            return Stall();
        return Answer({0xFF, 0xFF}, length); // a blank EEPROM
    }
    Channel *channel = ChannelOf(index);
    if (channel == nullptr)
        return Stall();
    const auto now = Clock::now();
    const bool wantsIn = request == sio::kPollModemStatus || request == sio::kGetLatency ||
                         request == sio::kReadPins;
    if (wantsIn != deviceToHost)
        return Stall();
    switch (request) {
    case sio::kReset:
        if (value == sio::kResetSio) {
            channel->engine.FromHost().Clear();
            channel->engine.ToHost().Clear();
            channel->flush = false;
        } else if (value == sio::kPurgeFromHost) {
            channel->engine.FromHost().Clear();
        } else if (value == sio::kPurgeToHost) {
            channel->engine.ToHost().Clear();
        } else {
            return Stall();
        }
        channel->engine.Advance(now);
        return Answer({}, 0);
    case sio::kModemCtrl:
    case sio::kFlowCtrl:
    case sio::kBaudRate:
    case sio::kData:
    case sio::kEventChar:
    case sio::kErrorChar:
        return Answer({}, 0);
    case sio::kSetLatency:
        channel->latencyMs = static_cast<std::uint8_t>(value & 0xFF);
        return Answer({}, 0);
    case sio::kGetLatency:
        return Answer({channel->latencyMs}, length);
    case sio::kPollModemStatus:
        return Answer({kModemStatus0, kModemStatus1}, length);
    case sio::kReadPins:
        return Answer({channel->engine.LowPins()}, length);
    case sio::kSetBitmode: {
        unsigned position = 0;
        for (; position < channels_.size(); ++position) {
            if (channels_[position].get() == channel)
                break;
        }
        const std::uint8_t newMode = static_cast<std::uint8_t>(value >> 8);
        if (!ModeAllowed(position, newMode))
            return Stall();
        channel->engine.Advance(now);
        channel->bitMask = static_cast<std::uint8_t>(value & 0xFF);
        channel->bitMode = newMode;
        const bool mpsse = newMode == mode::kMpsse;
        if (mpsse != channel->engine.Enabled())
            channel->engine.Enable(mpsse, now);
        return Answer({}, 0);
    }
    default:
        return Stall();
    }
}

bool FtdiChip::SubmitIn(std::uintptr_t key, std::uint8_t endpoint, std::size_t capacity)
{
    std::lock_guard lock(mutex_);
    for (unsigned i = 0; i < channels_.size(); ++i) {
        if (InEndpoint(i) == endpoint) {
            channels_[i]->in.push_back(Transfer{key, {}, capacity, 0});
            return true;
        }
    }
    return false;
}

bool FtdiChip::SubmitOut(std::uintptr_t key, std::uint8_t endpoint, std::vector<std::uint8_t> data)
{
    std::lock_guard lock(mutex_);
    for (unsigned i = 0; i < channels_.size(); ++i) {
        if (OutEndpoint(i) == endpoint) {
            channels_[i]->out.push_back(Transfer{key, std::move(data), 0, 0});
            return true;
        }
    }
    return false;
}

std::optional<Finished> FtdiChip::Discard(std::uintptr_t key)
{
    std::lock_guard lock(mutex_);
    Transfer taken;
    if (FindLocked(key, true, &taken) == nullptr)
        return std::nullopt;
    // An OUT transfer reports the packets the chip took; an IN one hands over what arrived.
    const std::size_t length = taken.data.size();
    if (taken.capacity == 0)
        return Finished{key, {}, taken.done, 0};
    return Finished{key, std::move(taken.data), length, 0};
}

bool FtdiChip::Pending(std::uintptr_t key)
{
    std::lock_guard lock(mutex_);
    return FindLocked(key, false, nullptr) != nullptr;
}

FtdiChip::Transfer *FtdiChip::FindLocked(std::uintptr_t key, bool remove, Transfer *taken)
{
    for (auto &channel : channels_) {
        for (auto *list : {&channel->in, &channel->out}) {
            const auto it = std::find_if(list->begin(), list->end(),
                                         [key](const Transfer &t) { return t.key == key; });
            if (it == list->end())
                continue;
            if (!remove)
                return &*it;
            *taken = std::move(*it);
            list->erase(it);
            return taken;
        }
    }
    return nullptr;
}

void FtdiChip::HoldFromHostAfter(unsigned channel, std::size_t bytes)
{
    std::lock_guard lock(mutex_);
    channels_.at(channel)->fromHostAllowance = bytes;
}

void FtdiChip::CutNextTransfer(unsigned channel, bool in, std::size_t bytes)
{
    std::lock_guard lock(mutex_);
    (in ? channels_.at(channel)->cutIn : channels_.at(channel)->cutOut) = bytes;
}

void FtdiChip::SetBehaviour(unsigned channel, vsim::TBehaviour behaviour)
{
    std::lock_guard lock(mutex_);
    channels_.at(channel)->engine.SetBehaviour(behaviour);
}

void FtdiChip::SetKernelDriver(unsigned channel, bool bound)
{
    std::lock_guard lock(mutex_);
    channels_.at(channel)->kernelDriver = bound;
}

bool FtdiChip::KernelDriver(unsigned channel)
{
    std::lock_guard lock(mutex_);
    return channel < channels_.size() && channels_[channel]->kernelDriver;
}

void FtdiChip::PumpChannel(Channel &channel, Clock::time_point now, std::vector<Finished> &done)
{
    MpsseEngine &engine = channel.engine;
    auto advance = [&] {
        engine.Advance(now);
        if (engine.TakeSendImmediate())
            channel.flush = true;
    };
    advance();

    // OUT: a packet is taken only when the buffer has room for all of it.
    constexpr int kProtocolError = -71; // -EPROTO
    while (!channel.out.empty()) {
        Transfer &t = channel.out.front();
        while (t.done < t.data.size()) {
            const std::size_t packet =
                std::min<std::size_t>(model_.maxPacket, t.data.size() - t.done);
            if (channel.cutOut && t.done + packet > *channel.cutOut) {
                channel.cutOut.reset();
                t.status = kProtocolError;
                break;
            }
            if (channel.fromHostAllowance < packet)
                break;
            if (channel.fromHostAllowance != kNoHold)
                channel.fromHostAllowance -= packet;
            if (engine.Enabled()) {
                if (engine.FromHost().Room() < packet)
                    break;
                engine.FromHost().Push(t.data.data() + t.done, packet);
            }
            t.done += packet;
            advance();
        }
        if (t.done < t.data.size() && t.status == 0)
            break;
        done.push_back(Finished{t.key, {}, t.done, t.status});
        channel.out.erase(channel.out.begin());
    }

    // IN: full packets while a packet's worth is there, a short one when the latency timer
    // runs out or the host asked for it.
    const std::size_t payload = model_.maxPacket - kStatusBytes;
    const auto latency = std::chrono::milliseconds(channel.latencyMs);
    while (!channel.in.empty()) {
        Transfer &t = channel.in.front();
        vsim::TByteRing &queue = engine.ToHost();
        bool finished = false;
        for (;;) {
            if (channel.cutIn && t.data.size() >= *channel.cutIn) {
                channel.cutIn.reset();
                t.status = kProtocolError;
                finished = true;
                break;
            }
            const std::size_t room = t.capacity - t.data.size();
            if (room < kStatusBytes) {
                finished = true;
                break;
            }
            const std::size_t fits = std::min<std::size_t>(room, model_.maxPacket) - kStatusBytes;
            const bool full = queue.Size() >= payload && fits == payload;
            const bool timeUp = channel.flush || now >= channel.lastPacket + latency;
            if (!full && !timeUp)
                break;
            const std::size_t count = std::min(queue.Size(), fits);
            const std::size_t at = t.data.size();
            t.data.resize(at + kStatusBytes + count);
            t.data[at] = kModemStatus0;
            t.data[at + 1] = kModemStatus1;
            queue.Pop(t.data.data() + at + kStatusBytes, count);
            channel.lastPacket = now;
            advance();
            if (count < payload) {
                // A short packet ends the transfer.
                channel.flush = false;
                finished = true;
                break;
            }
        }
        if (!finished)
            break;
        const std::size_t length = t.data.size();
        done.push_back(Finished{t.key, std::move(t.data), length, t.status});
        channel.in.erase(channel.in.begin());
    }
}

std::vector<Finished> FtdiChip::Pump(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    std::vector<Finished> done;
    for (auto &channel : channels_)
        PumpChannel(*channel, now, done);
    return done;
}

std::optional<FtdiChip::Clock::time_point> FtdiChip::NextDue()
{
    std::lock_guard lock(mutex_);
    std::optional<Clock::time_point> due;
    auto consider = [&due](std::optional<Clock::time_point> t) {
        if (t && (!due || *t < *due))
            due = t;
    };
    for (auto &channel : channels_) {
        if (!channel->in.empty())
            consider(channel->lastPacket + std::chrono::milliseconds(channel->latencyMs));
        if (!channel->in.empty() || !channel->out.empty())
            consider(channel->engine.NextStep());
    }
    return due;
}

std::uint8_t FtdiChip::LatencyMs(unsigned channel)
{
    std::lock_guard lock(mutex_);
    return channels_.at(channel)->latencyMs;
}

std::uint8_t FtdiChip::BitMode(unsigned channel)
{
    std::lock_guard lock(mutex_);
    return channels_.at(channel)->bitMode;
}

std::size_t FtdiChip::ToHostQueued(unsigned channel)
{
    std::lock_guard lock(mutex_);
    auto &c = *channels_.at(channel);
    c.engine.Advance(Clock::now());
    return c.engine.ToHost().Size();
}

std::size_t FtdiChip::FromHostQueued(unsigned channel)
{
    std::lock_guard lock(mutex_);
    auto &c = *channels_.at(channel);
    c.engine.Advance(Clock::now());
    return c.engine.FromHost().Size();
}

long long FtdiChip::BadCommands(unsigned channel)
{
    std::lock_guard lock(mutex_);
    return channels_.at(channel)->engine.BadCommands();
}

} // namespace usbemu
