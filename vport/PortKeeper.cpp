#include "vport/PortKeeper.h"

#include "vport/VSPortLib_TLB.h"

const QString TPortKeeper::kStatusIdle = QStringLiteral("Idle");
const QString TPortKeeper::kStatusOpened = QStringLiteral("Opened");
const QString TPortKeeper::kStatusIdleNoDcd = QStringLiteral("Idle No Dcd");
const QString TPortKeeper::kStatusError = QStringLiteral("Error");

namespace
{
// The wiring the port is created with: DTR and RTS on, OUT1 and OUT2 off.
constexpr long kWiringDtr = 32;
constexpr long kWiringRts = 16;
constexpr long kWiringOut1 = 0;
constexpr long kWiringOut2 = 0;
} // namespace

TPortKeeper::TPortKeeper(IVSPortAx &Control, const QString &ShownName)
    : FControl(Control), FName(ShownName)
{
    FControl.ResetBus();
    FControl.SetDSR(false);
    FControl.SetRING(false);
    FControl.SetDCD(false);
    FControl.SetDeleteOnExit(true);
}

TPortKeeper::TKept TPortKeeper::Keep(const QString &Wanted)
{
    if (FControl.PortCreated() && Wanted == FName) {
        // The steady state: one more property read, every tick.
        FHeldByApplication = FControl.PortOpened();
        FStatus = FHeldByApplication ? kStatusOpened : kStatusIdle;
        return TKept::Checked;
    }

    // A port that merely vanished is created again under its name; a renamed one goes first.
    if (Wanted != FName)
        FControl.Delete();
    if (Creating)
        Creating();
    // The name goes unchanged, whatever its length: the control refuses what it cannot create
    // exactly.
    if (FControl.CreatePort(Wanted)) {
        Created(Wanted);
        return TKept::Created;
    }
    FStatus = kStatusError;
    FControl.ResetBus();
    if (FControl.CreatePort(Wanted)) {
        Created(Wanted);
        return TKept::Created;
    }
    if (FShowsPort) {
        // The port of that name has gone. The empty name differs from any wanted one but the
        // empty name itself (for which no port exists to delete), so the next Keep still deletes
        // before it creates.
        FName.clear();
        FShowsPort = false;
    }
    return TKept::Failed;
}

void TPortKeeper::Created(const QString &Wanted)
{
    FName = Wanted;
    FShowsPort = true;
    FHeldByApplication = false;
    const bool wired = FControl.SetWiring(kWiringDtr, kWiringRts, kWiringOut1, kWiringOut2);
    FStatus = wired ? kStatusIdle : kStatusIdleNoDcd;
}
