// What the user is told about the device link: its state, the details behind it and the traffic
// through it. A plain model, fed by whoever drives the link (the main window's handlers and its
// bridge cycle) with what the link reported and returned, and read by whatever shows it. It
// guesses nothing: every state comes from a result or a report of the link.
#pragma once

#include "device/LinkEvent.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How a link's last Init ended.
enum class TInitOutcome {
    NotTried,
    LibraryMissing,    // the driver library could not be loaded
    EntryPointMissing, // it lacks one of the entry points
    DeviceNotFound,    // no device has that description
    SetupNotSent,      // opened, but the set-up commands did not go out
    Opened,
};

enum class TLinkPhase {
    NoDeviceChosen, // no link yet, or an empty device description
    DriverMissing,  // the driver library could not be loaded, or lacks an entry point
    UnknownDevice,  // no device has the description
    Synchronising,  // the device is open; the handshake has not succeeded yet
    Bridging,       // bytes flow both ways
    DeviceLost,     // the driver's calls on the device fail (unplugged, for instance)
    Stopped,        // the link was retired and none replaced it
};

struct TLinkTraffic {
    std::uint64_t ToDevice = 0;   // host bytes the link took for the device
    std::uint64_t FromDevice = 0; // bytes the link handed out from the device
    double ToRate = 0;            // bytes a second over the last second or so
    double FromRate = 0;
};

class TLinkState
{
public:
    using Clock = std::chrono::steady_clock;

    // A new link was given Description and its Init ended with Outcome; Library is the file it
    // loaded or tried; Present the descriptions of the devices there, when the description was
    // not found.
    void LinkOpened(const std::string &Description, TInitOutcome Outcome,
                    const std::string &Library, const std::vector<std::string> &Present = {});
    // One handshake attempt of the bridge cycle and its result.
    void SynchTried(bool Failed);
    // Whether the link's driver calls fail now; checked at every tick while a link exists.
    void DeviceChecked(bool Failing);
    // The link was retired and none replaced it.
    void LinkRetired();
    // A text the link reported, with its kind; an error is kept as the last error.
    void Reported(TLinkEventKind Kind, const std::string &Text);
    // Bytes moved by one tick of the bridge cycle.
    void Moved(int ToDevice, int FromDevice, Clock::time_point Now = Clock::now());

    TLinkPhase Phase() const { return FPhase; }
    const std::string &Description() const { return FDescription; }
    const std::string &Library() const { return FLibrary; }
    const std::vector<std::string> &Present() const { return FPresent; }
    int Attempts() const { return FAttempts; }
    const std::string &LastError() const { return FLastError; }
    const TLinkTraffic &Traffic() const { return FTraffic; }
    // Changes whenever anything above does, the traffic once a rate window (about a second): a
    // view redraws only when it moved on, and not at every byte.
    std::uint64_t Revision() const { return FRevision; }

    // The state in a word or two ("bridging", "device lost", ...).
    static std::string Word(TLinkPhase Phase);
    // Why the device could not be opened, in a sentence; empty when it was.
    std::string Reason() const;
    // Every detail, one a line: library, description, attempts, last error.
    std::string Details() const;

private:
    std::uint64_t FRevision = 0;
    TLinkPhase FPhase = TLinkPhase::NoDeviceChosen;
    TInitOutcome FOutcome = TInitOutcome::NotTried;
    std::string FDescription;
    std::string FLibrary;
    std::vector<std::string> FPresent;
    int FAttempts = 0;
    bool FSynched = false;
    std::string FLastError;
    TLinkTraffic FTraffic;
    Clock::time_point FRateStart{};
    std::uint64_t FToAtRateStart = 0;
    std::uint64_t FFromAtRateStart = 0;
};
