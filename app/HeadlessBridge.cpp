#include "app/HeadlessBridge.h"

#include "app/DeviceListing.h"
#include "app/EndingSignals.h"
#include "app/TrafficFile.h"
#include "device/D2xx.h"
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

std::string Local(const QString &Text)
{
    return Text.toLocal8Bit().toStdString();
}

QString FromLocal(const std::string &Text)
{
    return QString::fromLocal8Bit(Text);
}

// One line for each text: a list the link's state gives one a line goes on the same line. What
// the user gave (a name, a description) reaches the terminal escaped, never as a control sequence.
QString OneLine(QString Text)
{
    Text.replace(QStringLiteral(":\n"), QStringLiteral(": "));
    Text.replace(QLatin1Char('\n'), QStringLiteral(", "));
    return TPortPlace::Printable(Text);
}

// Arguments are names: taken as the bytes given, strictly as UTF-8, a leading byte order mark
// included, or refused; never rewritten into a name the user did not give.
std::optional<QString> FromUtf8Exactly(const QByteArray &Bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(Bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Bytes that are not UTF-8, shown safely: ASCII as it is (control characters escaped), every
// other byte as \xHH.
QString PrintableBytes(const QByteArray &Bytes)
{
    QString text;
    for (const char byte : Bytes) {
        const auto code = static_cast<unsigned char>(byte);
        text += code < 0x80 ? TPortPlace::Printable(QString(QLatin1Char(byte)))
                            : QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
    }
    return text;
}

} // namespace

TBridgeOptions ParseBridgeArguments(const QList<QByteArray> &Arguments, QString &Error,
                                    TExitStatus &Status)
{
    TBridgeOptions options;
    Error.clear();
    Status = kExitUsage;
    bool deviceGiven = false;
    bool serialGiven = false;
    bool listing = false;
    for (qsizetype i = 0; i < Arguments.size(); ++i) {
        const std::optional<QString> decoded = FromUtf8Exactly(Arguments[i]);
        if (!decoded) {
            Error = QStringLiteral("unknown argument '%1'").arg(PrintableBytes(Arguments[i]));
            return options;
        }
        const QString &argument = *decoded;
        auto value = [&](QString &Into) {
            if (i + 1 >= Arguments.size()) {
                Error = argument + QStringLiteral(" needs a value");
                return false;
            }
            const QByteArray &bytes = Arguments[++i];
            const std::optional<QString> text = FromUtf8Exactly(bytes);
            if (!text) {
                // A port under a name the user did not give is worse than none.
                if (argument == QLatin1String("--port"))
                    Status = kExitPortRefused;
                Error = QStringLiteral("the value of %1, '%2', is not valid UTF-8")
                            .arg(argument, PrintableBytes(bytes));
                return false;
            }
            Into = *text;
            return true;
        };
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.Mode = TBridgeOptions::TMode::Help;
            return options;
        }
        if (argument == QLatin1String("--version")) {
            options.Mode = TBridgeOptions::TMode::Version;
            return options;
        }
        if (argument == QLatin1String("--list")) {
            listing = true;
        } else if (argument == QLatin1String("--json")) {
            options.Json = true;
        } else if (argument == QLatin1String("--serial")) {
            if (!value(options.Serial))
                return options;
            serialGiven = true;
        } else if (argument == QLatin1String("--device")) {
            if (!value(options.Device))
                return options;
            deviceGiven = true;
        } else if (argument == QLatin1String("--port")) {
            if (!value(options.Port))
                return options;
        } else if (argument == QLatin1String("--driver")) {
            if (!value(options.Driver))
                return options;
            if (options.Driver.isEmpty()) {
                Error = QStringLiteral("--driver needs a file");
                return options;
            }
        } else if (argument == QLatin1String("--log")) {
            if (!value(options.Log))
                return options;
            if (options.Log.isEmpty()) {
                Error = QStringLiteral("--log needs a file");
                return options;
            }
        } else if (argument == QLatin1String("--quiet") || argument == QLatin1String("-q")) {
            options.Quiet = true;
        } else if (argument == QLatin1String("--verbose") || argument == QLatin1String("-v")) {
            options.Verbose = true;
        } else {
            Error = QStringLiteral("unknown argument '%1'").arg(TPortPlace::Printable(argument));
            return options;
        }
    }
    if (options.Quiet && options.Verbose)
        Error = QStringLiteral("--quiet and --verbose do not go together");
    else if (listing && (deviceGiven || serialGiven))
        Error = QStringLiteral("--list and --%1 do not go together")
                    .arg(deviceGiven ? QStringLiteral("device") : QStringLiteral("serial"));
    else if (listing && !options.Log.isEmpty())
        Error = QStringLiteral("--list and --log do not go together");
    else if (options.Json && !listing)
        Error = QStringLiteral("--json goes with --list");
    else if (listing)
        options.Mode = TBridgeOptions::TMode::List;
    else if (!deviceGiven && !serialGiven)
        Error =
            QStringLiteral("which device? give --device DESCRIPTION or --serial SERIAL, or --list");
    else if (deviceGiven && options.Device.isEmpty())
        Error = QStringLiteral("the device description is empty");
    else if (serialGiven && options.Serial.isEmpty())
        Error = QStringLiteral("the serial number is empty");
    return options;
}

QString BridgeUsage()
{
    return QStringLiteral(
        "Usage: velmor-bridge --device DESCRIPTION [--port NAME] [--quiet | --verbose]\n"
        "                     [--driver FILE] [--log FILE]\n"
        "       velmor-bridge --serial SERIAL [--device DESCRIPTION] [--port NAME] ...\n"
        "       velmor-bridge --list [--json] [--driver FILE]\n"
        "Bridges a virtual serial port to the SSC device with that description, without a window.\n"
        "\n"
        "  --device DESCRIPTION  the SSC device, by its FTDI description (see --list)\n"
        "  --serial SERIAL       the SSC device, by its serial number: one of several boards\n"
        "                        that share a description; with --device too, the board must\n"
        "                        have that description\n"
        "  --port NAME           the port: a name in the per-user port folder, or a full path\n"
        "                        (default COM8)\n"
        "  --list                print the devices there, one a line: description, serial\n"
        "                        number, location ID, and whether it can be opened, or why not\n"
        "  --json                with --list: the same as a JSON array of objects with\n"
        "                        description, serial, location, openable and reason\n"
        "  --quiet, -q           say only errors on stderr\n"
        "  --verbose, -v         say the handshake's steps on stderr too\n"
        "  --driver FILE         load this D2XX driver library instead of libftd2xx.so\n"
        "  --log FILE            append the bytes that move each way to FILE, as lines of\n"
        "                        hex and text (created with mode 0600; a regular file only)\n"
        "  --help, -h            this text\n"
        "  --version             the version\n"
        "\n"
        "Once the port is ready its full path is printed on stdout, alone on a line.\n"
        "SIGINT, SIGTERM and SIGHUP stop it: the port is removed and the device closed.\n"
        "--list with no device there prints nothing (--json: []), says so on stderr and\n"
        "exits with 0.\n"
        "Exit status: 0 stopped cleanly; 1 other failure; 2 bad usage; 3 the driver library\n"
        "cannot be loaded; 4 no device has that description or serial number; 5 the port\n"
        "name is refused.\n");
}

THeadlessBridge::THeadlessBridge(TBridgeOptions Options, TOutput Out, TOutput Say,
                                 std::unique_ptr<IVSPortAx> Control)
    : FOptions(std::move(Options)), FOut(std::move(Out)), FSay(std::move(Say)),
      FControl(Control ? std::move(Control) : std::make_unique<TVSPortAx>()),
      FKeeper(std::make_unique<TPortKeeper>(*FControl))
{
    if (!FOptions.Driver.isEmpty())
        d2xx::SetLibraryFile(Local(FOptions.Driver));
    // The link's own messages, each once: what it repeats is summed up, a line a second at most.
    // Errors always; states and summaries unless quiet; the handshake's details when verbose.
    const auto verbosity = FOptions.Quiet     ? TLinkLogLines::TVerbosity::Quiet
                           : FOptions.Verbose ? TLinkLogLines::TVerbosity::Verbose
                                              : TLinkLogLines::TVerbosity::Normal;
    FBridge.Log().Changed = [this, lines = TLinkLogLines(verbosity)]() mutable {
        for (const QString &line : lines.Take(FBridge.Log()))
            Inform(QStringLiteral("link: ") + line);
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

void THeadlessBridge::WriteTraffic(bool All)
{
    if (!FTrafficFile)
        return;
    if (const QString said = FTrafficFile->Write(TTrafficLog::Clock::now(), All); !said.isEmpty())
        Warn(said);
}

QString THeadlessBridge::PortPath() const
{
    return FControl ? FControl->PortPath() : QString();
}

void THeadlessBridge::Inform(const QString &Text)
{
    if (!FOptions.Quiet)
        FSay(OneLine(Text));
}

void THeadlessBridge::Warn(const QString &Text)
{
    FSay(OneLine(Text));
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
        Warn(FromLocal(FBridge.State().Reason()));
        FBridge.Retire(FLink);
        return kExitNoDriver;
    }
    std::vector<TDeviceEntry> found;
    const bool failed = ListDeviceEntries(d2xx::Table, found);
    const QString library = FromLocal(FLink->LibraryFile());
    FBridge.Retire(FLink);
    if (failed) {
        Warn(QStringLiteral("the driver library %1 cannot list the devices").arg(library));
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

int THeadlessBridge::FindSerial()
{
    // A link of its own that only binds the library: its messages are not the bridge's, apart
    // from why the library could not be bound.
    std::string said;
    auto probe = std::make_unique<TSSCClass>([&said](const AnsiString &Text) { said = Text; });
    probe->Init("");
    const TInitOutcome outcome = probe->InitOutcome();
    std::vector<TDeviceEntry> present;
    if (outcome != TInitOutcome::LibraryMissing && outcome != TInitOutcome::EntryPointMissing)
        ListDeviceEntries(d2xx::Table, present);
    RetireLink(probe);
    if (outcome == TInitOutcome::LibraryMissing || outcome == TInitOutcome::EntryPointMissing) {
        Warn(FromLocal(said));
        return kExitNoDriver;
    }
    const std::optional<TDeviceEntry> board = WithSerial(present, Local(FOptions.Serial));
    if (!board) {
        QStringList there;
        for (const TDeviceEntry &entry : present)
            there << QStringLiteral("%1 (%2)").arg(DriverText(entry.Description),
                                                   DriverText(entry.Serial.value_or("?")));
        Warn(QStringLiteral("No device with serial number '%1'; %2")
                 .arg(FOptions.Serial, there.isEmpty() ? QStringLiteral("no device is attached")
                                                       : "there are: " + there.join(", ")));
        return kExitNoDevice;
    }
    const QString description = DriverText(board->Description);
    if (!FOptions.Device.isEmpty() && FOptions.Device != description) {
        Warn(QStringLiteral("the device with serial number '%1' is described '%2', not '%3'")
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
    return kExitStopped;
}

int THeadlessBridge::Start()
{
    if (!FOptions.Serial.isEmpty())
        if (const int status = FindSerial(); status != kExitStopped)
            return status;
    const std::string description = Local(FOptions.Device);
    QString reason;
    const bool failed = FBridge.Replace(FLink, description, &reason, Local(FOptions.Serial));
    if (FLink->InitOutcome() != TInitOutcome::LibraryMissing)
        Inform(QStringLiteral("driver library: ") + FromLocal(FLink->LibraryFile()));
    switch (FLink->InitOutcome()) {
    case TInitOutcome::LibraryMissing:
    case TInitOutcome::EntryPointMissing:
        Warn(reason);
        FBridge.Retire(FLink);
        return kExitNoDriver;
    case TInitOutcome::DeviceNotFound:
    case TInitOutcome::NotTried:
        // Listed a moment ago, so there but not opened.
        if (!FOptions.Serial.isEmpty())
            reason = QStringLiteral("the device with serial number '%1' cannot be opened")
                         .arg(FOptions.Serial);
        Warn(reason);
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
        Warn(QStringLiteral("port '%1' refused: %2")
                 .arg(TPortPlace::Printable(FOptions.Port), FControl->LastError()));
        FBridge.Retire(FLink);
        return kExitPortRefused;
    }
    FShownStatus = FKeeper->Status();
    FOut(PortPath());
    FAnnounced = true;
    Inform(QStringLiteral("port ready: %1").arg(PortPath()));
    if (const QString warning = FControl->LastError(); !warning.isEmpty())
        Inform(QStringLiteral("port: %1").arg(warning));

    // A device there but not answering its set-up is reopened as one lost a moment ago.
    FTimer.start();
    return kExitStopped;
}

void THeadlessBridge::Stop()
{
    FTimer.stop();
    const bool running = FAnnounced;
    FBridge.Retire(FLink);
    // What the link left for the port has been recorded too.
    WriteTraffic(true);
    // The control takes its port along when it goes, and the program's own folder when empty.
    FKeeper.reset();
    FControl.reset();
    if (running)
        Inform(QStringLiteral("stopped: port removed, device closed"));
    FAnnounced = false;
}

void THeadlessBridge::Tick()
{
    // Off for the tick, on again at its end: ticks never overlap.
    FTimer.stop();

    ReportPort(int(FKeeper->Keep(FOptions.Port)));
    FBridge.Cycle(FLink, *FControl, FKeeper->ApplicationHoldsPort());
    WriteTraffic(false);
    FTimer.start();
}

void THeadlessBridge::ReportPort(int Kept)
{
    const auto kept = TPortKeeper::TKept(Kept);
    if (kept == TPortKeeper::TKept::Failed) {
        if (!FPortFailing)
            Warn(QStringLiteral("port '%1' cannot be created again: %2; still trying")
                     .arg(TPortPlace::Printable(FOptions.Port), FControl->LastError()));
        FPortFailing = true;
        FShownStatus = FKeeper->Status();
        return;
    }
    if (kept == TPortKeeper::TKept::Created)
        Inform(FPortFailing ? QStringLiteral("port created again: %1").arg(PortPath())
                            : QStringLiteral("port had gone, created again: %1").arg(PortPath()));
    FPortFailing = false;
    if (FKeeper->Status() != FShownStatus) {
        FShownStatus = FKeeper->Status();
        Inform(QStringLiteral("port: ") + FShownStatus.toLower());
    }
}

int RunHeadlessBridge(const QList<QByteArray> &Arguments)
{
    QCoreApplication::setApplicationName(QStringLiteral("velmor-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMOR_VERSION));
    QString error;
    TExitStatus refusal = kExitUsage;
    const TBridgeOptions options = ParseBridgeArguments(Arguments.mid(1), error, refusal);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "velmor-bridge: %s\n%s", error.toLocal8Bit().constData(),
                     refusal == kExitUsage ? "Try 'velmor-bridge --help'.\n" : "");
        return refusal;
    }
    if (options.Mode == TBridgeOptions::TMode::Help) {
        std::fputs(BridgeUsage().toLocal8Bit().constData(), stdout);
        return kExitStopped;
    }
    if (options.Mode == TBridgeOptions::TMode::Version) {
        std::puts("velmor-bridge " VELMOR_VERSION);
        return kExitStopped;
    }

    // stdout is for scripts: each line whole and at once, even into a pipe.
    int outError = 0;
    auto out = [&outError](const QString &Line) {
        std::fprintf(stdout, "%s\n", Line.toLocal8Bit().constData());
        if (std::fflush(stdout) != 0 && outError == 0)
            outError = errno;
    };
    auto say = [](const QString &Line) {
        const QString time =
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        std::fprintf(stderr, "%s %s\n", time.toLocal8Bit().constData(),
                     Line.toLocal8Bit().constData());
    };
    // Refused before the loader could block for ever opening a FIFO.
    if (const std::string refused = d2xx::RefusedLibraryFile(Local(options.Driver));
        !options.Driver.isEmpty() && !refused.empty()) {
        say(QStringLiteral("--driver refused: ") + FromLocal(refused));
        return kExitNoDriver;
    }
    // Refused before anything starts; a symbolic link is neither followed nor touched.
    std::unique_ptr<TTrafficFile> trafficFile;
    if (!options.Log.isEmpty()) {
        QString refused;
        trafficFile = TTrafficFile::Open(options.Log, refused);
        if (!trafficFile) {
            std::fprintf(stderr, "velmor-bridge: --log refused: %s\n",
                         OneLine(refused).toLocal8Bit().constData());
            return kExitUsage;
        }
    }
    THeadlessBridge bridge(options, out, say);
    bridge.LogTraffic(std::move(trafficFile));
    if (options.Mode == TBridgeOptions::TMode::List)
        return bridge.List();
    // Signals are caught before the port exists, so that none of them can leave it behind.
    OnEndingSignals([] { QCoreApplication::quit(); });
    if (const int status = bridge.Start(); status != kExitStopped)
        return status;
    // Whoever was to read the port's path has gone (SIGPIPE is ignored): nobody can use the port.
    if (outError != 0) {
        say(QStringLiteral("the port's path cannot be written on stdout: %1")
                .arg(QString::fromLocal8Bit(std::strerror(outError))));
        bridge.Stop();
        return kExitFailure;
    }
    {
        const TSignalsThroughLoop throughLoop;
        QCoreApplication::exec();
    }
    bridge.Stop();
    return kExitStopped;
}
