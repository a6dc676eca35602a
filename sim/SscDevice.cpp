#include "sim/SscDevice.h"

#include "sim/Board.h"

namespace vsim
{

namespace
{

constexpr unsigned kByteBits = 8;
constexpr std::uint16_t kByteMask = 0xFF;

} // namespace

void TSscDevice::Restart(const TStreamStart &start)
{
    FSynced = false;
    FPatternWord = start.Pattern ? kPatternWord : kNoPatternWord;
    FZerosLeft = start.Zeros;
    FOutWord = FPatternWord;
    // At offset 0 the device stands on a word boundary: the word is chosen when its first bit
    // is clocked, so that a frame arriving first already gets pairs.
    FOutBit = start.Offset % kWordBits == 0 ? kWordBits : start.Offset % kWordBits;
    FOutWordCarriesData = false;
    FCounter = 0;
    FEcho.clear();
    FInWord = 0;
    FInBit = 0;
    FLastTag = 0;
}

std::uint8_t TSscDevice::PrecedingBits() const
{
    if (FZerosLeft > 0)
        return 0;
    const unsigned offset = FOutBit % kWordBits;
    std::uint8_t bits = 0;
    for (unsigned i = 0; i < kByteBits; ++i) {
        const unsigned wordBit = (offset + kWordBits - kByteBits + i) % kWordBits;
        bits |= static_cast<std::uint8_t>(((FPatternWord >> wordBit) & 1U) << i);
    }
    return bits;
}

void TSscDevice::BeginFrame()
{
    if (FSynced)
        return;
    FSynced = true;
    FInWord = 0;
    FInBit = 0;
}

void TSscDevice::LoadNextWord()
{
    FOutBit = 0;
    FOutWordCarriesData = false;
    if (!FSynced) {
        FOutWord = FPatternWord;
        return;
    }
    std::uint8_t byte = 0;
    switch (FBehaviour) {
    case TBehaviour::Echo:
        if (!FEcho.empty()) {
            byte = FEcho.front();
            FEcho.pop_front();
            FOutWordCarriesData = true;
        }
        break;
    case TBehaviour::Send:
        FOutWordCarriesData = FBoard.TakeQueuedDeviceByte(byte);
        break;
    case TBehaviour::Silent:
        break;
    case TBehaviour::Counter:
        byte = FCounter++;
        FOutWordCarriesData = true;
        break;
    }
    FOutWord = FOutWordCarriesData ? static_cast<std::uint16_t>(byte | kFlagData << kByteBits) : 0;
}

void TSscDevice::FinishOutputWord()
{
    if (FOutWordCarriesData)
        ++FBytesSent;
    FOutWordCarriesData = false;
}

unsigned TSscDevice::NextOutputBit()
{
    if (FZerosLeft > 0) {
        --FZerosLeft;
        return 0;
    }
    if (FOutBit == kWordBits)
        LoadNextWord();
    const unsigned bit = (FOutWord >> FOutBit) & 1U;
    if (++FOutBit == kWordBits)
        FinishOutputWord();
    return bit;
}

void TSscDevice::TakeInputWord(std::uint16_t word)
{
    const auto data = static_cast<std::uint8_t>(word & kByteMask);
    const auto tag = static_cast<std::uint8_t>(word >> kByteBits);
    if (tag == 0 || tag == FLastTag)
        return;
    FLastTag = tag;
    ++FHostBytes;
    FBoard.RecordHostByte(data);
    if (FBehaviour == TBehaviour::Echo && FEcho.size() < kEchoQueueCapacity)
        FEcho.push_back(data);
}

std::uint8_t TSscDevice::ClockIn(unsigned count)
{
    if (count == kByteBits && FZerosLeft == 0 && FOutBit % kByteBits == 0) {
        if (FOutBit == kWordBits)
            LoadNextWord();
        const auto byte = static_cast<std::uint8_t>((FOutWord >> FOutBit) & kByteMask);
        FOutBit += kByteBits;
        if (FOutBit == kWordBits)
            FinishOutputWord();
        return byte;
    }
    std::uint8_t bits = 0;
    for (unsigned i = 0; i < count; ++i)
        bits |= static_cast<std::uint8_t>(NextOutputBit() << i);
    return bits;
}

std::uint8_t TSscDevice::ClockOutIn(std::uint8_t hostByte)
{
    // Only frames feed the input, a whole byte at a time, so the input word is always at a byte
    // boundary here. The device shifts its output bit before it samples the host's, so a word
    // chosen on the clock that completes an input word does not yet know that input.
    const std::uint8_t byte = ClockIn(kByteBits);
    FInWord = static_cast<std::uint16_t>(FInWord | hostByte << FInBit);
    FInBit += kByteBits;
    if (FInBit == kWordBits) {
        TakeInputWord(FInWord);
        FInWord = 0;
        FInBit = 0;
    }
    return byte;
}

void TSscDevice::ClockOutIn(const std::uint8_t *hostBytes, std::uint8_t *deviceBytes,
                            std::size_t count)
{
    std::size_t i = 0;
    while (i < count) {
        // A word each way at once while both words begin on this clock, as they do through a
        // frame: the same steps as two single bytes, the output word chosen before the input
        // word is taken.
        if (count - i >= 2 && FZerosLeft == 0 && FOutBit == kWordBits && FInBit == 0) {
            LoadNextWord();
            deviceBytes[i] = static_cast<std::uint8_t>(FOutWord & kByteMask);
            deviceBytes[i + 1] = static_cast<std::uint8_t>(FOutWord >> kByteBits);
            FOutBit = kWordBits;
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
