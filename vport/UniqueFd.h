#pragma once

#include <unistd.h>
#include <utility>

// Owns one file descriptor and closes it on destruction, so that every early return of the
// port's bring-up releases what it had opened.
class TUniqueFd
{
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) : Fd(Fd) {}
    ~TUniqueFd() { Reset(); }

    TUniqueFd(const TUniqueFd &) = delete;
    TUniqueFd &operator=(const TUniqueFd &) = delete;
    TUniqueFd(TUniqueFd &&Other) noexcept : Fd(std::exchange(Other.Fd, -1)) {}
    TUniqueFd &operator=(TUniqueFd &&Other) noexcept
    {
        if (this != &Other)
            Reset(std::exchange(Other.Fd, -1));
        return *this;
    }

    int Get() const { return Fd; }
    bool Valid() const { return Fd >= 0; }

    void Reset(int NewFd = -1)
    {
        if (Fd >= 0)
            ::close(Fd);
        Fd = NewFd;
    }

private:
    int Fd = -1;
};
