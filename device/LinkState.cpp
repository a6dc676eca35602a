#include "device/LinkState.h"

#include "device/ShownText.h"

#include <algorithm>

namespace
{

// Rates are counted over windows of about this length.
constexpr std::chrono::milliseconds kRateWindow{1000};

} // namespace

void TLinkState::LinkOpened(const std::string &Description, TInitOutcome Outcome,
                            const std::string &Library, const std::vector<std::string> &Present)
{
    ++FRevision;
    FDescription = Description;
    FLibrary = Library;
    FPresent = Present;
    FOutcome = Outcome;
    FAttempts = 0;
    FSynched = false;
    switch (Outcome) {
    case TInitOutcome::LibraryMissing:
    case TInitOutcome::EntryPointMissing:
        FPhase = TLinkPhase::DriverMissing;
        break;
    case TInitOutcome::DeviceNotFound:
        FPhase = Description.empty() ? TLinkPhase::NoDeviceChosen : TLinkPhase::UnknownDevice;
        break;
    case TInitOutcome::SetupNotSent:
        FPhase = TLinkPhase::DeviceLost;
        break;
    case TInitOutcome::Opened:
        FPhase = TLinkPhase::Synchronising;
        FLastError.clear();
        break;
    case TInitOutcome::NotTried:
        FPhase = TLinkPhase::NoDeviceChosen;
        break;
    }
}

void TLinkState::SynchTried(bool Failed)
{
    if (FPhase != TLinkPhase::Synchronising && FPhase != TLinkPhase::DeviceLost)
        return;
    ++FAttempts;
    ++FRevision;
    if (!Failed) {
        FSynched = true;
        FPhase = TLinkPhase::Bridging;
    }
}

void TLinkState::DeviceChecked(bool Failing)
{
    const TLinkPhase before = FPhase;
    if (FPhase == TLinkPhase::Bridging && Failing)
        FPhase = TLinkPhase::DeviceLost;
    else if (FPhase == TLinkPhase::DeviceLost && !Failing)
        FPhase = FSynched ? TLinkPhase::Bridging : TLinkPhase::Synchronising;
    else if (FPhase == TLinkPhase::Synchronising && Failing)
        FPhase = TLinkPhase::DeviceLost;
    if (FPhase != before)
        ++FRevision;
}

void TLinkState::LinkRetired()
{
    ++FRevision;
    FPhase = TLinkPhase::Stopped;
    FSynched = false;
}

void TLinkState::Reported(TLinkEventKind Kind, const std::string &Text)
{
    if (Kind == TLinkEventKind::Error && Text != FLastError) {
        FLastError = Text;
        ++FRevision;
    }
}

void TLinkState::Moved(int ToDevice, int FromDevice, Clock::time_point Now)
{
    FTraffic.ToDevice += static_cast<std::uint64_t>(std::max(ToDevice, 0));
    FTraffic.FromDevice += static_cast<std::uint64_t>(std::max(FromDevice, 0));
    if (FRateStart == Clock::time_point{}) {
        FRateStart = Now;
        return;
    }
    const auto elapsed = Now - FRateStart;
    if (elapsed < kRateWindow)
        return;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (FTraffic.ToRate != 0 || FTraffic.FromRate != 0 || FTraffic.ToDevice != FToAtRateStart ||
        FTraffic.FromDevice != FFromAtRateStart)
        ++FRevision;
    FTraffic.ToRate = double(FTraffic.ToDevice - FToAtRateStart) / seconds;
    FTraffic.FromRate = double(FTraffic.FromDevice - FFromAtRateStart) / seconds;
    FRateStart = Now;
    FToAtRateStart = FTraffic.ToDevice;
    FFromAtRateStart = FTraffic.FromDevice;
}

std::string TLinkState::Word(TLinkPhase Phase)
{
    switch (Phase) {
    case TLinkPhase::NoDeviceChosen:
        return "no device chosen";
    case TLinkPhase::DriverMissing:
        return "driver library missing";
    case TLinkPhase::UnknownDevice:
        return "no such device";
    case TLinkPhase::Synchronising:
        return "synchronising";
    case TLinkPhase::Bridging:
        return "bridging";
    case TLinkPhase::DeviceLost:
        return "device lost";
    case TLinkPhase::Stopped:
        return "stopped";
    }
    return {};
}

std::string TLinkState::Reason() const
{
    switch (FPhase) {
    case TLinkPhase::DriverMissing:
        if (FOutcome == TInitOutcome::EntryPointMissing)
            return FLibrary + ": " + FLastError;
        // The link's own error carries the loader's reason.
        return FLastError.empty() ? "Can not load " + FLibrary : FLastError;
    case TLinkPhase::UnknownDevice: {
        // The descriptions are the driver's bytes: a line feed in one must not pass for the
        // next device, nor an override turn the text around.
        std::string reason = "No device described '" + shown::ShownText(FDescription) + "'";
        if (FPresent.empty())
            return reason + "; no device is attached";
        reason += "; there are:";
        for (const std::string &present : FPresent)
            reason += "\n" + shown::ShownText(present);
        return reason;
    }
    case TLinkPhase::NoDeviceChosen:
        return "No device chosen";
    case TLinkPhase::DeviceLost:
        return "The device does not answer" + (FLastError.empty() ? "" : ": " + FLastError);
    default:
        return {};
    }
}

std::string TLinkState::Details() const
{
    std::string details = "Link: " + Word(FPhase);
    details += "\nDriver library: " + (FLibrary.empty() ? std::string("(none loaded)") : FLibrary);
    details += "\nDevice: " +
               (FDescription.empty() ? std::string("(none)") : shown::ShownText(FDescription));
    details += "\nHandshake attempts: " + std::to_string(FAttempts);
    if (!FLastError.empty())
        details += "\nLast error: " + FLastError;
    return details;
}
