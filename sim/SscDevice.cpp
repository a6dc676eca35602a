#include "sim/SscDevice.h"

#include "sim/Board.h"

namespace vsim
{

namespace
{

constexpr unsigned kByteBits = 8;
constexpr std::uint16_t kByteMask = 0xFF;

} // namespace

void SscDevice::Restart(const StreamStart &start)
{
    synced_ = false;
    patternWord_ = start.pattern ? kPatternWord : kNoPatternWord;
    zerosLeft_ = start.zeros;
    outWord_ = patternWord_;
    // At offset 0 the device stands on a word boundary: the word is chosen when its first bit
    // is clocked, so that a frame arriving first already gets pairs.
    outBit_ = start.offset % kWordBits == 0 ? kWordBits : start.offset % kWordBits;
    outWordCarriesData_ = false;
    counter_ = 0;
    echo_.clear();
    inWord_ = 0;
    inBit_ = 0;
    lastTag_ = 0;
}

std::uint8_t SscDevice::PrecedingBits() const
{
    if (zerosLeft_ > 0)
        return 0;
    const unsigned offset = outBit_ % kWordBits;
    std::uint8_t bits = 0;
    for (unsigned i = 0; i < kByteBits; ++i) {
        const unsigned wordBit = (offset + kWordBits - kByteBits + i) % kWordBits;
        bits |= static_cast<std::uint8_t>(((patternWord_ >> wordBit) & 1U) << i);
    }
    return bits;
}

void SscDevice::BeginFrame()
{
    if (synced_)
        return;
    synced_ = true;
    inWord_ = 0;
    inBit_ = 0;
}

void SscDevice::LoadNextWord()
{
    outBit_ = 0;
    outWordCarriesData_ = false;
    if (!synced_) {
        outWord_ = patternWord_;
        return;
    }
    std::uint8_t byte = 0;
    switch (behaviour_) {
    case Behaviour::Echo:
        if (!echo_.empty()) {
            byte = echo_.front();
            echo_.pop_front();
            outWordCarriesData_ = true;
        }
        break;
    case Behaviour::Send:
        outWordCarriesData_ = board_.TakeQueuedDeviceByte(byte);
        break;
    case Behaviour::Silent:
        break;
    case Behaviour::Counter:
        byte = counter_++;
        outWordCarriesData_ = true;
        break;
    }
    outWord_ = outWordCarriesData_ ? static_cast<std::uint16_t>(byte | kFlagData << kByteBits) : 0;
}

void SscDevice::FinishOutputWord()
{
    if (outWordCarriesData_)
        ++bytesSent_;
    outWordCarriesData_ = false;
}

unsigned SscDevice::NextOutputBit()
{
    if (zerosLeft_ > 0) {
        --zerosLeft_;
        return 0;
    }
    if (outBit_ == kWordBits)
        LoadNextWord();
    const unsigned bit = (outWord_ >> outBit_) & 1U;
    if (++outBit_ == kWordBits)
        FinishOutputWord();
    return bit;
}

void SscDevice::TakeInputWord(std::uint16_t word)
{
    const auto data = static_cast<std::uint8_t>(word & kByteMask);
    const auto tag = static_cast<std::uint8_t>(word >> kByteBits);
    if (tag == 0 || tag == lastTag_)
        return;
    lastTag_ = tag;
    ++hostBytes_;
    board_.RecordHostByte(data);
    if (behaviour_ == Behaviour::Echo && echo_.size() < kEchoQueueCapacity)
        echo_.push_back(data);
}

std::uint8_t SscDevice::ClockIn(unsigned count)
{
    if (count == kByteBits && zerosLeft_ == 0 && outBit_ % kByteBits == 0) {
        if (outBit_ == kWordBits)
            LoadNextWord();
        const auto byte = static_cast<std::uint8_t>((outWord_ >> outBit_) & kByteMask);
        outBit_ += kByteBits;
        if (outBit_ == kWordBits)
            FinishOutputWord();
        return byte;
    }
    std::uint8_t bits = 0;
    for (unsigned i = 0; i < count; ++i)
        bits |= static_cast<std::uint8_t>(NextOutputBit() << i);
    return bits;
}

std::uint8_t SscDevice::ClockOutIn(std::uint8_t hostByte)
{
    // Only frames feed the input, a whole byte at a time, so the input word is always at a byte
    // boundary here. The device shifts its output bit before it samples the host's, so a word
    // chosen on the clock that completes an input word does not yet know that input.
    const std::uint8_t byte = ClockIn(kByteBits);
    inWord_ = static_cast<std::uint16_t>(inWord_ | hostByte << inBit_);
    inBit_ += kByteBits;
    if (inBit_ == kWordBits) {
        TakeInputWord(inWord_);
        inWord_ = 0;
        inBit_ = 0;
    }
    return byte;
}

void SscDevice::ClockOutIn(const std::uint8_t *hostBytes, std::uint8_t *deviceBytes,
                           std::size_t count)
{
    std::size_t i = 0;
    while (i < count) {
        // A word each way at once while both words begin on this clock, as they do through a
        // frame: the same steps as two single bytes, the output word chosen before the input
        // word is taken.
        if (count - i >= 2 && zerosLeft_ == 0 && outBit_ == kWordBits && inBit_ == 0) {
            LoadNextWord();
            deviceBytes[i] = static_cast<std::uint8_t>(outWord_ & kByteMask);
            deviceBytes[i + 1] = static_cast<std::uint8_t>(outWord_ >> kByteBits);
            outBit_ = kWordBits;
            FinishOutputWord();
            TakeInputWord(static_cast<std::uint16_t>(hostBytes[i] | hostBytes[i + 1] << kByteBits));
            i += 2;
            continue;
        }
        deviceBytes[i] = ClockOutIn(hostBytes[i]);
        ++i;
    }
}

} // namespace vsim
