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

class ByteRing
{
public:
    explicit ByteRing(std::size_t capacity) : bytes_(capacity) {}

    std::size_t Capacity() const { return bytes_.size(); }
    std::size_t Size() const { return size_; }
    std::size_t Room() const { return bytes_.size() - size_; }
    bool Empty() const { return size_ == 0; }
    bool Full() const { return size_ == bytes_.size(); }

    // The byte `index` places behind the oldest; index < Size().
    std::uint8_t Peek(std::size_t index) const { return bytes_[Wrap(head_ + index)]; }

    // Appends what fits of `count` bytes; returns how many were taken.
    std::size_t Push(const std::uint8_t *data, std::size_t count)
    {
        const std::size_t taken = std::min(count, Room());
        std::size_t tail = (head_ + size_) % bytes_.size();
        std::size_t done = 0;
        while (done < taken) {
            const std::size_t piece = std::min(taken - done, bytes_.size() - tail);
            std::memcpy(bytes_.data() + tail, data + done, piece);
            done += piece;
            tail = (tail + piece) % bytes_.size();
        }
        size_ += taken;
        return taken;
    }

    // Callers check Room() first: the queue never grows.
    // The oldest bytes that lie in one piece of storage; at most Size().
    const std::uint8_t *Front(std::size_t &count) const
    {
        count = std::min(size_, bytes_.size() - head_);
        return bytes_.data() + head_;
    }

    // Free storage in one piece after the newest byte, to fill and then Commit; at most Room().
    std::uint8_t *Back(std::size_t &count)
    {
        const std::size_t tail = Wrap(head_ + size_);
        count = std::min(Room(), bytes_.size() - tail);
        return bytes_.data() + tail;
    }

    // Takes `count` bytes written through Back; count <= what Back offered.
    void Commit(std::size_t count) { size_ += count; }

    // These two run for every byte the chip clocks: a wrap by subtraction, not by division.
    void PushByte(std::uint8_t byte)
    {
        bytes_[Wrap(head_ + size_)] = byte;
        ++size_;
    }

    std::uint8_t PopByte()
    {
        const std::uint8_t byte = bytes_[head_];
        head_ = Wrap(head_ + 1);
        --size_;
        return byte;
    }

    // Drops the `count` oldest bytes; count <= Size().
    void Drop(std::size_t count)
    {
        head_ = (head_ + count) % bytes_.size();
        size_ -= count;
    }

    // Moves up to `count` of the oldest bytes to `out`; returns how many.
    std::size_t Pop(std::uint8_t *out, std::size_t count)
    {
        const std::size_t taken = std::min(count, size_);
        std::size_t done = 0;
        while (done < taken) {
            const std::size_t piece = std::min(taken - done, bytes_.size() - head_);
            std::memcpy(out + done, bytes_.data() + head_, piece);
            done += piece;
            head_ = (head_ + piece) % bytes_.size();
        }
        size_ -= taken;
        return taken;
    }

    void Clear()
    {
        head_ = 0;
        size_ = 0;
    }

private:
    // An index less than twice the capacity, brought into the storage.
    std::size_t Wrap(std::size_t index) const
    {
        return index >= bytes_.size() ? index - bytes_.size() : index;
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

} // namespace vsim
