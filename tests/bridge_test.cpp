// velmor-bridge. The built program runs as a real child process on the simulated driver (found
// through LD_LIBRARY_PATH, as FTDI's library would be), with a runtime folder of the test's own;
// applications on its port are a raw pty client and pyserial, locally and through ser2net on the
// loopback. A device lost and back is driven in process, where the simulator can be unplugged.
#include "app/BoardCheck.h"
#include "app/HeadlessBridge.h"
#include "vport/VSPortLib_TLB.h"

#include "sim/SimLibrary.h"
#include "tests/PtyClient.h"
#include "tests/Wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace
{

const QString kSimulator = QStringLiteral("SSC Simulator");
// The simulator's one device as --list shows it.
const QString kSimulatorLine = QStringLiteral("SSC Simulator  SIM000  0x11  openable");
const int kPatienceMs = int(test::kPatience.count());

using PortClient = test::TPtyClient;

// velmor-bridge as a child process.
class BridgeRun
{
public:
    // Devices: the simulator's bench (VSIM_DEVICES, ';' between descriptions); null for its
    // default. Prepare, if any, changes the environment or the process before it starts.
    using TPrepare = std::function<void(QProcessEnvironment &Environment, QProcess &Process)>;
    BridgeRun(const QStringList &Arguments, const QString &RuntimeDir,
              const QString &Program = QStringLiteral(VELMOR_BRIDGE),
              const QString &Devices = QString(), const TPrepare &Prepare = nullptr)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_LIBRARY_PATH", QString::fromStdString(SimLibrary::Folder()));
        environment.insert("XDG_RUNTIME_DIR", RuntimeDir);
        environment.remove("VSIM_DEVICES");
        if (!Devices.isNull())
            environment.insert("VSIM_DEVICES", Devices);
        if (Prepare)
            Prepare(environment, Process);
        Process.setProcessEnvironment(environment);
        Process.start(Program, Arguments);
    }
    ~BridgeRun()
    {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(kPatienceMs);
        }
    }
    // The first line on stdout, once there: the port's path. Empty if the program ended first.
    QString WaitForPath()
    {
        test::WaitUntil([&] {
            Out += Process.readAllStandardOutput();
            return Out.contains('\n') || Process.state() == QProcess::NotRunning;
        });
        Out += Process.readAllStandardOutput();
        const qsizetype end = Out.indexOf('\n');
        return end < 0 ? QString() : QFile::decodeName(Out.left(end));
    }
    void Signal(int Number) { ::kill(pid_t(Process.processId()), Number); }
    // The exit status once it has ended normally; nothing if it did not end, or crashed.
    std::optional<int> Finish()
    {
        if (!Process.waitForFinished(kPatienceMs) || Process.exitStatus() != QProcess::NormalExit)
            return std::nullopt;
        Out += Process.readAllStandardOutput();
        return Process.exitCode();
    }
    QString Err() { return QString::fromLocal8Bit(Process.readAllStandardError()); }
    QByteArray Out;
    QProcess Process;
};

class BridgeProgram : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(RuntimeDir.isValid()); }
    // Runs velmor-bridge to its end on the simulator's bench of Devices (its default when null):
    // exit status, stdout and stderr.
    int Run(const QStringList &Arguments, QString &Out, QString &Err,
            const QString &Devices = QString())
    {
        BridgeRun run(Arguments, RuntimeDir.path(), QStringLiteral(VELMOR_BRIDGE), Devices);
        const std::optional<int> status = run.Finish();
        Out = QString::fromLocal8Bit(run.Out);
        Err = run.Err();
        return status.value_or(-1);
    }
    // What is left in the program's port folder.
    QStringList PortFolder() const
    {
        return QDir(RuntimeDir.filePath("velmor-debug"))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    }
    QTemporaryDir RuntimeDir;
};

// A --log file's lines: the run's own, "<ISO time> # <run>", returned in order; the bytes each way
// added to To and From in hex. Each line is checked.
QStringList LoggedRuns(const QString &Text, QString &To, QString &From)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d "
                       "(?:# (.+)|([<>])((?: [0-9a-f]{2}){1,16})  .{1,16})$"));
    EXPECT_TRUE(Text.isEmpty() || Text.endsWith('\n'));
    QStringList runs;
    for (const QString &each : Text.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = line.match(each);
        EXPECT_TRUE(match.hasMatch()) << each.toStdString();
        if (!match.captured(1).isEmpty())
            runs << match.captured(1);
        else
            (match.captured(2) == ">" ? To : From) += match.captured(3);
    }
    return runs;
}

// Every stderr line: "YYYY-MM-DD hh:mm:ss.zzz text".
void ExpectTimestamped(const QString &Err)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\S.*$"));
    for (const QString &each : Err.split('\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(line.match(each).hasMatch()) << each.toStdString();
}

} // namespace

TEST_F(BridgeProgram, BadUsageEndsWithStatus2AndSaysWhy)
{
    struct Case {
        QStringList arguments;
        const char *says; // what the first line on stderr contains
    };
    const Case bad[] = {
        {{}, "which device?"},
        {{"--frobnicate"}, "unknown argument '--frobnicate'"},
        {{"-x"}, "unknown option '-x'"},
        {{"-lx"}, "unknown option '-x'"},
        {{"--device"}, "--device needs a value"},
        {{"-d"}, "-d needs a value"},
        {{"--device", ""}, "the device description is empty"},
        {{"--device=", "-q"}, "the device description is empty"},
        {{"-d", "SSC Simulator", "--port"}, "--port needs a value"},
        {{"--list=yes"}, "--list takes no value"},
        {{"-d", "SSC Simulator", "stray"}, "unknown argument 'stray'"},
        {{"--list", "--device", "SSC Simulator"}, "--list and --device"},
        {{"-l", "-s", "SIM000"}, "--list and --serial"},
        {{"-l", "-w"}, "--list and --wait"},
        {{"--json"}, "--json goes with --list"},
        {{"--serial"}, "--serial needs a value"},
        {{"--serial", ""}, "the serial number is empty"},
        {{"-qv", "-d", "SSC Simulator"}, "--quiet and --verbose"},
        {{"-d", "SSC Simulator", "--closing-wait", "-1"}, "--closing-wait takes whole seconds"},
        {{"-d", "SSC Simulator", "--closing-wait=1.5"}, "not '1.5'"},
        {{"-d", "SSC Simulator", "--closing-wait", "3601"}, "not '3601'"},
    };
    for (const Case &each : bad) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        QString out, err;
        EXPECT_EQ(Run(each.arguments, out, err), 2);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_TRUE(err.startsWith("velmor-bridge: ")) << err.toStdString();
        EXPECT_TRUE(err.section('\n', 0, 0).contains(each.says)) << err.toStdString();
        EXPECT_TRUE(err.contains("--help")) << err.toStdString();
    }
}

// The forms getopt's users type: values after a space, an equals sign or joined to a short
// option, short flags together, a unique prefix of a long name, -- before operands.
TEST_F(BridgeProgram, OptionsTakeTheFormsOfOtherLinuxTools)
{
    struct Case {
        QStringList arguments;
        int status;
        const char *out; // what stdout starts with
        const char *err; // what stderr contains; null: stderr empty
    };
    const char *const unknown = "No device described 'SSC Simulatr'";
    const Case cases[] = {
        {{"-h"}, 0, "Usage: velmor-bridge -d DESCRIPTION", nullptr},
        {{"--help", "--frobnicate"}, 0, "Usage: velmor-bridge", nullptr},
        {{"-V"}, 0, "velmor-bridge " VELMOR_VERSION "\n", nullptr},
        {{"--vers"}, 0, "velmor-bridge " VELMOR_VERSION "\n", nullptr},
        {{"-l"}, 0, "SSC Simulator  SIM000", nullptr},
        {{"--li", "--json"}, 0, "[", nullptr},
        {{"--device=SSC Simulatr"}, 4, "", unknown},
        {{"-dSSC Simulatr"}, 4, "", unknown},
        {{"-q", "--dev", "SSC Simulatr"}, 4, "", unknown},
        {{"-qdSSC Simulatr"}, 4, "", unknown},
        {{"-d", "SSC Simulatr", "--", "-q"}, 2, "", "unknown argument '-q'"},
        {{"-d", "SSC Simulator", "-p", "a/b"}, 5, "", "port 'a/b' refused"},
        {{"-d", "SSC Simulator", "--port=a/b"}, 5, "", "port 'a/b' refused"},
    };
    for (const Case &each : cases) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        QString out, err;
        EXPECT_EQ(Run(each.arguments, out, err), each.status) << err.toStdString();
        EXPECT_TRUE(*each.out == '\0' ? out.isEmpty() : out.startsWith(each.out))
            << out.toStdString();
        if (each.err == nullptr)
            EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        else
            EXPECT_TRUE(err.contains(each.err)) << err.toStdString();
    }
    // The usage gives each option's short form first, and the help in one column.
    QString out, err;
    ASSERT_EQ(Run({"--help"}, out, err), 0);
    EXPECT_TRUE(
        out.contains("\n  -d, --device DESCRIPTION\n                        the SSC device"))
        << out.toStdString();
    EXPECT_TRUE(out.contains("\n  -p, --port NAME       the port: ")) << out.toStdString();
    EXPECT_TRUE(out.contains("\n  -w, --wait            make the port")) << out.toStdString();
}

TEST_F(BridgeProgram, ListsTheDevicesOneALine)
{
    QString out, err;
    EXPECT_EQ(Run({"--list"}, out, err), 0) << err.toStdString();
    EXPECT_EQ(out, kSimulatorLine + "\n");
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
}

TEST_F(BridgeProgram, AMissingDriverLibraryEndsWithStatus3)
{
    for (const QStringList &arguments :
         {QStringList{"--driver", "/nonexistent/libftd2xx.so", "--device", kSimulator},
          QStringList{"--driver", "/nonexistent/libftd2xx.so", "--list"}}) {
        QString out, err;
        EXPECT_EQ(Run(arguments, out, err), 3) << err.toStdString();
        EXPECT_TRUE(out.isEmpty());
        // The loader's own reason follows.
        EXPECT_TRUE(err.contains("Can not load /nonexistent/libftd2xx.so: "
                                 "/nonexistent/libftd2xx.so: cannot open shared object file: No "
                                 "such file or directory"))
            << err.toStdString();
        ExpectTimestamped(err);
    }
    EXPECT_TRUE(PortFolder().isEmpty());
}

TEST_F(BridgeProgram, AnUnknownDeviceEndsWithStatus4AndNamesThoseThere)
{
    QString out, err;
    EXPECT_EQ(Run({"--device", "SSC Simulatr"}, out, err), 4);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(err.contains("No device described 'SSC Simulatr'; there are: SSC Simulator"))
        << err.toStdString();
    EXPECT_TRUE(PortFolder().isEmpty());
}

TEST_F(BridgeProgram, ARefusedPortNameEndsWithStatus5AndTheControlsReason)
{
    // The reasons the panel's tooltip gives for the same names, from one control.
    auto control = std::make_unique<TVSPortAx>();
    for (const QString &name : {QStringLiteral("a/b"), QStringLiteral("bad\x01name")}) {
        ASSERT_FALSE(control->CreatePort(name));
        const QString reason = control->LastError();
        ASSERT_FALSE(reason.isEmpty());
        QString out, err;
        EXPECT_EQ(Run({"--device", kSimulator, "--port", name}, out, err), 5);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_TRUE(err.contains("refused: " + reason)) << err.toStdString();
    }
    EXPECT_TRUE(PortFolder().isEmpty());
}

TEST_F(BridgeProgram, ANameIsTakenAsTheBytesGivenOrRefusedAndShownEscaped)
{
    // The bytes come from the shell's printf (octal escapes): arguments that are not UTF-8 or
    // begin with a byte order mark cannot be passed as text.
    struct TCase {
        const char *Option;
        const char *Bytes;
        int Status;
        QString Said;
    };
    const TCase cases[] = {
        {"--port", "COM8\\377", 5, "'COM8\\xff', is not valid UTF-8"},
        {"--port", "COM\\3038", 5, "'COM\\xc38', is not valid UTF-8"},
        {"--port", "\\357\\273\\277COM8", 5, "U+FEFF"},
        {"--port", "\\033[2JCOM8\\033]0;x\\007", 5, "port '\\x1b[2JCOM8\\x1b]0;x\\x07' refused"},
        {"--device", "SSC Simulator\\377", 2, "'SSC Simulator\\xff', is not valid UTF-8"},
    };
    for (const TCase &test : cases) {
        SCOPED_TRACE(test.Bytes);
        const QStringList arguments = {
            "-c",          "exec \"$0\" --device \"$1\" \"$2\" \"$(printf \"$3\")\"",
            VELMOR_BRIDGE, kSimulator,
            test.Option,   test.Bytes};
        // A second --device, when that is the one tested, is the one that counts.
        BridgeRun bridge(arguments, RuntimeDir.path(), QStringLiteral("/bin/sh"));
        EXPECT_EQ(bridge.Finish(), test.Status);
        EXPECT_TRUE(bridge.Out.isEmpty()) << bridge.Out.toStdString();
        const QByteArray err = bridge.Process.readAllStandardError();
        EXPECT_TRUE(QString::fromUtf8(err).contains(test.Said)) << err.toStdString();
        for (const char control : {'\x1b', '\x07'})
            EXPECT_FALSE(err.contains(control)) << err.toStdString();
        EXPECT_TRUE(PortFolder().isEmpty()) << PortFolder().join(' ').toStdString();
    }
}

TEST_F(BridgeProgram, EchoesThroughItsPortAndEachEndingSignalRemovesThePort)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // The quiet one says nothing but errors, and there are none; the verbose one says the
        // handshake's steps too, which the plain one leaves out.
        const bool quiet = signal == SIGHUP;
        const bool verbose = signal == SIGTERM;
        QStringList arguments{"--device", kSimulator, "--port", "rig"};
        if (quiet)
            arguments << "--quiet";
        if (verbose)
            arguments << "--verbose";
        BridgeRun bridge(arguments, RuntimeDir.path());
        const QString path = bridge.WaitForPath();
        ASSERT_EQ(path, RuntimeDir.filePath("velmor-debug/rig")) << bridge.Err().toStdString();
        ASSERT_TRUE(QFileInfo(path).isSymLink());
        {
            PortClient client(path);
            ASSERT_TRUE(client.IsOpen());
            ASSERT_TRUE(client.Write("ping " + std::to_string(signal)));
            EXPECT_TRUE(client.Receive("ping " + std::to_string(signal))) << client.Received;
        }
        bridge.Signal(signal);
        EXPECT_EQ(bridge.Finish(), 0) << "signal " << signal;
        EXPECT_FALSE(QFileInfo::exists(path));
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_TRUE(PortFolder().isEmpty());
        // Only the path on stdout.
        EXPECT_EQ(QFile::decodeName(bridge.Out), path + "\n");
        const QString err = bridge.Err();
        ExpectTimestamped(err);
        if (quiet) {
            EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        } else {
            EXPECT_TRUE(err.contains(" link: bridging\n")) << err.toStdString();
            EXPECT_EQ(err.contains(" link: SYNCH ---> "), verbose) << err.toStdString();
            EXPECT_TRUE(err.contains(" stopped: port removed, device closed\n"));
        }
    }
}

// A stop lets what programs wrote reach the device, as a UART's close lets its output drain, for
// at most the closing wait; what it cannot send is dropped and said with its count.
TEST_F(BridgeProgram, AStopSendsWhatProgramsWroteWithinTheClosingWaitAndSaysWhatItDrops)
{
    for (const char *wait : {"30", "0"}) {
        SCOPED_TRACE(wait);
        const bool drains = std::string(wait) != "0";
        BridgeRun bridge({"--device", kSimulator, "--port", "rig", "--closing-wait", wait},
                         RuntimeDir.path());
        const QString path = bridge.WaitForPath();
        ASSERT_FALSE(path.isEmpty()) << bridge.Err().toStdString();
        ASSERT_TRUE(test::WaitUntil([&] { return bridge.Err().contains("link: bridging"); }));
        {
            // 1.4 s of the device's time, written and left at once.
            PortClient client(path);
            ASSERT_TRUE(client.IsOpen());
            ASSERT_TRUE(client.Write(std::string(300, 'x')));
        }
        bridge.Signal(SIGTERM);
        EXPECT_EQ(bridge.Finish(), 0);
        const QString err = bridge.Err();
        EXPECT_EQ(err.contains(" stopping: "), drains) << err.toStdString();
        const bool dropped =
            err.contains(" were dropped\n") || err.contains(" bytes meant for the device: ");
        EXPECT_EQ(dropped, !drains) << err.toStdString();
        EXPECT_TRUE(err.contains(" stopped: port removed, device closed\n"));
    }
}

TEST_F(BridgeProgram, EverySignalThatWouldEndItRemovesThePort)
{
    // No core files from the signals that would leave one.
    const rlimit noCore = {0, RLIM_INFINITY};
    rlimit kept = {};
    ::getrlimit(RLIMIT_CORE, &kept);
    ::setrlimit(RLIMIT_CORE, &noCore);
    // Not SIGUSR1, which opens the --log file again.
    std::vector<int> ending = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,   SIGFPE,
                               SIGSEGV, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ,  SIGVTALRM,
                               SIGPROF, SIGIO,   SIGPWR,  SIGSYS,  SIGSTKFLT};
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        ending.push_back(signal);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // These belong to the sanitizer, which reports and ends the program its own way.
    std::erase_if(ending, [](int Signal) {
        return Signal == SIGSEGV || Signal == SIGBUS || Signal == SIGFPE;
    });
#endif
    const QString lock = RuntimeDir.filePath("velmor-debug/.fatal.lock");
    for (const int signal : ending) {
        SCOPED_TRACE(::strsignal(signal));
        BridgeRun bridge({"--device", kSimulator, "--port", "fatal", "--quiet"}, RuntimeDir.path());
        const QString path = bridge.WaitForPath();
        ASSERT_FALSE(path.isEmpty()) << bridge.Err().toStdString();
        ASSERT_TRUE(QFileInfo::exists(lock));
        bridge.Signal(signal);
        ASSERT_TRUE(bridge.Process.waitForFinished(kPatienceMs));
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_FALSE(QFileInfo::exists(lock));
        EXPECT_TRUE(PortFolder().isEmpty()) << PortFolder().join(' ').toStdString();
    }
    ::setrlimit(RLIMIT_CORE, &kept);
}

TEST_F(BridgeProgram, ADriverThatIsNotARegularFileIsRefusedBeforeItIsLoaded)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString fifo = folder.filePath("fifo.so");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString toFifo = folder.filePath("to-fifo.so");
    ASSERT_TRUE(QFile::link(fifo, toFifo));
    const struct {
        QString Driver;
        QString Said;
    } refused[] = {
        {fifo, fifo + " is a FIFO, not a regular file"},
        {toFifo, toFifo + " is a FIFO"},
        {folder.path(), folder.path() + " is a folder"},
        {"/dev/null", "/dev/null is a character device"},
    };
    for (const auto &driver : refused) {
        for (const QString &mode : {QStringLiteral("--list"), QStringLiteral("--device")}) {
            QStringList arguments{"--driver", driver.Driver, mode};
            if (mode == "--device")
                arguments << kSimulator;
            SCOPED_TRACE(arguments.join(' ').toStdString());
            QString out, err;
            EXPECT_EQ(Run(arguments, out, err), 3);
            EXPECT_TRUE(out.isEmpty());
            EXPECT_TRUE(err.contains("--driver refused: " + driver.Said)) << err.toStdString();
            ExpectTimestamped(err);
        }
    }
    EXPECT_TRUE(PortFolder().isEmpty());
    // A link to the library itself is fine.
    const QString toLibrary = folder.filePath("libftd2xx.so");
    ASSERT_TRUE(QFile::link(QString::fromStdString(SimLibrary::Path()), toLibrary));
    QString out, err;
    EXPECT_EQ(Run({"--driver", toLibrary, "--list"}, out, err), 0) << err.toStdString();
    EXPECT_EQ(out, kSimulatorLine + "\n");
}

// ---------------------------------------------------------------------------------------------
// Two boards of one description, told apart by serial number.

namespace
{
const QString kTwins = QStringLiteral("SSC Simulator;SSC Simulator");
}

TEST_F(BridgeProgram, ListsTwoBoardsOfOneDescriptionWithTheirSerialNumbersAlsoAsJson)
{
    QString out, err;
    ASSERT_EQ(Run({"--list"}, out, err, kTwins), 0) << err.toStdString();
    EXPECT_EQ(out, "SSC Simulator  SIM000  0x11  openable\n"
                   "SSC Simulator  SIM001  0x12  openable\n");
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();

    ASSERT_EQ(Run({"--json", "--list"}, out, err, kTwins), 0) << err.toStdString();
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << out.toStdString();
    ASSERT_TRUE(document.isArray());
    const QJsonArray devices = document.array();
    ASSERT_EQ(devices.size(), 2);
    for (qsizetype i = 0; i < 2; ++i) {
        const QJsonObject device = devices[i].toObject();
        EXPECT_EQ(device["description"].toString(), kSimulator);
        EXPECT_EQ(device["serial"].toString(), QStringLiteral("SIM00%1").arg(i));
        EXPECT_EQ(device["location"].toInteger(), 0x11 + i);
        EXPECT_TRUE(device["openable"].toBool());
        EXPECT_EQ(device["reason"].toString(), "");
    }
}

// --check: the simulator passes; a device whose stream never carries the pattern fails the
// handshake; an unknown description ends as the bridge does. The lines come in their order, the
// last the verdict; --json gives the same as one object; no port is ever made.
TEST_F(BridgeProgram, CheckSaysInOneRunWhetherTheBoardWorksAndAtWhatPace)
{
    struct TCase {
        const char *Name;
        QStringList Arguments;
        bool NoPattern;
        int Status;
        QStringList Steps; // the lines' beginnings, in order; the verdict last
    };
    const QStringList passing{"driver library: ",
                              "device: SSC Simulator, serial number SIM000",
                              "opens: yes",
                              "synchronises: yes, in ",
                              "echo of one byte: p50 ",
                              "to the device: ",
                              "from the device: ",
                              "PASS: bridging works"};
    const TCase cases[] = {
        {"simulator", {"--check", "--check-seconds", "1"}, false, 0, passing},
        {"simulator by serial", {"-c", "-s", "SIM000", "--check-seconds=1"}, false, 0, passing},
        {"no pattern",
         {"--check", "--device", kSimulator, "--check-seconds", "1"},
         true,
         6,
         {"driver library: ", "device: SSC Simulator", "opens: yes", "synchronises: no, ",
          "FAIL: the device does not answer the handshake"}},
        {"unknown description",
         {"--check", "--device", "SSC Nowhere"},
         false,
         4,
         {"driver library: ", "FAIL: no device is described 'SSC Nowhere'"}},
    };
    for (const TCase &each : cases)
        for (const bool json : {false, true}) {
            SCOPED_TRACE(std::string(each.Name) + (json ? " --json" : ""));
            const BridgeRun::TPrepare prepare = [&](QProcessEnvironment &Environment, QProcess &) {
                if (each.NoPattern)
                    Environment.insert("VSIM_NO_PATTERN", "1");
            };
            BridgeRun run(each.Arguments + (json ? QStringList{"--json"} : QStringList()),
                          RuntimeDir.path(), QStringLiteral(VELMOR_BRIDGE), QString(), prepare);
            const std::optional<int> status = run.Finish();
            const QString out = QString::fromLocal8Bit(run.Out);
            const QString err = run.Err();
            ASSERT_EQ(status, each.Status) << out.toStdString() << err.toStdString();
            EXPECT_TRUE(err.isEmpty()) << err.toStdString();
            EXPECT_TRUE(PortFolder().isEmpty()) << PortFolder().join(' ').toStdString();
            if (!json) {
                const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
                ASSERT_EQ(lines.size(), each.Steps.size()) << out.toStdString();
                for (qsizetype i = 0; i < lines.size(); ++i)
                    EXPECT_TRUE(lines[i].startsWith(each.Steps[i])) << out.toStdString();
                continue;
            }
            QJsonParseError error{};
            const QJsonObject report = QJsonDocument::fromJson(out.toUtf8(), &error).object();
            ASSERT_EQ(error.error, QJsonParseError::NoError) << out.toStdString();
            EXPECT_EQ(report["passed"].toBool(), each.Status == 0) << out.toStdString();
            EXPECT_EQ(report["exit_status"].toInt(), each.Status);
            EXPECT_TRUE(report["verdict"].toString().startsWith(each.Steps.back()))
                << out.toStdString();
            EXPECT_TRUE(report["driver_library"].toObject()["loaded"].toBool());
            EXPECT_EQ(report["synchronises"].toObject()["synchronised"].toBool(), each.Status == 0);
            if (each.Status == 0) {
                const QJsonObject measured = report["measured"].toObject();
                EXPECT_TRUE(measured["echoes"].toBool()) << out.toStdString();
                EXPECT_GT(measured["echo_count"].toInt(), 0);
                EXPECT_GT(measured["to_fraction"].toDouble(), 0);
                EXPECT_GT(measured["from_fraction"].toDouble(), 0);
                EXPECT_TRUE(report["device"].toObject()["chip_type"].isNull());
            }
        }
    // Its options, and what it does not go with.
    QString out, err;
    for (const QStringList &arguments :
         {QStringList{"--check", "--list"}, QStringList{"--check", "--port", "COM8"},
          QStringList{"--check", "--wait"}, QStringList{"--check", "--log", "x"},
          QStringList{"--check-seconds", "5", "-d", kSimulator},
          QStringList{"--check", "--check-seconds", "0"},
          QStringList{"--check", "--check-seconds", "601"}}) {
        EXPECT_EQ(Run(arguments, out, err), 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(err.startsWith("velmor-bridge: ")) << err.toStdString();
    }
}

TEST_F(BridgeProgram, WithNoDeviceTheListIsEmptyAndStderrNamesTheLibraryAsked)
{
    const QString library = QString::fromStdString(SimLibrary::Path());
    QString out, err;
    EXPECT_EQ(Run({"--list"}, out, err, ""), 0);
    EXPECT_TRUE(out.isEmpty()) << out.toStdString();
    EXPECT_TRUE(err.contains(" no device found by " + library + "\n")) << err.toStdString();
    ExpectTimestamped(err);
    // A script gets an empty array, and nothing else.
    EXPECT_EQ(Run({"--list", "--json"}, out, err, ""), 0);
    EXPECT_EQ(out, "[]\n");
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
}

TEST_F(BridgeProgram, SerialOpensTheSecondBoardAndBytesEchoThroughItsPort)
{
    // Each program has a simulator of its own: which board it opened is seen in process, below.
    BridgeRun second({"--serial", "SIM001", "--port", "second"}, RuntimeDir.path(),
                     QStringLiteral(VELMOR_BRIDGE), kTwins);
    const QString secondPath = second.WaitForPath();
    ASSERT_FALSE(secondPath.isEmpty()) << second.Err().toStdString();
    BridgeRun first({"--device", kSimulator, "--port", "first"}, RuntimeDir.path(),
                    QStringLiteral(VELMOR_BRIDGE), kTwins);
    const QString firstPath = first.WaitForPath();
    ASSERT_FALSE(firstPath.isEmpty()) << first.Err().toStdString();
    for (const QString &path : {secondPath, firstPath}) {
        PortClient client(path);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(client.Write("through " + path.toStdString()));
        EXPECT_TRUE(client.Receive("through " + path.toStdString())) << client.Received;
    }
    second.Signal(SIGTERM);
    first.Signal(SIGTERM);
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(first.Finish(), 0);

    // Each names the library at start; the one chosen by description says which board it has.
    const QString library = " driver library: " + QString::fromStdString(SimLibrary::Path());
    const QString secondErr = second.Err();
    EXPECT_TRUE(secondErr.contains(library + "\n")) << secondErr.toStdString();
    EXPECT_TRUE(secondErr.contains("device 'SSC Simulator' (serial number SIM001) opened"))
        << secondErr.toStdString();
    EXPECT_FALSE(secondErr.contains("velmor-bridge --serial")) << secondErr.toStdString();
    EXPECT_FALSE(secondErr.contains("devices have serial number")) << secondErr.toStdString();
    const QString firstErr = first.Err();
    EXPECT_TRUE(firstErr.contains(library + "\n")) << firstErr.toStdString();
    EXPECT_TRUE(firstErr.contains("2 devices are described 'SSC Simulator' (serial numbers "
                                  "SIM000, SIM001); this link uses serial number SIM000. To "
                                  "choose one by its serial number: velmor-bridge --serial"))
        << firstErr.toStdString();
}

TEST_F(BridgeProgram, ASerialNumberThatDoesNotFitEndsWithStatus4AndSaysWhy)
{
    const struct {
        QStringList Arguments;
        QString Devices;
        QString Said;
    } cases[] = {
        {{"--serial", "SIM002"},
         kTwins,
         "No device with serial number 'SIM002'; there are: SSC Simulator (SIM000), SSC "
         "Simulator (SIM001)"},
        {{"--serial", "SIM000"},
         "",
         "No device with serial number 'SIM000'; no device is attached"},
        {{"--serial", "SIM002", "--device", kSimulator},
         kTwins + ";Other",
         "the device with serial number 'SIM002' is described 'Other', not 'SSC Simulator'"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Arguments.join(' ').toStdString());
        QString out, err;
        EXPECT_EQ(Run(test.Arguments, out, err, test.Devices), 4);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_TRUE(err.contains(test.Said)) << err.toStdString();
        ExpectTimestamped(err);
    }
    EXPECT_TRUE(PortFolder().isEmpty());
}

namespace
{

// velmor-bridge with its stdout on the write end of a pipe of the test's.
void StartOnPipe(QProcess &Process, const QStringList &Arguments, const QString &RuntimeDir,
                 int Stdout)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_LIBRARY_PATH", QString::fromStdString(SimLibrary::Folder()));
    environment.insert("XDG_RUNTIME_DIR", RuntimeDir);
    Process.setProcessEnvironment(environment);
    Process.setChildProcessModifier([Stdout] {
        ::dup2(Stdout, STDOUT_FILENO);
        // As a shell leaves it for what it starts, whatever the test's runner does with it.
        ::signal(SIGPIPE, SIG_DFL);
    });
    Process.start(QStringLiteral(VELMOR_BRIDGE), Arguments);
}

} // namespace

TEST_F(BridgeProgram, ASignalEndsItWhileItIsBlockedInStartUp)
{
    // Nobody reads its stdout, which is full: announcing the port blocks before the event loop
    // runs.
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
    const char filler[4096] = {};
    while (::write(pipe[1], filler, sizeof filler) > 0) {
    }
    ASSERT_EQ(::fcntl(pipe[1], F_SETFL, 0), 0);
    const QString path = RuntimeDir.filePath("velmor-debug/blocked");
    QProcess process;
    StartOnPipe(process, {"--device", kSimulator, "--port", "blocked"}, RuntimeDir.path(), pipe[1]);
    ::close(pipe[1]);
    // Blocked writing to stdout, its port in place.
    const QString blocked = QStringLiteral("%1 0x1 ").arg(SYS_write);
    QFile call(QStringLiteral("/proc/%1/syscall").arg(process.processId()));
    ASSERT_TRUE(test::WaitUntil([&] {
        call.open(QIODevice::ReadOnly);
        const bool writing = call.readAll().startsWith(blocked.toLatin1());
        call.close();
        return writing;
    })) << process.readAllStandardError().toStdString();
    ASSERT_TRUE(QFileInfo(path).isSymLink());
    ::kill(pid_t(process.processId()), SIGTERM);
    const bool ended = process.waitForFinished(kPatienceMs);
    ::close(pipe[0]);
    if (!ended)
        process.kill();
    ASSERT_TRUE(ended);
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_TRUE(PortFolder().isEmpty()) << PortFolder().join(' ').toStdString();
}

TEST_F(BridgeProgram, AStdoutClosedBeforeThePathCameEndsItWithStatus1AndThePortRemoved)
{
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    ::close(pipe[0]);
    QProcess process;
    StartOnPipe(process, {"--device", kSimulator, "--port", "unread"}, RuntimeDir.path(), pipe[1]);
    ::close(pipe[1]);
    ASSERT_TRUE(process.waitForFinished(kPatienceMs));
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << err.toStdString();
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(err.contains("the port's path cannot be written on stdout: Broken pipe"))
        << err.toStdString();
    EXPECT_TRUE(PortFolder().isEmpty()) << PortFolder().join(' ').toStdString();
}

TEST_F(BridgeProgram, AScriptTakesThePathFromTheFirstLineAndPyserialUsesIt)
{
    // The two forms the README shows: a coprocess whose first line is read, and a bridge left in
    // the background whose first line head takes. Each port then echoes to pyserial.
    const char *script = R"sh(
set -e
echo_through() {
    /usr/bin/python3 -c '
import serial, sys
port = serial.Serial(sys.argv[1], timeout=10)
port.write(b"script")
sys.stdout.write(port.read(6).decode("ascii", "replace") + "\n")
' "$1"
}
coproc bridge { exec "$BRIDGE" --device "SSC Simulator" --port first --quiet; }
read -r port <&"${bridge[0]}"
echo_through "$port"
kill -TERM "$bridge_PID"
wait "$bridge_PID" && echo "first stopped"
port=$( ("$BRIDGE" --device "SSC Simulator" --port second --quiet & echo $! > "$PIDS") | head -1)
echo_through "$port"
kill -INT "$(cat "$PIDS")"
)sh";
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_LIBRARY_PATH", QString::fromStdString(SimLibrary::Folder()));
    environment.insert("XDG_RUNTIME_DIR", RuntimeDir.path());
    environment.insert("BRIDGE", QStringLiteral(VELMOR_BRIDGE));
    environment.insert("PIDS", RuntimeDir.filePath("second.pid"));
    shell.setProcessEnvironment(environment);
    shell.start("/bin/bash", {"-c", script});
    ASSERT_TRUE(shell.waitForFinished(kPatienceMs * 2));
    const QString err = QString::fromLocal8Bit(shell.readAllStandardError());
    EXPECT_EQ(shell.exitCode(), 0) << err.toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(shell.readAllStandardOutput()),
              "script\nfirst stopped\nscript\n")
        << err.toStdString();
    EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    // The second one ends on its SIGINT, and takes its port along.
    EXPECT_TRUE(test::WaitUntil([&] { return PortFolder().isEmpty(); }))
        << PortFolder().join(' ').toStdString();
}

TEST_F(BridgeProgram, PyserialOverRfc2217ThroughSer2netOnTheLoopback)
{
    const QString ser2net = QStandardPaths::findExecutable("ser2net");
    if (ser2net.isEmpty())
        GTEST_SKIP() << "ser2net cannot be run: not installed (apt-get install ser2net)";

    BridgeRun bridge({"--device", kSimulator, "--port", "shared"}, RuntimeDir.path());
    const QString path = bridge.WaitForPath();
    ASSERT_FALSE(path.isEmpty()) << bridge.Err().toStdString();

    // A port free on the loopback now; ser2net binds 127.0.0.1 alone.
    int tcpPort = 0;
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length), 0);
        tcpPort = ntohs(address.sin_port);
        ::close(probe);
    }
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QFile config(folder.filePath("ser2net.yaml"));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("connection: &velmor\n"
                                "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                                "  connector: serialdev,%2,115200n81,local\n"
                                "  options:\n"
                                "    kickolduser: true\n")
                     .arg(tcpPort)
                     .arg(path)
                     .toLocal8Bit());
    config.close();

    // In the foreground, its pid file in the test's folder, no UUCP lock files.
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(ser2net,
                 {"-n", "-d", "-u", "-P", folder.filePath("ser2net.pid"), "-c", config.fileName()});
    if (!server.waitForStarted(kPatienceMs))
        GTEST_SKIP() << "ser2net cannot be run: " << server.errorString().toStdString();

    // The client tries until ser2net listens.
    const char *client = R"(
import serial, sys, time
deadline = time.monotonic() + 20
while True:
    try:
        port = serial.serial_for_url(sys.argv[1], timeout=1)
        break
    except serial.SerialException:
        if time.monotonic() > deadline:
            raise
        time.sleep(0.1)
port.write(b"over rfc2217")
got = b""
while len(got) < 12 and time.monotonic() < deadline:
    got += port.read(12 - len(got))
port.close()
sys.stdout.write(got.decode("ascii", "replace"))
)";
    QProcess python;
    python.start(
        "/usr/bin/python3",
        {"-c", client, QStringLiteral("rfc2217://127.0.0.1:%1?ign_set_control").arg(tcpPort)});
    ASSERT_TRUE(python.waitForFinished(kPatienceMs + 10000));
    const QString said = QString::fromLocal8Bit(python.readAllStandardError());
    EXPECT_EQ(python.exitCode(), 0) << said.toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(python.readAllStandardOutput()), "over rfc2217")
        << said.toStdString() << QString::fromLocal8Bit(server.readAll()).toStdString();

    server.terminate();
    EXPECT_TRUE(server.waitForFinished(kPatienceMs));
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Finish(), 0);
    EXPECT_FALSE(QFileInfo(path).isSymLink());
}

TEST_F(BridgeProgram, LogAppendsTheTrafficLinesAndRefusesAnythingButARegularFile)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString log = folder.filePath("traffic.log");
    // Made by the first run, appended to by the second.
    QString to, from;
    for (const std::string word : {"ping\r\n", "pong"}) {
        SCOPED_TRACE(word);
        BridgeRun bridge({"--device", kSimulator, "--port", "logged", "--log", log},
                         RuntimeDir.path());
        const QString path = bridge.WaitForPath();
        ASSERT_FALSE(path.isEmpty()) << bridge.Err().toStdString();
        PortClient client(path);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(client.Write(word));
        ASSERT_TRUE(client.Receive(word)) << client.Received;
        // Ended at once: what the last tick had not written yet is written at the end.
        bridge.Signal(SIGTERM);
        EXPECT_EQ(bridge.Finish(), 0) << bridge.Err().toStdString();
    }
    EXPECT_EQ(QFileInfo(log).permissions() &
                  ~(QFile::ReadUser | QFile::WriteUser | QFile::ReadOwner | QFile::WriteOwner),
              0);
    QFile written(log);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(written.readAll());
    // Each run begins with its line, then the bytes each way in order, however the ticks broke
    // them into lines.
    const QStringList runs = LoggedRuns(text, to, from);
    EXPECT_EQ(runs.size(), 2) << text.toStdString();
    for (const QString &run : runs)
        EXPECT_TRUE(run.startsWith("velmor-bridge " VELMOR_VERSION "; driver library ") &&
                    run.endsWith("; device 'SSC Simulator'; port " +
                                 RuntimeDir.filePath("velmor-debug/logged")))
            << run.toStdString();
    EXPECT_EQ(to, " 70 69 6e 67 0d 0a 70 6f 6e 67");
    EXPECT_EQ(from, " 70 69 6e 67 0d 0a 70 6f 6e 67");

    // Refused before the bridge starts, in one line, and left as they were: a link is not
    // followed, a FIFO not waited on.
    const QString target = folder.filePath("target.log");
    {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("kept\n");
    }
    const QString link = folder.filePath("link.log");
    const QString dangling = folder.filePath("dangling.log");
    const QString fifo = folder.filePath("fifo.log");
    // The user's own, but the group may write it too; and one of another user, where the test
    // may give it away (as root).
    const QString shared = folder.filePath("shared.log");
    const QString others = folder.filePath("others.log");
    for (const QString &made : {shared, others}) {
        ASSERT_TRUE(QFile::copy(target, made));
        ASSERT_EQ(::chmod(QFile::encodeName(made).constData(), 0620), 0);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(others).constData(), 0600), 0);
    const uid_t otherUser = ::geteuid() + 1;
    const bool givenAway = ::chown(QFile::encodeName(others).constData(), otherUser, -1) == 0;
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_TRUE(QFile::link(folder.filePath("nothing.log"), dangling));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QString File;
        QString Said;
    } refused[] = {
        {link, link + " is a symbolic link, not a regular file"},
        {dangling, dangling + " is a symbolic link, not a regular file"},
        {fifo, fifo + " is a FIFO, not a regular file"},
        {folder.path(), folder.path() + " is a folder, not a regular file"},
        {shared, shared + " may be written by its group or others (mode 0620); only a file that "
                          "you alone may write is appended to"},
        {others, QStringLiteral("%1 belongs to another user (uid %2); only a file of your own is "
                                "appended to")
                     .arg(others)
                     .arg(otherUser)},
    };
    for (const auto &file : refused) {
        SCOPED_TRACE(file.File.toStdString());
        if (file.File == others && !givenAway)
            continue;
        QString out, err;
        EXPECT_EQ(Run({"--device", kSimulator, "--log", file.File}, out, err), 2);
        EXPECT_TRUE(out.isEmpty());
        EXPECT_EQ(err, "velmor-bridge: --log refused: " + file.Said + "\n");
        EXPECT_TRUE(PortFolder().isEmpty());
    }
    // Nothing to log, or nowhere given: bad usage, nothing made.
    const QString unmade = folder.filePath("unmade.log");
    for (const QStringList &arguments :
         {QStringList{"--list", "--log", unmade}, QStringList{"--device", kSimulator, "--log", ""},
          QStringList{"--device", kSimulator, "--log"}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        QString out, err;
        EXPECT_EQ(Run(arguments, out, err), 2);
        EXPECT_TRUE(err.startsWith("velmor-bridge: ")) << err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(unmade));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(folder.filePath("nothing.log")));
    for (const QString &left : {target, shared, others}) {
        QFile kept(left);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "kept\n") << left.toStdString();
    }
}

// logrotate's ways with a log: moved away (the bridge makes the next), moved away with a new
// file made for it, deleted, or SIGUSR1 from its postrotate. Each time stderr says so, and the
// lines go on in the file at the path, which begins with the run's line when it is a new file.
TEST_F(BridgeProgram, TheLogIsOpenedAgainWhenMovedAwayOrDeletedAndOnSigusr1)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString log = folder.filePath("traffic.log");
    const QByteArray name = QFile::encodeName(log);
    BridgeRun bridge({"--device", kSimulator, "--port", "rotated", "--log", log},
                     RuntimeDir.path());
    const QString path = bridge.WaitForPath();
    ASSERT_FALSE(path.isEmpty()) << bridge.Err().toStdString();
    PortClient client(path);
    ASSERT_TRUE(client.IsOpen());
    QString err;
    const QString moved = QStringLiteral("the traffic log %1 was moved away, deleted or replaced; "
                                         "the lines go on in the file now there")
                              .arg(log);
    const QString reopened = QStringLiteral("the traffic log %1 was opened again").arg(log);
    const struct {
        const char *Name;
        std::function<void()> Act;
        // What stderr says; either, where a signal and the watch race.
        QStringList Said;
        bool NewFile;
    } steps[] = {
        {"moved away",
         [&] { ::rename(name.constData(), (name + ".1").constData()); },
         {moved},
         true},
        {"moved away, a new file made, SIGUSR1",
         [&] {
             ::rename(name.constData(), (name + ".2").constData());
             ::close(::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
             bridge.Signal(SIGUSR1);
         },
         {moved, reopened},
         true},
        {"deleted", [&] { ::unlink(name.constData()); }, {moved}, true},
        {"SIGUSR1 alone", [&] { bridge.Signal(SIGUSR1); }, {reopened}, false},
    };
    auto logged = [&](const std::string &Word) {
        QString to, from;
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        // Whole lines only: a line may be half written as it is read.
        const QString text = QString::fromLatin1(file.readAll());
        LoggedRuns(text.left(text.lastIndexOf('\n') + 1), to, from);
        return to.contains(QString::fromLatin1(QByteArray::fromStdString(Word).toHex(' ')));
    };
    int step = 0;
    for (const auto &test : steps) {
        SCOPED_TRACE(test.Name);
        const std::string before = "before " + std::to_string(step);
        const std::string after = "after " + std::to_string(step++);
        ASSERT_TRUE(client.Write(before));
        ASSERT_TRUE(client.Receive(before));
        ASSERT_TRUE(test::WaitUntil([&] { return logged(before); }));
        const qsizetype said = err.size();
        test.Act();
        ASSERT_TRUE(test::WaitUntil([&] {
            err += bridge.Err();
            return std::any_of(test.Said.begin(), test.Said.end(),
                               [&](const QString &Said) { return err.indexOf(Said, said) >= 0; });
        })) << err.toStdString();
        ASSERT_TRUE(client.Write(after));
        ASSERT_TRUE(client.Receive(after));
        ASSERT_TRUE(test::WaitUntil([&] { return logged(after); })) << err.toStdString();
        EXPECT_EQ(logged(before), !test.NewFile);
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString to, from;
        // One run's line: its own at the head of a new file, none more in the same file.
        EXPECT_EQ(LoggedRuns(QString::fromLatin1(file.readAll()), to, from).size(), 1);
    }
    // What was written before each move stayed in the file moved away.
    QFile first(log + ".1");
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    QString to, from;
    LoggedRuns(QString::fromLatin1(first.readAll()), to, from);
    EXPECT_TRUE(to.contains(QString::fromLatin1(QByteArray("before 0").toHex(' '))));
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Finish(), 0);
    err += bridge.Err();
    ExpectTimestamped(err);
}

// Under systemd stderr is the journal, and JOURNAL_STREAM names its device and inode: then each
// line begins with its priority and carries no time, which the journal adds. With the variable
// naming another file, or unset, the lines are as always. A file plays the journal's stream.
TEST_F(BridgeProgram, StderrLinesCarryTheirPriorityWhenStderrIsTheJournal)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString stream = folder.filePath("stream");
    const QString other = folder.filePath("other");
    auto identity = [](const QString &File) {
        EXPECT_TRUE(QFile(File).open(QIODevice::WriteOnly));
        struct stat found = {};
        EXPECT_EQ(::stat(QFile::encodeName(File).constData(), &found), 0);
        return QStringLiteral("%1:%2").arg(found.st_dev).arg(found.st_ino);
    };
    const QString journal = identity(stream);
    const QString elsewhere = identity(other);
    static const QRegularExpression prioritised(QStringLiteral("^<([3467])>(\\S.*)$"));
    for (const QString &variable : {journal, elsewhere, QString()}) {
        SCOPED_TRACE(variable.toStdString());
        const bool toJournal = variable == journal;
        const BridgeRun::TPrepare prepare = [&](QProcessEnvironment &Environment,
                                                QProcess &Process) {
            Environment.remove("JOURNAL_STREAM");
            if (!variable.isEmpty())
                Environment.insert("JOURNAL_STREAM", variable);
            Process.setStandardErrorFile(stream);
        };
        // A run's lines as "priority text", or as they are off the journal, where they are
        // timestamped unless they are about the usage.
        auto lines = [&](bool Usage = false) {
            QFile file(stream);
            EXPECT_TRUE(file.open(QIODevice::ReadOnly));
            const QString text = QString::fromLocal8Bit(file.readAll());
            if (!toJournal) {
                if (!Usage)
                    ExpectTimestamped(text);
                EXPECT_FALSE(text.contains(QRegularExpression(
                    QStringLiteral("^<\\d>"), QRegularExpression::MultilineOption)));
                return text;
            }
            QString shown;
            for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
                const QRegularExpressionMatch match = prioritised.match(line);
                EXPECT_TRUE(match.hasMatch()) << line.toStdString();
                shown += match.captured(1) + ' ' + match.captured(2) + '\n';
            }
            return shown;
        };
        // An error that ends it, and bad usage.
        for (const QStringList &arguments :
             {QStringList{"--device", "SSC Simulatr"}, QStringList{"--frobnicate"}}) {
            BridgeRun failing(arguments, RuntimeDir.path(), QStringLiteral(VELMOR_BRIDGE),
                              QString(), prepare);
            EXPECT_NE(failing.Finish().value_or(0), 0);
            const bool usage = arguments.size() == 1;
            const QString said = '\n' + lines(usage);
            if (toJournal) {
                EXPECT_TRUE(usage ? said.contains("\n3 velmor-bridge: unknown argument "
                                                  "'--frobnicate'\n3 Try 'velmor-bridge --help'.\n")
                                  : said.contains("\n3 No device described 'SSC Simulatr'"))
                    << said.toStdString();
            }
        }
        // States, the handshake's steps, and what a stop with no closing wait drops: a program
        // still holds the port with bytes not yet sent.
        BridgeRun bridge(
            {"--device", kSimulator, "--port", "journal", "--verbose", "--closing-wait", "0"},
            RuntimeDir.path(), QStringLiteral(VELMOR_BRIDGE), QString(), prepare);
        const QString path = bridge.WaitForPath();
        ASSERT_FALSE(path.isEmpty()) << lines().toStdString();
        PortClient client(path);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(client.Write("ping"));
        ASSERT_TRUE(client.Receive("ping"));
        ASSERT_TRUE(client.Write(std::string(300, 'x')));
        bridge.Signal(SIGTERM);
        EXPECT_EQ(bridge.Finish(), 0);
        const QString said = '\n' + lines();
        if (toJournal) {
            for (const char *expected :
                 {"\n6 link: bridging\n", "\n7 link: SYNCH ---> ",
                  "\n4 stopped: ", "\n6 stopped: port removed, device closed\n"})
                EXPECT_TRUE(said.contains(expected)) << expected << "\n" << said.toStdString();
        } else {
            EXPECT_TRUE(said.contains(" link: bridging\n")) << said.toStdString();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// In process: the simulated device unplugged and plugged in again while an application sends.

namespace
{

// The headless bridge's options for the simulator and a port of this name.
TBridgeOptions SimulatorOptions(const QString &Port)
{
    TBridgeOptions options;
    options.Device = kSimulator;
    options.Port = Port;
    options.Driver = QString::fromStdString(SimLibrary::Path());
    return options;
}

bool AnyContains(const QStringList &Lines, const QString &Text)
{
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const QString &Line) { return Line.contains(Text); });
}

} // namespace

// --wait: a rig starts before its board is plugged in. The port is there at once, what a program
// writes waits in it, and the board is opened when it comes, by description or serial number.
TEST(HeadlessBridge, WaitMakesThePortAtOnceAndBridgesWhenTheDeviceComes)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    for (const bool bySerial : {false, true}) {
        SCOPED_TRACE(bySerial ? "by serial number" : "by description");
        sim.vsim_SetDevices(nullptr, 0);
        TBridgeOptions options = SimulatorOptions(QStringLiteral("waiting"));
        if (bySerial) {
            options.Device.clear();
            options.Serial = QStringLiteral("SIM000");
        }
        QStringList said;
        QStringList out;
        THeadlessBridge early(
            options, [&](const QString &Line) { out << Line; },
            [&](const QString &Line) { said << Line; });
        EXPECT_EQ(early.Start(), bridge::kExitNoDevice) << said.join('\n').toStdString();
        early.Stop();
        EXPECT_TRUE(out.isEmpty());

        options.Wait = true;
        said.clear();
        THeadlessBridge bridge(
            options, [&](const QString &Line) { out << Line; },
            [&](const QString &Line) { said << Line; });
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        const QString path = bridge.PortPath();
        ASSERT_EQ(out, QStringList{path});
        EXPECT_TRUE(AnyContains(said, "waiting for the device")) << said.join('\n').toStdString();
        PortClient client(path);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(client.Write("early"));
        ASSERT_TRUE(test::WaitUntil([&] { return AnyContains(said, "device not there yet: "); }))
            << said.join('\n').toStdString();

        const char *const board[] = {"SSC Simulator"};
        sim.vsim_SetDevices(board, 1);
        EXPECT_TRUE(client.Receive("early")) << said.join('\n').toStdString();
        EXPECT_TRUE(AnyContains(said, "' opened")) << said.join('\n').toStdString();
        EXPECT_FALSE(AnyContains(said, "opened again"));
        EXPECT_EQ(bridge.State().Phase(), TLinkPhase::Bridging);
        bridge.Stop();
        out.clear();
    }
}

TEST(HeadlessBridge, ADeviceLostIsReopenedAndTheApplicationSeesOnlyAPause)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    QStringList said;
    QStringList out;
    const TBridgeOptions options = SimulatorOptions(QStringLiteral("lost"));
    auto saw = [&](const QString &Text) { return AnyContains(said, Text); };
    {
        THeadlessBridge bridge(
            options, [&](const QString &Line) { out << Line; },
            [&](const QString &Line) { said << Line; });
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        const QString path = bridge.PortPath();
        ASSERT_EQ(out, QStringList{path});

        PortClient client(path);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(client.Write("before"));
        ASSERT_TRUE(client.Receive("before"));

        sim.vsim_SetUnplugged(1);
        ASSERT_TRUE(test::WaitUntil([&] { return saw("device lost; reopening in 0.5 s"); }))
            << said.join('\n').toStdString();
        // It keeps trying, and the port stays where it was meanwhile.
        ASSERT_TRUE(test::WaitUntil([&] { return saw("device not back yet: "); }));
        EXPECT_TRUE(QFileInfo(path).isSymLink());
        ASSERT_TRUE(client.Write("during"));

        sim.vsim_SetUnplugged(0);
        EXPECT_TRUE(client.Receive("during")) << client.Received;
        EXPECT_TRUE(saw("device 'SSC Simulator' opened again"));
        ASSERT_TRUE(client.Write("after"));
        EXPECT_TRUE(client.Receive("after"));
        EXPECT_EQ(client.Received, "beforeduringafter");
        EXPECT_EQ(bridge.State().Phase(), TLinkPhase::Bridging);

        bridge.Stop();
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_EQ(sim.vsim_OpenCount(), 0);
    }
    d2xx::SetLibraryFile("");
}

TEST(HeadlessBridge, SerialChoosesTheBoardAndADescriptionWhoseFirstBoardIsTakenSaysHowToChoose)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    const char *const twins[] = {"SSC Simulator", "SSC Simulator"};
    sim.vsim_SetDevices(twins, 2);
    QStringList said;
    auto say = [&](const QString &Line) { said << Line; };
    auto open = [&](const char *Serial) {
        d2xx::FT_HANDLE handle = nullptr;
        const d2xx::FT_STATUS status =
            sim.FT_OpenEx(const_cast<char *>(Serial), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle);
        if (status == d2xx::FT_OK)
            sim.FT_Close(handle);
        return status;
    };
    {
        // --serial SIM001: the second board is taken, the first left free.
        TBridgeOptions options = SimulatorOptions(QStringLiteral("bySerial"));
        options.Device.clear();
        options.Serial = QStringLiteral("SIM001");
        THeadlessBridge bridge(
            options, [](const QString &) {}, say);
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        EXPECT_EQ(open("SIM001"), d2xx::FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(open("SIM000"), d2xx::FT_OK);
        EXPECT_EQ(bridge.State().Description(), "SSC Simulator");

        // --device alone meanwhile: its first board is the free one.
        THeadlessBridge other(
            SimulatorOptions(QStringLiteral("byDescription")), [](const QString &) {}, say);
        ASSERT_EQ(other.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        EXPECT_EQ(open("SIM000"), d2xx::FT_DEVICE_NOT_OPENED);

        // A third by description finds its first board taken, and is told of the serial numbers.
        said.clear();
        THeadlessBridge third(
            SimulatorOptions(QStringLiteral("third")), [](const QString &) {}, say);
        EXPECT_EQ(third.Start(), bridge::kExitNoDevice);
        EXPECT_TRUE(AnyContains(said, "(serial numbers SIM000, SIM001); this link could not "
                                      "open the first listed. To choose one by its serial "
                                      "number: velmor-bridge --serial SERIAL"))
            << said.join('\n').toStdString();
    }
    EXPECT_EQ(sim.vsim_OpenCount(), 0);
    d2xx::SetLibraryFile("");
}

TEST(HeadlessBridge, ABoardThatCannotBeReadIsListedAsNotOpenableWithItsReason)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    const char *const boards[] = {"SSC Simulator", "Dual RS232-HS A"};
    sim.vsim_SetDevices(boards, 2);
    sim.vsim_SetUnreadable(1, "no permission: udev rule 70-velmor-ssc.rules");
    auto list = [](bool Json) {
        TBridgeOptions options = SimulatorOptions(QString());
        options.Mode = TBridgeOptions::TMode::List;
        options.Json = Json;
        QStringList out;
        THeadlessBridge bridge(
            options, [&](const QString &Line) { out << Line; }, [](const QString &) {});
        EXPECT_EQ(bridge.List(), bridge::kExitStopped);
        return out;
    };
    EXPECT_EQ(list(false),
              QStringList({"SSC Simulator    SIM000  0x11  openable",
                           "Dual RS232-HS A  -       0x12  not openable: no permission: udev rule "
                           "70-velmor-ssc.rules"}));
    const QJsonArray devices = QJsonDocument::fromJson(list(true).join('\n').toUtf8()).array();
    ASSERT_EQ(devices.size(), 2);
    const QJsonObject unreadable = devices[1].toObject();
    EXPECT_EQ(unreadable["description"].toString(), "Dual RS232-HS A");
    EXPECT_EQ(unreadable["serial"].toString(), "");
    EXPECT_FALSE(unreadable["openable"].toBool());
    EXPECT_EQ(unreadable["reason"].toString(), "no permission: udev rule 70-velmor-ssc.rules");
    EXPECT_TRUE(devices[0].toObject()["openable"].toBool());
    d2xx::SetLibraryFile("");
}

// --check on a board the driver cannot read: it is not opened, and the next step is the udev rule
// where the package puts it.
TEST(HeadlessBridge, CheckOnABoardThatCannotBeReadNamesTheUdevRuleToInstall)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    const char *const boards[] = {"Dual RS232-HS A"};
    sim.vsim_SetDevices(boards, 1);
    sim.vsim_SetUnreadable(0, "no permission: udev rule 70-velmor-ssc.rules");
    TBridgeOptions options = SimulatorOptions(QString());
    options.Device = QStringLiteral("Dual RS232-HS A");
    options.Mode = TBridgeOptions::TMode::Check;
    QStringList out;
    EXPECT_EQ(TBoardCheck(options, [&](const QString &Line) { out << Line; }).Run(),
              bridge::kExitCheckFailed);
    EXPECT_EQ(sim.vsim_OpenCount(), 0);
    ASSERT_EQ(out.size(), 4) << out.join('\n').toStdString();
    EXPECT_EQ(out[2], "opens: no: no permission: udev rule 70-velmor-ssc.rules");
    EXPECT_TRUE(out[3].startsWith("FAIL: cannot open the device: no permission"))
        << out[3].toStdString();
    EXPECT_TRUE(out[3].contains("/doc/velmor-debug/examples/70-velmor-ssc.rules /etc/udev/rules.d/ "
                                "&& sudo udevadm control --reload"))
        << out[3].toStdString();
    d2xx::SetLibraryFile("");
}

TEST(HeadlessBridge, ADeviceThatNeverSynchronisesCostsAboutALineASecond)
{
    SimLibrary sim;
    ASSERT_TRUE(sim.Loaded());
    sim.vsim_SetNoPattern(1);
    // The handshake's chatter is said only when asked for.
    TBridgeOptions options = SimulatorOptions(QStringLiteral("unsynched"));
    options.Verbose = true;
    QStringList said;
    QElapsedTimer clock;
    {
        THeadlessBridge bridge(
            options, [](const QString &) {}, [&](const QString &Line) { said << Line; });
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        clock.start();
        // The handshake's lines, said and repeated, until well over a thousand have come.
        static const QRegularExpression counted(QStringLiteral("(\\d+) lines in all|(\\d+) times"));
        auto repeats = [&] {
            long long sum = 0;
            for (const QString &line : said) {
                const QRegularExpressionMatch match = counted.match(line);
                if (match.hasMatch())
                    sum += (match.captured(1) + match.captured(2)).toLongLong();
            }
            return sum;
        };
        ASSERT_TRUE(test::WaitUntil([&] { return repeats() >= 1500 || said.size() > 1500; }))
            << said.join('\n').toStdString();
        bridge.Stop();
    }
    sim.vsim_SetNoPattern(0);
    d2xx::SetLibraryFile("");
    // The driver library, opened, port ready, stopped; the states it reached and the last;
    // the link's first three texts; then a note a second at most.
    const qint64 seconds = clock.elapsed() / 1000;
    EXPECT_LE(said.size(), 10 + seconds + 1) << said.mid(0, 20).join('\n').toStdString();
}

// A device lost while an application's bytes are on their way: unplugged, or every read failing.
// The bytes whose answers never came back go to the reopened link, said on stderr, so the
// application gets every byte back exactly once, in order.
TEST(HeadlessBridge, ADeviceLostMidTransferIsReopenedAndEveryByteComesBack)
{
    struct TFault {
        const char *Name;
        void (*Set)(SimLibrary &Sim, int On);
        const char *Said;
    };
    const TFault faults[] = {
        {"unplugged", [](SimLibrary &Sim, int On) { Sim.vsim_SetUnplugged(On); },
         "link: Device lost"},
        {"every read failing", [](SimLibrary &Sim, int On) { Sim.vsim_SetReadError(-On); },
         "link: Device lost: FT_Read failed 6 times"},
    };
    for (const TFault &fault : faults) {
        SCOPED_TRACE(fault.Name);
        SimLibrary sim;
        ASSERT_TRUE(sim.Loaded());
        sim.vsim_SetRealTime(1);
        QStringList said;
        const TBridgeOptions options = SimulatorOptions(QStringLiteral("midway"));
        auto saw = [&](const QString &Text) { return AnyContains(said, Text); };
        THeadlessBridge bridge(
            options, [](const QString &) {}, [&](const QString &Line) { said << Line; });
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << said.join('\n').toStdString();
        PortClient client(bridge.PortPath());
        ASSERT_TRUE(client.IsOpen());

        // About half a second of host bytes at the device's pace; the fault comes a few in.
        std::string sent;
        for (int i = 0; i < 100; ++i)
            sent += char('0' + i % 75);
        ASSERT_TRUE(client.Write(sent));
        ASSERT_TRUE(client.Receive(sent.substr(0, 10))) << client.Received;
        fault.Set(sim, 1);
        ASSERT_TRUE(test::WaitUntil([&] { return saw("device lost; reopening in 0.5 s"); }))
            << said.join('\n').toStdString();
        EXPECT_TRUE(saw(fault.Said)) << said.join('\n').toStdString();
        EXPECT_EQ(bridge.State().Phase(), TLinkPhase::DeviceLost);
        // What the device took is counted; what is carried for the next link is not, yet.
        EXPECT_EQ(bridge.State().Traffic().ToDevice + bridge.Bridge().Unsent(), sent.size());
        fault.Set(sim, 0);

        EXPECT_TRUE(client.Receive(sent)) << client.Received;
        EXPECT_TRUE(saw("unanswered bytes to the next link")) << said.join('\n').toStdString();
        ASSERT_TRUE(client.Write("after"));
        EXPECT_TRUE(client.Receive("after"));
        EXPECT_EQ(client.Received, sent + "after");
        EXPECT_EQ(bridge.State().Phase(), TLinkPhase::Bridging);
        // Each byte counted once as taken by the device, however many links carried it.
        EXPECT_EQ(bridge.State().Traffic().ToDevice, sent.size() + 5);
        bridge.Stop();
    }
    d2xx::SetLibraryFile("");
}

int main(int argc, char **argv)
{
    // The port folder of the tests' own.
    QTemporaryDir runtime;
    if (runtime.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
