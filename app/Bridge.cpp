#include "app/Bridge.h"

#include "device/Tsscclass.h"
#include "vport/VSPortLib_TLB.h"

#include <QStringList>

#include <algorithm>

using namespace bridge;

std::unique_ptr<TSSCClass> TBridge::NewLink()
{
    return std::make_unique<TSSCClass>([this](const AnsiString &Text) {
        FLog.Add(Text);
        FState.Reported(Text);
    });
}

QString TBridge::LinkInited(TSSCClass &Link, bool Failed, const std::string &Description)
{
    std::vector<std::string> present;
    if (Link.InitOutcome() == TInitOutcome::DeviceNotFound) {
        QStringList found;
        Link.ListDevices(found);
        for (const QString &description : found)
            present.push_back(description.toLocal8Bit().toStdString());
    }
    RecordTwins(Link, Description);
    FState.LinkOpened(Description, Link.InitOutcome(), Link.LibraryFile(), present);
    return Failed ? QString::fromLocal8Bit(FState.Reason()) : QString();
}

void TBridge::Retire(std::unique_ptr<TSSCClass> &Link)
{
    FUnsent.clear();
    if (Link) {
        TLinkRemains remains = RetireLink(Link);
        FReceived.insert(FReceived.end(), remains.Received.begin(), remains.Received.end());
        FState.LinkRetired();
    }
    // The last chance for the answers: the port may go next (the window closing), or stay
    // without a link to serve it. Whatever no application takes now is dropped.
    if (FPort && !FReceived.empty()) {
        const long capacity = FApplicationHoldsPort ? FPort->WriteRoom() : long(FReceived.size());
        FState.Moved(0, DeliverRetired(*FPort, capacity));
    }
    FReceived.clear();
    FPort = nullptr;
}

void TBridge::RetireForReplacement(std::unique_ptr<TSSCClass> &Link)
{
    TLinkRemains remains = RetireLink(Link);
    FUnsent.insert(FUnsent.begin(), remains.Unsent.begin(), remains.Unsent.end());
    FReceived.insert(FReceived.end(), remains.Received.begin(), remains.Received.end());
    if (remains.Unanswered > 0)
        FLog.Add("Carried " + std::to_string(remains.Unanswered) +
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
    // The link holds the library it bound, so the table's entry points are its.
    std::vector<TDeviceEntry> present;
    ListDeviceEntries(d2xx::Table, present);
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
    Link = NewLink();
    const bool failed = Serial.empty() ? Link->Init(Description) : Link->InitBySerial(Serial);
    const QString reason = LinkInited(*Link, failed, Description);
    if (Reason)
        *Reason = reason;
    return failed;
}

void TBridge::Tick(TSSCClass &Link, IVSPortAx &Port, bool ApplicationHoldsPort)
{
    // Port to device: read no more than the link takes whole now; the rest waits in the port,
    // where the application's writes wait as on a line with flow control. A link that cannot
    // transfer takes nothing, so what the port holds is read and dropped.
    int toDevice = 0;
    int fromDevice = 0;
    if (HandOverUnsent(Link)) {
        const int room = Link.TxRoom();
        long count = room < 0 ? kTransferSize : std::min(room, kTransferSize);
        if (count > 0) {
            auto outbound = std::make_unique_for_overwrite<unsigned char[]>(kTransferSize);
            const long read = Port.Read(outbound.get(), &count);
            if (read != 0)
                toDevice = Link.SendData(outbound.get(), static_cast<int>(read));
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
    // Every tick, bytes or not, so that the rates fall to nothing when the traffic stops.
    FState.Moved(toDevice, fromDevice);
    FState.DeviceChecked(Link.DeviceFailing());
    ReportPort(Port);
}

void TBridge::ReportPort(IVSPortAx &Port)
{
    for (const QString &notice : Port.TakeNotices())
        FLog.Add(notice.toLocal8Bit().toStdString());

    const long long dropped = Port.Dropped();
    if (&Port != FDropsOf) {
        FDropsOf = &Port;
        FDroppedSeen = dropped;
    }
    const auto now = std::chrono::steady_clock::now();
    if (dropped > FDroppedSeen) {
        if (FDropsUnsaid == 0)
            FFirstUnsaidDrop = now;
        FDropsUnsaid += dropped - FDroppedSeen;
        FLastDrop = now;
    }
    FDroppedSeen = dropped;
    if (FDropsUnsaid > 0 &&
        (now - FLastDrop >= kDropsQuiet || now - FFirstUnsaidDrop >= kDropsSaidEvery)) {
        FLog.Add("Dropped " + std::to_string(FDropsUnsaid) +
                 " bytes from the device: no application held the port");
        FDropsUnsaid = 0;
        FFirstUnsaidDrop = now;
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
        Port.Write(Inbound, received);
    return retired + std::max(received, 0);
}

int TBridge::DeliverRetired(IVSPortAx &Port, long Capacity)
{
    const long count = std::min<long>(Capacity, static_cast<long>(FReceived.size()));
    if (count <= 0)
        return 0;
    Port.Write(FReceived.data(), count);
    FReceived.erase(FReceived.begin(), FReceived.begin() + count);
    return static_cast<int>(count);
}
