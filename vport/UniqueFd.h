#pragma once

#include <unistd.h>
#include <utility>

// Owns one file descriptor and closes it on destruction, so that every early return of the
// port's bring-up releases what it had opened.
class TUniqueFd
{
public:
    TUniqueFd() = default;
    explicit TUniqueFd(int Fd) : FFd(Fd) {}
    ~TUniqueFd() { Reset(); }

    TUniqueFd(const TUniqueFd &) = delete;
    TUniqueFd &operator=(const TUniqueFd &) = delete;
    TUniqueFd(TUniqueFd &&Other) noexcept : FFd(std::exchange(Other.FFd, -1)) {}
    TUniqueFd &operator=(TUniqueFd &&Other) noexcept
    {
        if (this != &Other)
            Reset(std::exchange(Other.FFd, -1));
        return *this;
    }

    int Get() const { return FFd; }
    bool Valid() const { return FFd >= 0; }

    void Reset(int NewFd = -1)
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = NewFd;
    }

private:
    int FFd = -1;
};
