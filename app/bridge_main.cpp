// velmor-bridge: the bridge of Velmor Debug without a window, for test rigs and machines with no
// display. This file is the program: its arguments, its usage, and where its lines go (the
// port's path on stdout, the timestamped state lines on stderr, the traffic to --log's file);
// THeadlessBridge (app/HeadlessBridge.h) does the bridging.
#include "app/EndingSignals.h"
#include "app/HeadlessBridge.h"
#include "app/JournalLines.h"
#include "app/TrafficFile.h"
#include "device/D2xx.h"
#include "vport/PortPlace.h"
#include "vport/VSPortLib_TLB.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QStringDecoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

using namespace bridge;

namespace
{

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
        } else if (argument == QLatin1String("--closing-wait")) {
            QString seconds;
            if (!value(seconds))
                return options;
            bool number = false;
            const int wait = seconds.toInt(&number);
            if (!number || wait < 0 || wait > kLongestClosingWait) {
                Error = QStringLiteral("--closing-wait takes whole seconds from 0 to %1, not '%2'")
                            .arg(kLongestClosingWait)
                            .arg(TPortPlace::Printable(seconds));
                return options;
            }
            options.ClosingWait = std::chrono::seconds(wait);
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
        "  --closing-wait SECONDS  how long what a program wrote before it closed the port,\n"
        "                        and at a stop what programs wrote, may take to reach the\n"
        "                        device before the rest is dropped (default 30; 0 drops it)\n"
        "  --help, -h            this text\n"
        "  --version             the version\n"
        "\n"
        "Once the port is ready its full path is printed on stdout, alone on a line.\n"
        "SIGINT, SIGTERM and SIGHUP stop it: what programs wrote still goes to the device for\n"
        "at most the closing wait (a second signal stops at once), then the port is removed\n"
        "and the device closed.\n"
        "--list with no device there prints nothing (--json: []), says so on stderr and\n"
        "exits with 0.\n"
        "Exit status: 0 stopped cleanly; 1 other failure; 2 bad usage; 3 the driver library\n"
        "cannot be loaded; 4 no device has that description or serial number; 5 the port\n"
        "name is refused.\n");
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
