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
    FState.LinkOpened(Description, Link.InitOutcome(), Link.LibraryFile(), present);
    return Failed ? QString::fromLocal8Bit(FState.Reason()) : QString();
}

void TBridge::Retire(std::unique_ptr<TSSCClass> &Link)
{
    FUnsent.clear();
    if (!Link)
        return;
    RetireLink(Link);
    FState.LinkRetired();
}

void TBridge::RetireForReplacement(std::unique_ptr<TSSCClass> &Link)
{
    std::vector<unsigned char> unsent = RetireLink(Link);
    FUnsent.insert(FUnsent.begin(), unsent.begin(), unsent.end());
}

bool TBridge::Replace(std::unique_ptr<TSSCClass> &Link, const std::string &Description,
                      QString *Reason)
{
    RetireForReplacement(Link);
    Link = NewLink();
    const bool failed = Link->Init(Description);
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
    auto inbound = std::make_unique_for_overwrite<unsigned char[]>(kTransferSize);
    if (Link.Synched) {
        fromDevice = DeliverReceived(Link, Port, ApplicationHoldsPort, inbound.get());
    } else {
        const bool failed = Link.SynchDevice(kSynchAttempts, kSynchPattern);
        FState.SynchTried(failed);
        if (!failed)
            fromDevice = DeliverReceived(Link, Port, ApplicationHoldsPort, inbound.get());
    }
    // Every tick, bytes or not, so that the rates fall to nothing when the traffic stops.
    FState.Moved(toDevice, fromDevice);
    FState.DeviceChecked(Link.DeviceFailing());
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

int TBridge::DeliverReceived(TSSCClass &Link, IVSPortAx &Port, bool ApplicationHoldsPort,
                             unsigned char *Inbound)
{
    long capacity = kTransferSize;
    if (ApplicationHoldsPort)
        capacity = std::min(capacity, Port.WriteRoom());
    if (capacity <= 0)
        return 0;
    const int received = Link.ReceiveData(Inbound, static_cast<int>(capacity));
    if (received > 0)
        Port.Write(Inbound, received);
    return std::max(received, 0);
}
