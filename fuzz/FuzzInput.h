// What both fuzz targets share: reading the fuzzer's input as a stream of choices, and stopping
// at the first broken invariant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzz
{

// The target's name, for the message that says which invariant broke.
extern const char *const kTargetName;

[[noreturn]] inline void Violated(const char *What)
{
    std::fprintf(stderr, "%s: %s\n", kTargetName, What);
    __builtin_trap();
}

inline void Require(bool Holds, const char *What)
{
    if (!Holds)
        Violated(What);
}

class Input
{
public:
    Input(const std::uint8_t *Data, std::size_t Size) : FData(Data), FSize(Size) {}

    bool Empty() const { return FPos >= FSize; }
    // Zeros once the input is used up, so that every step stays well defined.
    std::uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
    std::uint16_t Word()
    {
        const std::uint8_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }

private:
    const std::uint8_t *FData;
    std::size_t FSize;
    std::size_t FPos = 0;
};

} // namespace fuzz
