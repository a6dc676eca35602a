#include "device/Handshake.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace ssc
{

namespace
{

constexpr std::chrono::milliseconds kSynchSettle{1};

void Sent(const THandshakeDriver &Driver)
{
    if (Driver.Owed != nullptr)
        ++*Driver.Owed;
}

void Came(const THandshakeDriver &Driver, std::uint32_t Got)
{
    if (Driver.Owed != nullptr)
        *Driver.Owed -= std::min(*Driver.Owed, Got);
}

} // namespace

bool PurgeInput(const THandshakeDriver &Driver, const TSay &Say)
{
    std::vector<unsigned char> buffer(kReadChunk);
    std::uint32_t remaining = Driver.Queued();
    while (remaining != 0) {
        std::uint32_t got = 0;
        const std::uint32_t wanted = std::min<std::uint32_t>(remaining, kReadChunk);
        if (Driver.Read(buffer.data(), wanted, got) != 0) {
            Say(TLinkEventKind::Error, "Error in FT_Read spurgo");
            return true;
        }
        // A read that brings nothing has waited out the driver's read timeout: what was counted
        // is gone, so stop rather than wait forever.
        if (got == 0)
            break;
        Came(Driver, got);
        remaining -= std::min(got, wanted);
    }
    return false;
}

bool DropOwed(const THandshakeDriver &Driver, const TSay &Say)
{
    if (Driver.Owed == nullptr || *Driver.Owed == 0)
        return false;
    Driver.StartTimeout(kSynchPhaseTimeoutMs);
    while (*Driver.Owed != 0 && !Driver.TimeoutExpired()) {
        unsigned char byte = 0;
        std::uint32_t got = 0;
        if (Driver.Read(&byte, 1, got) != 0) {
            Say(TLinkEventKind::Error, "FT_Read error");
            return true;
        }
        Came(Driver, got);
    }
    return false;
}

TClockAnswer ClockInAndWait(const THandshakeDriver &Driver, const unsigned char *Command,
                            std::size_t Length, const std::function<bool(unsigned char)> &Accept)
{
    if (Driver.Send(Command, static_cast<std::uint32_t>(Length)))
        return {TClockOutcome::SendFailed};
    Sent(Driver);
    std::this_thread::sleep_for(kSynchSettle);
    Driver.StartTimeout(kSynchPhaseTimeoutMs);
    for (;;) {
        unsigned char byte = 0;
        std::uint32_t got = 0;
        if (Driver.Read(&byte, 1, got) != 0)
            return {TClockOutcome::ReadFailed};
        Came(Driver, got);
        // Out of time is out of time, even when this read has just brought the byte.
        if (Driver.TimeoutExpired())
            return {TClockOutcome::TimedOut};
        if (got != 0 && Accept(byte))
            return {TClockOutcome::Accepted, byte};
    }
}

TClockAnswer ClockInAndPoll(const THandshakeDriver &Driver, const unsigned char *Command,
                            std::size_t Length, const std::function<bool(unsigned char)> &Accept)
{
    if (Driver.Send(Command, static_cast<std::uint32_t>(Length)))
        return {TClockOutcome::SendFailed};
    Sent(Driver);
    Driver.StartTimeout(kSynchPhaseTimeoutMs);
    for (;;) {
        if (Driver.Queued() != 0) {
            unsigned char byte = 0;
            std::uint32_t got = 0;
            if (Driver.Read(&byte, 1, got) != 0)
                return {TClockOutcome::ReadFailed};
            Came(Driver, got);
            // A read that brought nothing is no byte at all.
            if (got != 0 && Accept(byte))
                return {TClockOutcome::Accepted, byte};
        }
        if (Driver.TimeoutExpired())
            return {TClockOutcome::TimedOut};
    }
}

bool Synchronise(const THandshakeDriver &Driver, int Attempts, std::int16_t Pattern,
                 const TSay &Say)
{
    const TClockIn firstPhase = [&Driver](const unsigned char *Command, std::size_t Length,
                                          const std::function<bool(unsigned char)> &Accept) {
        return ClockInAndWait(Driver, Command, Length, Accept);
    };
    const TClockIn secondPhase = [&Driver](const unsigned char *Command, std::size_t Length,
                                           const std::function<bool(unsigned char)> &Accept) {
        return ClockInAndPoll(Driver, Command, Length, Accept);
    };
    for (int counter = Attempts; counter-- != 0;) {
        // A second phase's answer that came too late would be taken for this attempt's.
        if (DropOwed(Driver, Say))
            return true;
        switch (FirstPhase(firstPhase, LowByte(Pattern), Say)) {
        case TPhase::Failed:
            return true;
        case TPhase::Miss:
            continue;
        case TPhase::Match:
            break;
        }
        switch (SecondPhase(secondPhase, HighByte(Pattern), Say)) {
        case TPhase::Failed:
            return true;
        case TPhase::Miss:
            continue;
        case TPhase::Match:
            // The attempts this handshake had left: how near it came to failing.
            Say(TLinkEventKind::Detail, std::to_string(counter));
            return false;
        }
    }
    return true;
}

} // namespace ssc
