// A first-in first-out byte queue of fixed capacity, for the chip's command buffer and read
// queue. Its storage is allocated once, so that a full queue pushes back on its producer instead
// of growing, as the buffers of the real chip do.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vsim
{

class TByteRing
{
public:
    explicit TByteRing(std::size_t capacity) : FBytes(capacity) {}

    std::size_t Capacity() const { return FBytes.size(); }
    std::size_t Size() const { return FSize; }
    std::size_t Room() const { return FBytes.size() - FSize; }
    bool Empty() const { return FSize == 0; }
    bool Full() const { return FSize == FBytes.size(); }

    // The byte `index` places behind the oldest; index < Size().
    std::uint8_t Peek(std::size_t index) const { return FBytes[Wrap(FHead + index)]; }

    // Appends what fits of `count` bytes; returns how many were taken.
    std::size_t Push(const std::uint8_t *data, std::size_t count)
    {
        const std::size_t taken = std::min(count, Room());
        std::size_t tail = (FHead + FSize) % FBytes.size();
        std::size_t done = 0;
        while (done < taken) {
            const std::size_t piece = std::min(taken - done, FBytes.size() - tail);
            std::memcpy(FBytes.data() + tail, data + done, piece);
            done += piece;
            tail = (tail + piece) % FBytes.size();
        }
        FSize += taken;
        return taken;
    }

    // Callers check Room() first: the queue never grows.
    // The oldest bytes that lie in one piece of storage; at most Size().
    const std::uint8_t *Front(std::size_t &count) const
    {
        count = std::min(FSize, FBytes.size() - FHead);
        return FBytes.data() + FHead;
    }

    // Free storage in one piece after the newest byte, to fill and then Commit; at most Room().
    std::uint8_t *Back(std::size_t &count)
    {
        const std::size_t tail = Wrap(FHead + FSize);
        count = std::min(Room(), FBytes.size() - tail);
        return FBytes.data() + tail;
    }

    // Takes `count` bytes written through Back; count <= what Back offered.
    void Commit(std::size_t count) { FSize += count; }

    // These two run for every byte the chip clocks: a wrap by subtraction, not by division.
    void PushByte(std::uint8_t byte)
    {
        FBytes[Wrap(FHead + FSize)] = byte;
        ++FSize;
    }

    std::uint8_t PopByte()
    {
        const std::uint8_t byte = FBytes[FHead];
        FHead = Wrap(FHead + 1);
        --FSize;
        return byte;
    }

    // Drops the `count` oldest bytes; count <= Size().
    void Drop(std::size_t count)
    {
        FHead = (FHead + count) % FBytes.size();
        FSize -= count;
    }

    // Moves up to `count` of the oldest bytes to `out`; returns how many.
    std::size_t Pop(std::uint8_t *out, std::size_t count)
    {
        const std::size_t taken = std::min(count, FSize);
        std::size_t done = 0;
        while (done < taken) {
            const std::size_t piece = std::min(taken - done, FBytes.size() - FHead);
            std::memcpy(out + done, FBytes.data() + FHead, piece);
            done += piece;
            FHead = (FHead + piece) % FBytes.size();
        }
        FSize -= taken;
        return taken;
    }

    void Clear()
    {
        FHead = 0;
        FSize = 0;
    }

private:
    // An index less than twice the capacity, brought into the storage.
    std::size_t Wrap(std::size_t index) const
    {
        return index >= FBytes.size() ? index - FBytes.size() : index;
    }

    std::vector<std::uint8_t> FBytes;
    std::size_t FHead = 0;
    std::size_t FSize = 0;
};

} // namespace vsim
