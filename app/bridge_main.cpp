// velmor-bridge: the bridge of Velmor Debug without a window, for test rigs and machines with no
// display. This file is the program: its arguments, its usage, and where its lines go (the
// port's path on stdout, the timestamped state lines on stderr, the traffic to --log's file);
// THeadlessBridge (app/HeadlessBridge.h) does the bridging.
#include "app/BoardCheck.h"
#include "app/CommandLine.h"
#include "app/EndingSignals.h"
#include "app/HeadlessBridge.h"
#include "app/JournalLines.h"
#include "app/TrafficFile.h"
#include "device/D2xx.h"
#include "vport/PortPlace.h"
#include "vport/VSPortLib_TLB.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

using namespace bridge;

namespace
{

// Short forms as other serial tools have them (tio's -l for its list, -L for its log).
const TOptionForm kBridgeOptions[] = {
    {"device", 'd', "DESCRIPTION", "the SSC device, by its FTDI description (see --list)"},
    {"serial", 's', "SERIAL",
     "the SSC device, by its serial number: one of several\n"
     "boards that share a description; with --device too,\n"
     "the board must have that description"},
    {"port", 'p', "NAME",
     "the port: a name in the per-user port folder, or a\n"
     "full path (default COM8)"},
    {"wait", 'w', nullptr,
     "make the port at once and bridge once the device is\n"
     "there: a device missing at the start, or lost later,\n"
     "is tried again after 0.5, 1, 2, then every 4 seconds"},
    {"list", 'l', nullptr,
     "print the devices there, one a line: description,\n"
     "serial number, location ID, and whether it can be\n"
     "opened, or why not"},
    {"check", 'c', nullptr,
     "check the board and the driver library: opens,\n"
     "synchronises, echo time and pace each way, then\n"
     "PASS or FAIL and the next step; makes no port"},
    {"check-seconds", 0, "N", "how long --check measures, 1 to 600 (default 10)"},
    {"json", 0, nullptr,
     "with --list: the same as a JSON array of objects with\n"
     "description, serial, location, openable and reason;\n"
     "with --check: its findings as one JSON object"},
    {"quiet", 'q', nullptr, "say only errors on stderr"},
    {"verbose", 'v', nullptr, "say the handshake's steps on stderr too"},
    {"driver", 0, "FILE", "load this D2XX driver library instead of libftd2xx.so"},
    {"log", 'L', "FILE",
     "append the bytes that move each way to FILE, as lines\n"
     "of hex and text (created with mode 0600; a regular\n"
     "file only)"},
    {"closing-wait", 0, "SECONDS",
     "how long what a program wrote before it closed the\n"
     "port, and at a stop what programs wrote, may take to\n"
     "reach the device before the rest is dropped (default\n"
     "30; 0 drops it)"},
    {"help", 'h', nullptr, "this text"},
    {"version", 'V', nullptr, "the version"},
};

TBridgeOptions ParseBridgeArguments(const QList<QByteArray> &Arguments, QString &Error,
                                    TExitStatus &Status)
{
    TBridgeOptions options;
    Error.clear();
    Status = kExitUsage;
    const TCommandLine line = ReadCommandLine(kBridgeOptions, Arguments);
    // --help and --version answer as they come, whatever follows them.
    for (const TGivenOption &given : line.Given)
        if (given.Is("help") || given.Is("version")) {
            options.Mode =
                given.Is("help") ? TBridgeOptions::TMode::Help : TBridgeOptions::TMode::Version;
            return options;
        }
    if (!line.Error.isEmpty()) {
        Error = line.Error;
        return options;
    }
    bool deviceGiven = false;
    bool serialGiven = false;
    bool listing = false;
    bool checking = false;
    bool checkSecondsGiven = false;
    bool portGiven = false;
    for (const TGivenOption &given : line.Given) {
        QString value;
        if (given.Form->Value != nullptr) {
            const std::optional<QString> text = Utf8Argument(given.Value);
            if (!text) {
                // A port under a name the user did not give is worse than none.
                if (given.Is("port"))
                    Status = kExitPortRefused;
                Error = QStringLiteral("the value of --%1, '%2', is not valid UTF-8")
                            .arg(QLatin1String(given.Form->Long), PrintableArgument(given.Value));
                return options;
            }
            value = *text;
        }
        if (given.Is("list")) {
            listing = true;
        } else if (given.Is("check")) {
            checking = true;
        } else if (given.Is("check-seconds")) {
            bool number = false;
            const int seconds = value.toInt(&number);
            if (!number || seconds < kShortestCheck || seconds > kLongestCheck) {
                Error =
                    QStringLiteral("--check-seconds takes whole seconds from %1 to %2, not '%3'")
                        .arg(kShortestCheck)
                        .arg(kLongestCheck)
                        .arg(TPortPlace::Printable(value));
                return options;
            }
            options.CheckSeconds = std::chrono::seconds(seconds);
            checkSecondsGiven = true;
        } else if (given.Is("json")) {
            options.Json = true;
        } else if (given.Is("wait")) {
            options.Wait = true;
        } else if (given.Is("serial")) {
            options.Serial = value;
            serialGiven = true;
        } else if (given.Is("device")) {
            options.Device = value;
            deviceGiven = true;
        } else if (given.Is("port")) {
            options.Port = value;
            portGiven = true;
        } else if (given.Is("driver") || given.Is("log")) {
            if (value.isEmpty()) {
                Error = QStringLiteral("--%1 needs a file").arg(QLatin1String(given.Form->Long));
                return options;
            }
            (given.Is("driver") ? options.Driver : options.Log) = value;
        } else if (given.Is("closing-wait")) {
            bool number = false;
            const int wait = value.toInt(&number);
            if (!number || wait < 0 || wait > kLongestClosingWait) {
                Error = QStringLiteral("--closing-wait takes whole seconds from 0 to %1, not '%2'")
                            .arg(kLongestClosingWait)
                            .arg(TPortPlace::Printable(value));
                return options;
            }
            options.ClosingWait = std::chrono::seconds(wait);
        } else if (given.Is("quiet")) {
            options.Quiet = true;
        } else if (given.Is("verbose")) {
            options.Verbose = true;
        }
    }
    if (!line.Operands.isEmpty())
        Error =
            QStringLiteral("unknown argument '%1'").arg(PrintableArgument(line.Operands.front()));
    else if (options.Quiet && options.Verbose)
        Error = QStringLiteral("--quiet and --verbose do not go together");
    else if (checking && listing)
        Error = QStringLiteral("--check and --list do not go together");
    else if (checking && !options.Log.isEmpty())
        Error = QStringLiteral("--check and --log do not go together");
    else if (checking && portGiven)
        Error = QStringLiteral("--check and --port do not go together");
    else if (checking && options.Wait)
        Error = QStringLiteral("--check and --wait do not go together");
    else if (checkSecondsGiven && !checking)
        Error = QStringLiteral("--check-seconds goes with --check");
    else if (checking && deviceGiven && options.Device.isEmpty())
        Error = QStringLiteral("the device description is empty");
    else if (checking && serialGiven && options.Serial.isEmpty())
        Error = QStringLiteral("the serial number is empty");
    else if (checking)
        options.Mode = TBridgeOptions::TMode::Check;
    else if (listing && (deviceGiven || serialGiven))
        Error = QStringLiteral("--list and --%1 do not go together")
                    .arg(deviceGiven ? QStringLiteral("device") : QStringLiteral("serial"));
    else if (listing && !options.Log.isEmpty())
        Error = QStringLiteral("--list and --log do not go together");
    else if (listing && options.Wait)
        Error = QStringLiteral("--list and --wait do not go together");
    else if (options.Json && !listing)
        Error = QStringLiteral("--json goes with --list or --check");
    else if (listing)
        options.Mode = TBridgeOptions::TMode::List;
    else if (!deviceGiven && !serialGiven)
        Error = QStringLiteral("which device? give -d DESCRIPTION or -s SERIAL, or -l to list");
    else if (deviceGiven && options.Device.isEmpty())
        Error = QStringLiteral("the device description is empty");
    else if (serialGiven && options.Serial.isEmpty())
        Error = QStringLiteral("the serial number is empty");
    return options;
}

QString BridgeUsage()
{
    return QStringLiteral(
               "Usage: velmor-bridge -d DESCRIPTION [-p NAME] [-w] [OPTION]...\n"
               "       velmor-bridge -s SERIAL [-d DESCRIPTION] [-p NAME] [-w] [OPTION]...\n"
               "       velmor-bridge -l [--json] [--driver FILE]\n"
               "       velmor-bridge -c [-d DESCRIPTION | -s SERIAL] [--check-seconds N]\n"
               "                    [--json] [--driver FILE]\n"
               "Bridges a virtual serial port to the SSC device with that description, without\n"
               "a window.\n"
               "\n") +
           OptionsUsage(kBridgeOptions) +
           QStringLiteral(
               "\n"
               "A value follows its option, or an equals sign: --port=COM9, -pCOM9.\n"
               "Once the port is ready its full path is printed on stdout, alone on a line.\n"
               "SIGINT, SIGTERM and SIGHUP stop it: what programs wrote still goes to the device\n"
               "for at most the closing wait (a second signal stops at once), then the port is\n"
               "removed and the device closed.\n"
               "--list with no device there prints nothing (--json: []), says so on stderr and\n"
               "exits with 0.\n"
               "--check prints a line a step (the driver library, the device, whether it opens\n"
               "and synchronises, the echo of one byte, the pace each way as a fraction of the\n"
               "protocol's ceiling), then one starting PASS or FAIL with the next step; with no\n"
               "device named it checks the only one there.\n"
               "Exit status: 0 stopped cleanly, or the check passed; 1 other failure; 2 bad\n"
               "usage; 3 the driver library cannot be loaded; 4 no device has that description\n"
               "or serial number (without --wait); 5 the port name is refused; 6 the check\n"
               "failed.\n");
}

int Run(const QList<QByteArray> &Arguments)
{
    QCoreApplication::setApplicationName(QStringLiteral("velmor-bridge"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMOR_VERSION));
    // stderr's lines: to the journal with their priority, elsewhere as always.
    const TJournalLines stamped = TJournalLines::ForStderr(TJournalLines::TStamp::Time);
    const TJournalLines plain(stamped.ToJournal(), TJournalLines::TStamp::None);
    using TPriority = TJournalLines::TPriority;
    QString error;
    TExitStatus refusal = kExitUsage;
    const TBridgeOptions options = ParseBridgeArguments(Arguments.mid(1), error, refusal);
    if (!error.isEmpty()) {
        plain.Say(TPriority::Error, QStringLiteral("velmor-bridge: ") + error);
        if (refusal == kExitUsage)
            plain.Say(TPriority::Error, QStringLiteral("Try 'velmor-bridge --help'."));
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
    auto say = [&stamped](TPriority Priority, const QString &Line) { stamped.Say(Priority, Line); };
    // Refused before the loader could block for ever opening a FIFO.
    if (const std::string refused =
            d2xx::RefusedLibraryFile(options.Driver.toLocal8Bit().toStdString());
        !options.Driver.isEmpty() && !refused.empty()) {
        say(TPriority::Error,
            QStringLiteral("--driver refused: ") + QString::fromLocal8Bit(refused));
        return kExitNoDriver;
    }
    // Refused before anything starts; a symbolic link is neither followed nor touched.
    std::unique_ptr<TTrafficFile> trafficFile;
    if (!options.Log.isEmpty()) {
        QString refused;
        trafficFile = TTrafficFile::Open(options.Log, refused);
        if (!trafficFile) {
            plain.Say(TPriority::Error,
                      QStringLiteral("velmor-bridge: --log refused: ") + OneLine(refused));
            return kExitUsage;
        }
    }
    // The check makes no port and opens no log: nothing is left behind.
    if (options.Mode == TBridgeOptions::TMode::Check)
        return TBoardCheck(options, out).Run();
    THeadlessBridge bridge(options, out, say);
    bridge.LogTraffic(std::move(trafficFile));
    if (options.Mode == TBridgeOptions::TMode::List)
        return bridge.List();
    // Signals are caught before the port exists, so that none of them can leave it behind.
    // The first lets what programs wrote reach the device, within the closing wait; a second
    // stops at once.
    bool finishing = false;
    OnEndingSignals([&bridge, &finishing] {
        if (std::exchange(finishing, true))
            QCoreApplication::quit();
        else
            bridge.Finish();
    });
    // SIGUSR1 (logrotate's postrotate): the --log file opened again.
    OnReopenSignal([&bridge] { bridge.ReopenLog(); });
    QObject::connect(&bridge, &THeadlessBridge::Drained, [] { QCoreApplication::quit(); });
    if (const int status = bridge.Start(); status != kExitStopped)
        return status;
    // Whoever was to read the port's path has gone (SIGPIPE is ignored): nobody can use the port.
    if (outError != 0) {
        say(TPriority::Error, QStringLiteral("the port's path cannot be written on stdout: %1")
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

} // namespace

int main(int argc, char **argv)
{
    // The arguments' own bytes: QCoreApplication's decoding would drop a leading byte order mark
    // and turn bytes that are not UTF-8 into U+FFFD, making a name the user never gave.
    QList<QByteArray> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    QCoreApplication application(argc, argv);
    return Run(arguments);
}
