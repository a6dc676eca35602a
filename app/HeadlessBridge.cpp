#include "app/HeadlessBridge.h"

#include "app/DeviceArrivals.h"
#include "app/DeviceListing.h"
#include "app/EndingSignals.h"
#include "app/TrafficFile.h"
#include "device/D2xx.h"
#include "device/ShownText.h"
#include "device/Tsscclass.h"
#include "vport/PortKeeper.h"
#include "vport/PortPlace.h"
#include "vport/VSPortLib_TLB.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>

using namespace bridge;

namespace
{

// The cycle's turn while the bridge is idle: its device synchronised, no program on the port,
// nothing on its way either way. Turning the event loop every 10 ms is most of what an idle
// bridge costs; a program that opens the port is served from the next turn on, at most this
// much later, and then every 10 ms again.
constexpr int kIdleTickMs = 50;
// What a program writes on its pty reaches the port's side through the kernel's own worker, a
// moment later: bytes written just before a stop may not be seen at once. A stop with a closing
// wait looks at the port this long before it takes "nothing waiting" for nothing written.
constexpr std::chrono::milliseconds kStopSettle{50};

std::string Local(const QString &Text)
{
    return Text.toLocal8Bit().toStdString();
}

QString FromLocal(const std::string &Text)
{
    return QString::fromLocal8Bit(Text);
}

// The driver's or the user's bytes as they are shown (device/ShownText.h).
QString Shown(const std::string &Text)
{
    return QString::fromStdString(shown::ShownText(Text));
}

} // namespace

QString OneLine(QString Text)
{
    Text.replace(QStringLiteral(":\n"), QStringLiteral(": "));
    Text.replace(QLatin1Char('\n'), QStringLiteral(", "));
    return TPortPlace::Printable(Text);
}

THeadlessBridge::THeadlessBridge(TBridgeOptions Options, TOutput Out, TOutput Say,
                                 std::unique_ptr<IVSPortAx> Control)
    : THeadlessBridge(
          std::move(Options), std::move(Out),
          [Say = std::move(Say)](TPriority, const QString &Line) { Say(Line); }, std::move(Control))
{
}

THeadlessBridge::THeadlessBridge(TBridgeOptions Options, TOutput Out, TSay Say,
                                 std::unique_ptr<IVSPortAx> Control)
    : FOptions(std::move(Options)), FDescription(Local(FOptions.Device)),
      FSerial(Local(FOptions.Serial)), FOut(std::move(Out)), FSay(std::move(Say)),
      FControl(Control ? std::move(Control) : std::make_unique<TVSPortAx>()),
      FKeeper(std::make_unique<TPortKeeper>(*FControl))
{
    FControl->SetClosingWait(FOptions.ClosingWait);
    if (!FOptions.Driver.isEmpty())
        d2xx::SetLibraryFile(Local(FOptions.Driver));
    // The link's own messages, each once: what it repeats is summed up, a line a second at most.
    // Errors always; states and summaries unless quiet; the handshake's details when verbose.
    const auto verbosity = FOptions.Quiet     ? TLinkLogLines::TVerbosity::Quiet
                           : FOptions.Verbose ? TLinkLogLines::TVerbosity::Verbose
                                              : TLinkLogLines::TVerbosity::Normal;
    // Each line with its kind's priority; a note on repeats with the most pressing of the
    // repeated texts' since the last note.
    FBridge.Log().Changed = [this, lines = TLinkLogLines(verbosity), repeats = std::uint64_t(0),
                             repeated = TPriority::Debug]() mutable {
        const TLinkLog &log = FBridge.Log();
        const TPriority last = TJournalLines::Of(log.LastKind());
        const bool repeating = log.Repeated() != repeats;
        repeats = log.Repeated();
        if (repeating && lines.Says(log.LastKind()))
            repeated = std::min(repeated, last);
        const QStringList said = lines.Take(log);
        for (qsizetype i = 0; i < said.size(); ++i) {
            // Only a new text that is not a repeat comes last without being a note.
            const bool note = repeating || i + 1 < said.size();
            const TPriority priority = note ? std::exchange(repeated, TPriority::Debug) : last;
            const QString line = QStringLiteral("link: ") + said[i];
            if (priority == TPriority::Error)
                Fail(line);
            else
                Inform(line, priority);
        }
    };
    FTimer.setInterval(kPollingIntervalMs);
    connect(&FTimer, &QTimer::timeout, this, &THeadlessBridge::Tick);
}

THeadlessBridge::~THeadlessBridge()
{
    Stop();
}

void THeadlessBridge::LogTraffic(std::unique_ptr<TTrafficFile> File)
{
    FTrafficFile = std::move(File);
    FBridge.RecordTraffic(FTrafficFile ? &FTrafficFile->Log() : nullptr);
}

void THeadlessBridge::ReopenLog()
{
    if (!FTrafficFile) {
        Inform(QStringLiteral("SIGUSR1: there is no --log file to open again"));
        return;
    }
    // What is complete goes to the file it was recorded for.
    WriteTraffic(false);
    if (const QString said = FTrafficFile->Reopen(); !said.isEmpty())
        FTrafficFile->ReopenFailing() ? Warn(said) : Inform(said);
}

void THeadlessBridge::WriteTraffic(bool All)
{
    if (!FTrafficFile)
        return;
    // At every tick: a file moved away or deleted is noticed within a second.
    if (!All)
        if (const QString said = FTrafficFile->Watch(); !said.isEmpty())
            FTrafficFile->ReopenFailing() ? Warn(said) : Inform(said);
    if (const QString said = FTrafficFile->Write(TTrafficLog::Clock::now(), All); !said.isEmpty())
        Warn(said);
}

QString THeadlessBridge::PortPath() const
{
    return FControl ? FControl->PortPath() : QString();
}

void THeadlessBridge::Inform(const QString &Text, TPriority Priority)
{
    if (!FOptions.Quiet)
        FSay(Priority, OneLine(Text));
}

void THeadlessBridge::Warn(const QString &Text)
{
    FSay(TPriority::Warning, OneLine(Text));
}

void THeadlessBridge::Fail(const QString &Text)
{
    FSay(TPriority::Error, OneLine(Text));
}

int THeadlessBridge::List()
{
    // Binding the library without a description makes the link say that no device has the
    // empty one: nothing to tell a user who asked for the list.
    FBridge.Log().Changed = nullptr;
    FLink = FBridge.NewLink();
    FLink->Init("");
    const TInitOutcome outcome = FLink->InitOutcome();
    if (outcome == TInitOutcome::LibraryMissing || outcome == TInitOutcome::EntryPointMissing) {
        FBridge.LinkInited(*FLink, true, "");
        Fail(FromLocal(FBridge.State().Reason()));
        FBridge.Retire(FLink);
        return kExitNoDriver;
    }
    std::vector<TDeviceEntry> found;
    const bool failed = ListDeviceEntries(FLink->Driver(), found);
    const QString library = FromLocal(FLink->LibraryFile());
    FBridge.Retire(FLink);
    if (failed) {
        Fail(QStringLiteral("the driver library %1 cannot list the devices").arg(library));
        return kExitFailure;
    }
    // A script reads an empty array; a person is told which library looked.
    if (FOptions.Json)
        FOut(QString::fromUtf8(DevicesJson(found).chopped(1)));
    else if (found.empty())
        Warn(QStringLiteral("no device found by %1").arg(library));
    for (const QString &line : FOptions.Json ? QStringList() : DeviceLines(found))
        FOut(line);
    return kExitStopped;
}

int THeadlessBridge::FindDevice()
{
    // A link of its own that only binds the library: its messages are not the bridge's, apart
    // from why the library could not be bound.
    std::string said;
    auto probe = std::make_unique<TSSCClass>([&said](const AnsiString &Text) { said = Text; });
    probe->Init("");
    const TInitOutcome outcome = probe->InitOutcome();
    std::vector<TDeviceEntry> present;
    if (outcome != TInitOutcome::LibraryMissing && outcome != TInitOutcome::EntryPointMissing)
        ListDeviceEntries(probe->Driver(), present);
    RetireLink(probe);
    if (outcome == TInitOutcome::LibraryMissing || outcome == TInitOutcome::EntryPointMissing) {
        // A description alone is left to the link, which says why as it says for any device.
        if (FOptions.Serial.isEmpty())
            return kExitStopped;
        Fail(FromLocal(said));
        return kExitNoDriver;
    }
    // By description: the device's own bytes from now on, and its text as shown in what is said.
    if (FOptions.Serial.isEmpty()) {
        if (const std::optional<TDeviceEntry> named = NamedByDescription(present, FDescription)) {
            FDescription = named->Description;
            FOptions.Device = Shown(FDescription);
        }
        return kExitStopped;
    }
    const std::optional<TDeviceEntry> board = NamedBySerial(present, FSerial);
    // Waited for: the link opens it by its serial number once it is there.
    if (!board && FOptions.Wait)
        return kExitStopped;
    if (!board) {
        QStringList there;
        for (const TDeviceEntry &entry : present)
            there << QStringLiteral("%1 (%2)").arg(Shown(entry.Description),
                                                   Shown(entry.Serial.value_or("?")));
        Fail(QStringLiteral("No device with serial number '%1'; %2")
                 .arg(FOptions.Serial, there.isEmpty() ? QStringLiteral("no device is attached")
                                                       : "there are: " + there.join(", ")));
        return kExitNoDevice;
    }
    const QString description = Shown(board->Description);
    if (!FOptions.Device.isEmpty() && !shown::Names(FDescription, board->Description)) {
        Fail(QStringLiteral("the device with serial number '%1' is described '%2', not '%3'")
                 .arg(FOptions.Serial, description, FOptions.Device));
        return kExitNoDevice;
    }
    // EEPROMs copied from one another carry one serial number: the driver opens the first.
    if (const auto sharing =
            std::count_if(present.begin(), present.end(),
                          [&](const TDeviceEntry &Entry) { return Entry.Serial == board->Serial; });
        sharing > 1)
        Warn(QStringLiteral("%1 devices have serial number '%2'; the first listed is opened")
                 .arg(sharing)
                 .arg(FOptions.Serial));
    FOptions.Device = description;
    FDescription = board->Description;
    FSerial = *board->Serial;
    return kExitStopped;
}

int THeadlessBridge::Start()
{
    if (!FOptions.Serial.isEmpty() || !FOptions.Device.isEmpty())
        if (const int status = FindDevice(); status != kExitStopped)
            return status;
    // A board waited for by its serial number has no description yet: it is named by that.
    const std::string description =
        FOptions.Device.isEmpty() && FOptions.Wait
            ? Local(QStringLiteral("serial number %1").arg(FOptions.Serial))
            : FDescription;
    QString reason;
    const bool failed = FBridge.Replace(FLink, description, &reason, FSerial);
    if (FLink->InitOutcome() != TInitOutcome::LibraryMissing)
        Inform(QStringLiteral("driver library: ") + FromLocal(FLink->LibraryFile()));
    switch (FLink->InitOutcome()) {
    case TInitOutcome::LibraryMissing:
    case TInitOutcome::EntryPointMissing:
        Fail(reason);
        FBridge.Retire(FLink);
        return kExitNoDriver;
    case TInitOutcome::DeviceNotFound:
    case TInitOutcome::NotTried:
        if (FOptions.Wait) {
            Warn(reason);
            FBridge.AwaitDevice(FLink);
            break;
        }
        // Listed a moment ago, so there but not opened.
        if (!FOptions.Serial.isEmpty())
            reason = QStringLiteral("the device with serial number '%1' cannot be opened")
                         .arg(FOptions.Serial);
        Fail(reason);
        // The first of several boards of the description may be in use: another can be chosen.
        if (const QString note = TwinsNote(description, FBridge.Twins(), FBridge.UsedSerial());
            FOptions.Serial.isEmpty() && !note.isEmpty())
            Warn(note);
        FBridge.Retire(FLink);
        return kExitNoDevice;
    case TInitOutcome::SetupNotSent:
    case TInitOutcome::Opened:
        break;
    }
    const QString serial = FOptions.Serial.isEmpty()
                               ? QString()
                               : QStringLiteral(" (serial number %1)").arg(FOptions.Serial);
    if (!failed)
        Inform(QStringLiteral("device '%1'%2 opened through %3")
                   .arg(FOptions.Device, serial, FromLocal(FLink->LibraryFile())));
    // Which of several boards of this description, when it was not chosen by serial number.
    if (FOptions.Serial.isEmpty())
        if (const QString note = TwinsNote(description, FBridge.Twins(), FBridge.UsedSerial());
            !note.isEmpty())
            Inform(note);

    if (FKeeper->Keep(FOptions.Port) == TPortKeeper::TKept::Failed) {
        Fail(QStringLiteral("port '%1' refused: %2")
                 .arg(TPortPlace::Printable(FOptions.Port), FControl->LastError()));
        FBridge.Retire(FLink);
        return kExitPortRefused;
    }
    FShownStatus = FKeeper->Status();
    FOut(PortPath());
    FAnnounced = true;
    Inform(QStringLiteral("port ready: %1").arg(PortPath()));
    // The log says which run its lines are of: this program, the driver, the device, the port.
    if (FTrafficFile) {
        const QString run =
            QStringLiteral("velmor-bridge %1; driver library %2; device '%3'%4; port %5")
                .arg(QStringLiteral(VELMOR_VERSION), FromLocal(FLink->LibraryFile()),
                     FOptions.Device, serial, PortPath());
        if (const QString said = FTrafficFile->Begin(OneLine(run), TTrafficLog::Clock::now());
            !said.isEmpty())
            Warn(said);
    }
    if (const QString warning = FControl->LastError(); !warning.isEmpty())
        Inform(QStringLiteral("port: %1").arg(warning));

    // A board that comes back is reopened as soon as it appears; without USB events, after the
    // reopening pauses only.
    FArrivals = std::make_unique<TDeviceArrivals>();
    connect(FArrivals.get(), &TDeviceArrivals::Arrived, this, [this] { FBridge.DeviceArrived(); });
    if (!FArrivals->Watching() && FOptions.Verbose)
        Inform(QStringLiteral("USB arrivals not watched (%1): a lost device is tried again "
                              "after its pauses only")
                   .arg(FArrivals->Problem()),
               TPriority::Debug);

    // A device there but not answering its set-up is reopened as one lost a moment ago.
    FTimer.start();
    return kExitStopped;
}

void THeadlessBridge::Finish()
{
    if (!FAnnounced || FOptions.ClosingWait.count() == 0) {
        emit Drained();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    FFinishBy = now + FOptions.ClosingWait;
    FSettleUntil = now + kStopSettle;
    FStoppingSaid = false;
    SayStopping();
    FTimer.start(kPollingIntervalMs);
}

void THeadlessBridge::SayStopping()
{
    const long long waiting = FBridge.NotYetSent(FLink.get(), FControl.get());
    if (waiting == 0 || FStoppingSaid)
        return;
    FStoppingSaid = true;
    Inform(QStringLiteral("stopping: %1 bytes programs wrote still go to the device, for at most "
                          "%2 s (a second signal stops at once)")
               .arg(waiting)
               .arg(FOptions.ClosingWait.count()));
}

void THeadlessBridge::Stop()
{
    FTimer.stop();
    FArrivals.reset();
    const bool running = FAnnounced;
    const long long dropped = FBridge.RetireAtEnd(FLink, running ? FControl.get() : nullptr);
    // What the link left for the port has been recorded too.
    WriteTraffic(true);
    // The control takes its port along when it goes, and the program's own folder when empty.
    FKeeper.reset();
    FControl.reset();
    if (running && dropped > 0)
        Warn(QStringLiteral("stopped: %1 bytes programs wrote had not reached the device and "
                            "were dropped")
                 .arg(dropped));
    if (running)
        Inform(QStringLiteral("stopped: port removed, device closed"));
    FAnnounced = false;
}

void THeadlessBridge::Tick()
{
    // Off for the tick, on again at its end: ticks never overlap.
    FTimer.stop();

    ReportPort(FKeeper->Keep(FOptions.Port));
    FBridge.Cycle(FLink, *FControl, FKeeper->ApplicationHoldsPort());
    WriteTraffic(false);
    // Stopping: done once what programs wrote has gone, or its time is over.
    if (FFinishBy)
        SayStopping();
    const auto now = std::chrono::steady_clock::now();
    if (FFinishBy &&
        ((FBridge.NotYetSent(FLink.get(), FControl.get()) == 0 && now >= FSettleUntil) ||
         now >= *FFinishBy)) {
        FFinishBy.reset();
        emit Drained();
        return;
    }
    FTimer.start(Idle() ? kIdleTickMs : kPollingIntervalMs);
}

bool THeadlessBridge::Idle() const
{
    return FLink && FBridge.State().Phase() == TLinkPhase::Bridging && !FPortFailing &&
           !FFinishBy && !FKeeper->ApplicationHoldsPort() && FBridge.Undelivered() == 0 &&
           FBridge.NotYetSent(FLink.get(), FControl.get()) == 0;
}

void THeadlessBridge::ReportPort(TPortKeeper::TKept Kept)
{
    if (Kept == TPortKeeper::TKept::Failed) {
        if (!FPortFailing)
            Fail(QStringLiteral("port '%1' cannot be created again: %2; still trying")
                     .arg(TPortPlace::Printable(FOptions.Port), FControl->LastError()));
        FPortFailing = true;
        FShownStatus = FKeeper->Status();
        return;
    }
    if (Kept == TPortKeeper::TKept::Created)
        Inform(FPortFailing ? QStringLiteral("port created again: %1").arg(PortPath())
                            : QStringLiteral("port had gone, created again: %1").arg(PortPath()));
    FPortFailing = false;
    if (FKeeper->Status() != FShownStatus) {
        FShownStatus = FKeeper->Status();
        Inform(QStringLiteral("port: ") + FShownStatus.toLower());
    }
}
