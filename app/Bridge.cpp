#include "app/Bridge.h"

#include "device/ShownText.h"
#include "device/Tsscclass.h"
#include "vport/ClosedWrites.h"
#include "vport/VSPortLib_TLB.h"

#include <QStringList>

#include <algorithm>

using namespace bridge;

namespace
{
// Why the port dropped bytes of each kind it counts (TPortDrops, in order), after the count.
std::string DropReason(std::size_t Kind)
{
    switch (Kind) {
    case 0:
        return " bytes from the device: no application held the port";
    case 1:
        return " bytes from the device: the application they waited for closed the port without "
               "reading them";
    case 2:
        return " bytes meant for the device: an application wrote them and closed the port, and "
               "the device did not take them within the closing wait";
    default:
        return " bytes meant for the device: applications wrote them and closed the port, beyond "
               "the " +
               std::to_string(TClosedWrites::kKept) + " bytes kept for closed applications";
    }
}

// A pause in seconds as the user reads it: "0.5 s", "4 s".
std::string Seconds(std::chrono::milliseconds Pause)
{
    QString text = QString::number(double(Pause.count()) / 1000.0, 'g', 3);
    return text.toStdString() + " s";
}
} // namespace

std::unique_ptr<TSSCClass> TBridge::NewLink()
{
    FTookSeen = 0;
    return std::make_unique<TSSCClass>(
        TSSCEventHandler([this](TLinkEventKind Kind, const AnsiString &Text) {
            FLog.Add(Kind, Text);
            FState.Reported(Kind, Text);
        }));
}

void TBridge::LogState()
{
    // A lost device is said by Lost, with its reason and what follows.
    if (FReopening || FState.Phase() == FLoggedPhase || FState.Phase() == TLinkPhase::DeviceLost)
        return;
    FLoggedPhase = FState.Phase();
    FLog.Add(TLinkEventKind::State, TLinkState::Word(FLoggedPhase));
}

std::chrono::milliseconds TBridge::NextAttemptIn(std::chrono::steady_clock::time_point Now) const
{
    if (!FReopening || Now >= FReopenAt)
        return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(FReopenAt - Now);
}

QString TBridge::LinkInited(TSSCClass &Link, bool Failed, const std::string &Description)
{
    std::vector<std::string> present;
    // The descriptions as the driver gives their bytes, which need not be UTF-8.
    if (Link.InitOutcome() == TInitOutcome::DeviceNotFound)
        ForEachDevice(Link.Driver(), [&present](d2xx::DWORD, const std::string &Description) {
            present.push_back(Description);
        });
    RecordTwins(Link, Description);
    FState.LinkOpened(Description, Link.InitOutcome(), Link.LibraryFile(), present);
    LogState();
    return Failed ? QString::fromLocal8Bit(FState.Reason()) : QString();
}

std::size_t TBridge::Retire(std::unique_ptr<TSSCClass> &Link)
{
    std::size_t dropped = FUnsent.size();
    FUnsent.clear();
    // Whatever replaces the link now (none, or one Setup opened) ends the wait for a lost device.
    FReopening = false;
    if (Link) {
        TLinkRemains remains = RetireLink(Link);
        dropped += remains.Unsent.size();
        FReceived.insert(FReceived.end(), remains.Received.begin(), remains.Received.end());
        FState.LinkRetired();
        LogState();
    }
    // The last chance for the answers: the port may go next (the window closing), or stay
    // without a link to serve it. Whatever no application takes now is dropped.
    if (FPort && !FReceived.empty()) {
        const long capacity = FApplicationHoldsPort ? FPort->WriteRoom() : long(FReceived.size());
        FState.Moved(0, DeliverRetired(*FPort, capacity));
    }
    FReceived.clear();
    // Nothing dropped goes unsaid: the port may go next.
    if (FPort)
        ReportPort(*FPort, true);
    FPort = nullptr;
    return dropped;
}

long long TBridge::NotYetSent(TSSCClass *Link, const IVSPortAx *Port) const
{
    const long long inPort = Port ? Port->PendingForDevice() : 0;
    return inPort + static_cast<long long>(NotYetSent(Link));
}

long long TBridge::RetireAtEnd(std::unique_ptr<TSSCClass> &Link, IVSPortAx *Port)
{
    const long long inPort = Port ? Port->DropPendingForDevice() : 0;
    return inPort + static_cast<long long>(Retire(Link));
}

std::size_t TBridge::NotYetSent(TSSCClass *Link) const
{
    std::size_t pending = FUnsent.size();
    const int room = Link ? Link->TxRoom() : -1;
    if (room >= 0)
        pending += static_cast<std::size_t>(ssc::HostByteRoom(0) - room);
    return pending;
}

void TBridge::RetireForReplacement(std::unique_ptr<TSSCClass> &Link)
{
    TLinkRemains remains = RetireLink(Link);
    FUnsent.insert(FUnsent.begin(), remains.Unsent.begin(), remains.Unsent.end());
    FReceived.insert(FReceived.end(), remains.Received.begin(), remains.Received.end());
    if (remains.Unanswered > 0)
        FLog.Add(TLinkEventKind::Traffic, "Carried " + std::to_string(remains.Unanswered) +
                                              " unanswered bytes to the next link");
}

void TBridge::RecordTwins(TSSCClass &Link, const std::string &Description)
{
    FTwins.clear();
    FUsedSerial.reset();
    // A board of several that is in use elsewhere is not found by its description either.
    const TInitOutcome outcome = Link.InitOutcome();
    const bool opened = outcome == TInitOutcome::Opened || outcome == TInitOutcome::SetupNotSent;
    if (!opened && outcome != TInitOutcome::DeviceNotFound)
        return;
    std::vector<TDeviceEntry> present;
    ListDeviceEntries(Link.Driver(), present);
    std::vector<TDeviceEntry> twins = WithDescription(present, Description);
    if (twins.size() < 2)
        return;
    FTwins = std::move(twins);
    if (opened)
        FUsedSerial = !Link.Serial().empty() ? Link.Serial() : FTwins.front().Serial.value_or("");
}

bool TBridge::Replace(std::unique_ptr<TSSCClass> &Link, const std::string &Description,
                      QString *Reason, const std::string &Serial)
{
    RetireForReplacement(Link);
    FSerial = Serial;
    Link = NewLink();
    const bool failed = Serial.empty() ? Link->Init(Description) : Link->InitBySerial(Serial);
    const QString reason = LinkInited(*Link, failed, Description);
    if (Reason)
        *Reason = reason;
    if (FReopening) {
        // An attempt at a lost device: one that failed, or that opened a device that does not
        // take its set-up, waits for the next.
        if (!failed) {
            FReopening = false;
            FLog.Add(TLinkEventKind::State, "device '" + shown::ShownText(Description) +
                                                (FAwaited ? "' opened" : "' opened again"));
            FAwaited = false;
            LogState();
        } else {
            // Just after a device appeared, the next attempt comes soon and the ladder waits.
            const auto now = std::chrono::steady_clock::now();
            const bool arriving = now < FArrivalUntil;
            if (!arriving)
                FPause = std::min(FPause + 1, std::size(kReopenPauses) - 1);
            const std::chrono::milliseconds pause =
                arriving ? kArrivalRetry : kReopenPauses[FPause];
            FLog.Add(TLinkEventKind::Error,
                     (FAwaited ? "device not there yet: " : "device not back yet: ") +
                         reason.toLocal8Bit().toStdString() + "; next try in " + Seconds(pause));
            RetireForReplacement(Link);
            FReopenAt = now + pause;
        }
    }
    return failed;
}

void TBridge::Lost(std::unique_ptr<TSSCClass> &Link)
{
    // What the link said of the failure comes first: it is the reason.
    Link->DeliverMessages();
    FPause = 0;
    FLog.Add(TLinkEventKind::Error, "device lost; reopening in " + Seconds(kReopenPauses[FPause]));
    FLoggedPhase = TLinkPhase::DeviceLost;
    FAwaited = false;
    FArrivalUntil = {};
    // What the link was given and never sent goes to the next one; the port stays, and what its
    // application writes meanwhile waits in it.
    RetireForReplacement(Link);
    FReopening = true;
    FReopenAt = std::chrono::steady_clock::now() + kReopenPauses[FPause];
}

void TBridge::AwaitDevice(std::unique_ptr<TSSCClass> &Link)
{
    FPause = 0;
    FLog.Add(TLinkEventKind::State,
             "waiting for the device; next try in " + Seconds(kReopenPauses[FPause]));
    RetireForReplacement(Link);
    FReopening = true;
    FAwaited = true;
    FArrivalUntil = {};
    FReopenAt = std::chrono::steady_clock::now() + kReopenPauses[FPause];
}

void TBridge::DeviceArrived()
{
    if (!FReopening)
        return;
    const auto now = std::chrono::steady_clock::now();
    FArrivalUntil = now + kArrivalRetrying;
    FReopenAt = std::min(FReopenAt, now);
}

void TBridge::Cycle(std::unique_ptr<TSSCClass> &Link, IVSPortAx &Port, bool ApplicationHoldsPort)
{
    if (FReopening) {
        if (std::chrono::steady_clock::now() >= FReopenAt)
            Replace(Link, FState.Description(), nullptr, FSerial);
        return;
    }
    if (!Link)
        return;
    // A device that did not take its set-up counts as lost a moment ago.
    if (FState.Phase() != TLinkPhase::DeviceLost)
        Tick(*Link, Port, ApplicationHoldsPort);
    if (FState.Phase() == TLinkPhase::DeviceLost)
        Lost(Link);
}

void TBridge::Tick(TSSCClass &Link, IVSPortAx &Port, bool ApplicationHoldsPort)
{
    // Port to device: read no more than the link takes whole now; the rest waits in the port,
    // where the application's writes wait as on a line with flow control. A link that cannot
    // transfer takes nothing, so what the port holds is read and dropped.
    int fromDevice = 0;
    if (HandOverUnsent(Link)) {
        const int room = Link.TxRoom();
        long count = room < 0 ? kTransferSize : std::min(room, kTransferSize);
        if (count > 0) {
            auto outbound = std::make_unique_for_overwrite<unsigned char[]>(kTransferSize);
            const long read = Port.Read(outbound.get(), &count);
            if (read != 0) {
                const int taken = Link.SendData(outbound.get(), static_cast<int>(read));
                Record(TTrafficDirection::ToDevice, outbound.get(), taken);
            }
        }
    }

    // Device to port, or the handshake while the link is not synchronised yet.
    FPort = &Port;
    FApplicationHoldsPort = ApplicationHoldsPort;
    auto inbound = std::make_unique_for_overwrite<unsigned char[]>(kTransferSize);
    bool ready = Link.Synched;
    if (!ready) {
        const bool failed = Link.SynchDevice(kSynchAttempts, kSynchPattern);
        FState.SynchTried(failed);
        ready = !failed;
    }
    fromDevice = DeliverReceived(Link, ready, Port, ApplicationHoldsPort, inbound.get());
    // What the device took, not what the link holds for it: bytes waiting in the rings or the
    // chip are counted once answered. Every tick, bytes or not, so that the rates fall to
    // nothing when the traffic stops.
    const std::uint64_t took = Link.DeviceTook();
    FState.Moved(static_cast<int>(took - FTookSeen), fromDevice);
    FTookSeen = took;
    FState.DeviceChecked(Link.DeviceFailing());
    LogState();
    ReportPort(Port);
}

void TBridge::ReportPort(IVSPortAx &Port, bool All)
{
    for (const QString &notice : Port.TakeNotices())
        FLog.Add(TLinkEventKind::Error, notice.toLocal8Bit().toStdString());

    const TPortDrops drops = Port.Drops();
    const long long counts[] = {drops.NobodyHeld, drops.NotRead, drops.ClosingWait, drops.OverKept};
    static_assert(std::size(counts) == std::tuple_size_v<decltype(FDrops)>);
    if (&Port != FDropsOf) {
        FDropsOf = &Port;
        for (std::size_t kind = 0; kind < FDrops.size(); ++kind)
            FDrops[kind] = TDropTally{counts[kind]};
    }
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t kind = 0; kind < FDrops.size(); ++kind) {
        TDropTally &tally = FDrops[kind];
        if (counts[kind] > tally.Seen) {
            if (tally.Unsaid == 0)
                tally.FirstUnsaid = now;
            tally.Unsaid += counts[kind] - tally.Seen;
            tally.Last = now;
        }
        tally.Seen = counts[kind];
        if (tally.Unsaid > 0 && (All || now - tally.Last >= kDropsQuiet ||
                                 now - tally.FirstUnsaid >= kDropsSaidEvery)) {
            FLog.Add(TLinkEventKind::Error,
                     "Dropped " + std::to_string(tally.Unsaid) + DropReason(kind));
            tally.Unsaid = 0;
            tally.FirstUnsaid = now;
        }
    }
}

bool TBridge::HandOverUnsent(TSSCClass &Link)
{
    if (FUnsent.empty())
        return true;
    const int taken = Link.SendData(FUnsent.data(), static_cast<int>(FUnsent.size()));
    // A link without a device drops what it is given, as it drops what comes from the port.
    if (taken < 0)
        FUnsent.clear();
    else
        FUnsent.erase(FUnsent.begin(), FUnsent.begin() + taken);
    return FUnsent.empty();
}

int TBridge::DeliverReceived(TSSCClass &Link, bool LinkReady, IVSPortAx &Port,
                             bool ApplicationHoldsPort, unsigned char *Inbound)
{
    long capacity = kTransferSize;
    if (ApplicationHoldsPort)
        capacity = std::min(capacity, Port.WriteRoom());
    if (capacity <= 0)
        return 0;
    const int retired = DeliverRetired(Port, capacity);
    capacity -= retired;
    if (!LinkReady || capacity <= 0 || !FReceived.empty())
        return retired;
    const int received = Link.ReceiveData(Inbound, static_cast<int>(capacity));
    if (received > 0)
        Record(TTrafficDirection::FromDevice, Inbound, Port.Write(Inbound, received));
    return retired + std::max(received, 0);
}

int TBridge::DeliverRetired(IVSPortAx &Port, long Capacity)
{
    const long count = std::min<long>(Capacity, static_cast<long>(FReceived.size()));
    if (count <= 0)
        return 0;
    Record(TTrafficDirection::FromDevice, FReceived.data(), Port.Write(FReceived.data(), count));
    FReceived.erase(FReceived.begin(), FReceived.begin() + count);
    return static_cast<int>(count);
}
