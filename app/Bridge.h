// The bridge between the virtual port and the device link, without widgets: the window's 10 ms
// timer and velmor-bridge's run the same cycle through it.
//
// A TBridge makes every device link (so that the link's messages reach its log and state model),
// records how each link's Init ended, retires links, and keeps what a retired link leaves: the
// host bytes it never began to send (or, when the device was lost, never saw answered) for the
// link that replaces it, and the device's bytes it had not handed out yet for the port, ahead of
// the next link's. Tick is one turn of the cycle once the port
// has been kept in place: the port's bytes to the link, as much as the link takes whole; the
// link's bytes to the port, as much as an application on it can take; or, while the link is not
// synchronised yet, one handshake. Cycle is the same turn for an owner that lets the bridge
// reopen a lost device: the window and velmor-bridge alike.
//
// The log gets each event with its kind: the link's own messages, the link's changes of state,
// the reopening of a lost device, and what was carried or dropped.
#pragma once

#include "device/DeviceList.h"
#include "device/LinkLog.h"
#include "device/LinkState.h"
#include "traffic/TrafficLog.h"

#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class IVSPortAx;
class TSSCClass;

namespace bridge
{
constexpr int kPollingIntervalMs = 10;
constexpr int kTransferSize = 4096; // the most that moves each way in one tick
constexpr int kSynchAttempts = 24;
constexpr std::int16_t kSynchPattern = 0x01A5;
// Dropped device bytes are said once none has been dropped for kDropsQuiet, and at least every
// kDropsSaidEvery while drops go on.
constexpr std::chrono::milliseconds kDropsQuiet{1000};
constexpr std::chrono::milliseconds kDropsSaidEvery{10000};
// The pauses before each attempt to reopen a device that was lost: then the last one, again.
constexpr std::chrono::milliseconds kReopenPauses[] = {
    std::chrono::milliseconds(500), std::chrono::milliseconds(1000),
    std::chrono::milliseconds(2000), std::chrono::milliseconds(4000)};
// After an FTDI device appeared, the lost device is tried at once and then every kArrivalRetry
// for kArrivalRetrying: the driver may need a moment after the event before the board opens,
// and the ladder goes on after that.
constexpr std::chrono::milliseconds kArrivalRetry{80};
constexpr std::chrono::milliseconds kArrivalRetrying{600};
} // namespace bridge

class TBridge
{
public:
    // A new link, its messages going to Log() and State().
    std::unique_ptr<TSSCClass> NewLink();
    // After a link's Init for Description: what the state model learns from it; the reason it
    // failed, if it did.
    QString LinkInited(TSSCClass &Link, bool Failed, const std::string &Description);
    // Retires the link, if there is one, and none replaces it. The bytes it never sent are
    // dropped with the ones still carried: they were meant for a device no longer chosen. What
    // the device sent goes to the port that the last tick served, as much as an application on
    // it takes now. A lost device waiting to be reopened is waited for no more. Returns the host
    // bytes dropped: those it never sent, and those carried for it.
    std::size_t Retire(std::unique_ptr<TSSCClass> &Link);
    // Retires the link to make way for another to the same device: what it never began to send
    // goes first to the next link, and what the device sent goes to the port before the next
    // link's bytes.
    void RetireForReplacement(std::unique_ptr<TSSCClass> &Link);
    // Replaces the link with a new one opened for Description, as Reset does; true when its Init
    // failed (the reason in Reason, when given). With a Serial, the new link opens the board with
    // that serial number (InitBySerial) and Description is what the state model shows. While a
    // lost device is being reopened this is the next attempt, made now: one that fails leaves
    // Link null and the next attempt set.
    bool Replace(std::unique_ptr<TSSCClass> &Link, const std::string &Description,
                 QString *Reason = nullptr, const std::string &Serial = {});
    // When the last link's description is shared by other devices present (as listed just after
    // its Init): all of them, in list order, and the serial number of the one in use (by
    // description the driver takes the first listed); nothing when the link could not open it.
    // Empty otherwise.
    const std::vector<TDeviceEntry> &Twins() const { return FTwins; }
    const std::optional<std::string> &UsedSerial() const { return FUsedSerial; }
    // Forgets the host bytes carried for a next link.
    void DropUnsent() { FUnsent.clear(); }
    std::size_t Unsent() const { return FUnsent.size(); }
    // Host bytes read from the port that the device has not taken yet and that a Retire now
    // would drop: carried for a next link, or waiting in Link's transmit ring (null: none). The
    // frame the chip clocks is not among them: retiring lets the chip clock it out.
    std::size_t NotYetSent(TSSCClass *Link) const;
    // The same with what Port still holds of what programs wrote (null: no port): all that has
    // not reached the device.
    long long NotYetSent(TSSCClass *Link, const IVSPortAx *Port) const;
    // Retires the link as the program ends, Port about to go: returns what programs wrote that
    // never reached the device, Port's share included (dropped from Port here).
    long long RetireAtEnd(std::unique_ptr<TSSCClass> &Link, IVSPortAx *Port);
    // Device bytes that retired links left, not yet on the port.
    std::size_t Undelivered() const { return FReceived.size(); }

    // One turn of the cycle for Link and the port's control; ApplicationHoldsPort is this tick's
    // own reading of whether an application holds the port.
    void Tick(TSSCClass &Link, IVSPortAx &Port, bool ApplicationHoldsPort);
    // One turn of the cycle for an owner whose lost device the bridge reopens. While the device
    // answers, Tick. Once it is lost the link is retired at once, what it never sent or never saw
    // answered carried, and Link stays null while the port waits, its application's bytes with
    // it; the device is reopened under the same description after kReopenPauses.
    void Cycle(std::unique_ptr<TSSCClass> &Link, IVSPortAx &Port, bool ApplicationHoldsPort);
    // Link's device was not there to open: Link goes, and the device is waited for as a lost
    // one is, the port serving meanwhile and its application's bytes waiting in it.
    void AwaitDevice(std::unique_ptr<TSSCClass> &Link);
    // An FTDI device appeared (app/DeviceArrivals.h): a lost device, or one waited for, is
    // tried at the next turn of the cycle and then every kArrivalRetry for kArrivalRetrying,
    // the ladder's step kept. Nothing happens while no device is waited for.
    void DeviceArrived();
    // Whether a lost device waits to be reopened, and how long until the next attempt.
    bool Reopening() const { return FReopening; }
    std::chrono::milliseconds NextAttemptIn(
        std::chrono::steady_clock::time_point Now = std::chrono::steady_clock::now()) const;

    TLinkState &State() { return FState; }
    const TLinkState &State() const { return FState; }
    TLinkLog &Log() { return FLog; }
    const TLinkLog &Log() const { return FLog; }
    // From now on the bytes that move are recorded in Traffic too: host bytes as the link takes
    // them, device bytes as the port takes them. Null, as at first, records nothing; a recorder
    // must stay alive while it is attached.
    void RecordTraffic(TTrafficLog *Traffic) { FTraffic = Traffic; }

private:
    // Logs the link's state when it changed since it was last logged.
    void LogState();
    // The device stopped answering: the link goes, its bytes carried, and reopening begins.
    void Lost(std::unique_ptr<TSSCClass> &Link);
    // Lists the devices present after Link's Init, for Twins().
    void RecordTwins(TSSCClass &Link, const std::string &Description);
    // Hands the link what a retired link left unsent; true once nothing is left.
    bool HandOverUnsent(TSSCClass &Link);
    // Moves what retired links left and then, when LinkReady, what the link received to the
    // port: no more than an application on the port can take now, so nothing is dropped while
    // someone listens. Returns how many bytes it moved.
    int DeliverReceived(TSSCClass &Link, bool LinkReady, IVSPortAx &Port, bool ApplicationHoldsPort,
                        unsigned char *Inbound);
    // Moves up to Capacity bytes of what retired links left to the port; returns how many.
    int DeliverRetired(IVSPortAx &Port, long Capacity);
    // Puts what the port had to say, and the bytes it dropped, into the log; All says the drops
    // not said yet whether or not they go on.
    void ReportPort(IVSPortAx &Port, bool All = false);
    // Bytes that moved, for the traffic recorder if there is one.
    void Record(TTrafficDirection Direction, const unsigned char *Bytes, long Count)
    {
        if (FTraffic && Count > 0)
            FTraffic->Record(Direction, Bytes, std::size_t(Count), TTrafficLog::Clock::now());
    }

    TLinkLog FLog;
    TLinkState FState;
    TLinkPhase FLoggedPhase = TLinkPhase::NoDeviceChosen;
    // What the current link's device has taken, as counted at the last tick.
    std::uint64_t FTookSeen = 0;
    // While a lost device waits: the next attempt, and which pause it came after.
    bool FReopening = false;
    // The device waited for has not been opened yet (AwaitDevice): it is not "back".
    bool FAwaited = false;
    std::chrono::steady_clock::time_point FReopenAt{};
    std::size_t FPause = 0;
    // Until when attempts come every kArrivalRetry, after a device appeared.
    std::chrono::steady_clock::time_point FArrivalUntil{};
    // The serial number the last Replace opened its board by, if any: a lost board is reopened
    // by it too.
    std::string FSerial;
    TTrafficLog *FTraffic = nullptr;
    std::vector<TDeviceEntry> FTwins;
    std::optional<std::string> FUsedSerial;
    // Host bytes read from the port that a retired link never began to send: the link that
    // replaced it takes them before anything new from the port.
    std::vector<unsigned char> FUnsent;
    // Device bytes that retired links had not handed out, oldest first: they reach the port
    // before anything of the current link.
    std::vector<unsigned char> FReceived;
    // The port and its application as the last tick found them; the caller keeps the port alive
    // until the link is retired, and retiring forgets it.
    IVSPortAx *FPort = nullptr;
    bool FApplicationHoldsPort = false;
    // The port's counts of dropped bytes, by why, as last seen, and the drops not said yet: they
    // are said once they have stopped for a moment, or now and then while they go on, so that a
    // device talking to nobody costs a line now and then, not one a tick.
    struct TDropTally {
        long long Seen = 0;
        long long Unsaid = 0;
        std::chrono::steady_clock::time_point FirstUnsaid{};
        std::chrono::steady_clock::time_point Last{};
    };
    const IVSPortAx *FDropsOf = nullptr;
    std::array<TDropTally, 4> FDrops{};
};
