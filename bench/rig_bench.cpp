// Rigs: what velmor-bridge processes cost and how fast they go when several run at once, one per
// board or channel, as a test rig runs them. Emulated chips in this process (usbemu, beneath the
// program's own libftd2xx-ftdi1.so, Debian's libftdi1 and libusb-1.0, through umockdev's preload,
// which serves the children's ioctls from here); each bridge a real velmor-bridge child.
//
//   build/bench/rig_bench [seconds, default 10] [boards, default 8]
//
// Prints, one line each:
//   rig idle simulator: CPU of one bridge 1.60 % of a core
//   rig alone ft2232h A: to 0.998 from 0.997, echo p99 40.1 ms
//   rig channels ft2232h: A to 0.998 from 0.997, echo p99 41.0 ms; B to ... (at once)
//   rig channels ft4232h: ...
//   rig boards 8 idle: CPU per bridge mean 0.21 % max 0.25 % of a core, all 1.7 %; emulator 3.1 %
//   rig boards 8 bridging: to min 0.991 from min 0.990, echo p99 max 52.0 ms = 1.30 x alone;
//       CPU per bridge 4.1 % of a core, all 33 %; emulator 80 %
// "to" and "from" are velmor-bridge --check's pace against the protocol's ceiling (the device's
// echo at full pace, through the link alone, every check of a line at once); "idle" is bridges
// whose device is synchronised and whose port no program holds. The emulator's own CPU is printed
// beside the bridges' because on one machine the two share the cores, which a real rig's chips
// and host controller never do.
#include "bench/BenchPreload.h"
#include "usbemu/ChildPlaces.h"
#include "usbemu/UsbTestbed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

using usbemu::TChipType;
constexpr const char *kChildVariable = "VELMOR_RIG_BENCH_CHILD";
constexpr int kPatienceMs = 60000;

double Seconds(const timeval &Time)
{
    return double(Time.tv_sec) + double(Time.tv_usec) / 1e6;
}

// CPU seconds of this process, or of its children that have ended and been waited for.
double Cpu(int Who)
{
    rusage usage{};
    ::getrusage(Who, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// CPU seconds of a running process, from /proc; -1 when it cannot be read.
double ProcessCpu(qint64 Pid)
{
    FILE *stat = std::fopen(("/proc/" + std::to_string(Pid) + "/stat").c_str(), "r");
    if (!stat)
        return -1;
    char text[1024] = {};
    const std::size_t got = std::fread(text, 1, sizeof(text) - 1, stat);
    std::fclose(stat);
    // The fields after the command's closing parenthesis; utime and stime are the 12th and 13th.
    const char *after = std::strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!got || !after ||
        std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2)
        return -1;
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
}

QString Channel(TChipType Type, char Letter)
{
    return QString::fromLatin1(usbemu::Model(Type).Product) + ' ' + QLatin1Char(Letter);
}

std::unique_ptr<QProcess> Bridge(const QStringList &Arguments, const QString &RuntimeDir,
                                 const QString &Driver = QStringLiteral(VELMOR_BENCH_FTDI1_DRIVER))
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), RuntimeDir);
    environment.remove(QString::fromLatin1(kChildVariable));
    process->setProcessEnvironment(environment);
    // Each child's descriptors from a place of its own (usbemu/ChildPlaces.h).
    std::vector<std::string> command{VELMOR_BENCH_BRIDGE, "--driver", Driver.toStdString()};
    for (const QString &argument : Arguments)
        command.push_back(argument.toStdString());
    QStringList apart;
    for (const std::string &word : usbemu::CommandApart(command))
        apart << QString::fromStdString(word);
    process->start(apart.takeFirst(), apart);
    return process;
}

// One --check's figures.
struct TCheck {
    bool Ran = false;
    // It came as far as measuring.
    bool Measured = false;
    double To = 0;
    double From = 0;
    double EchoP99 = 0;
    QString Verdict;
};

// --check on each device at once, for Seconds; their figures in that order. Retried counts the
// checks started again because they did not come as far as measuring (the driver could not
// start, say), each while the others still measure.
std::vector<TCheck> CheckAtOnce(const QStringList &Devices, bool BySerial, int Seconds,
                                const QString &RuntimeDir, int &Retried)
{
    const auto start = [&](const QString &Device) {
        return Bridge({"--check", "--json", "--check-seconds", QString::number(Seconds),
                       BySerial ? "--serial" : "--device", Device},
                      RuntimeDir);
    };
    const auto figures = [](QProcess &Check) {
        TCheck figure;
        const QJsonObject report = QJsonDocument::fromJson(Check.readAllStandardOutput()).object();
        const QJsonObject measured = report[QStringLiteral("measured")].toObject();
        figure.Ran = report[QStringLiteral("passed")].toBool();
        figure.Measured = report.contains(QStringLiteral("measured"));
        figure.To = measured[QStringLiteral("to_fraction")].toDouble();
        figure.From = measured[QStringLiteral("from_fraction")].toDouble();
        figure.EchoP99 = measured[QStringLiteral("echo_p99_ms")].toDouble();
        figure.Verdict = report[QStringLiteral("verdict")].toString();
        return figure;
    };
    // Started a little apart, a quarter of the run spread over them, as a rig's units start.
    const auto apart = std::chrono::milliseconds(Seconds * 250 / int(Devices.size()));
    std::vector<std::unique_ptr<QProcess>> checks;
    for (const QString &device : Devices) {
        if (!checks.empty())
            QThread::msleep(unsigned(apart.count()));
        checks.push_back(start(device));
    }
    std::vector<TCheck> result(checks.size());
    std::vector<bool> done(checks.size(), false);
    QElapsedTimer clock;
    clock.start();
    for (std::size_t left = checks.size(); left > 0 && clock.elapsed() < kPatienceMs;) {
        QThread::msleep(20);
        QCoreApplication::processEvents();
        for (std::size_t index = 0; index < checks.size(); ++index) {
            if (done[index] || checks[index]->state() != QProcess::NotRunning)
                continue;
            checks[index]->waitForFinished();
            result[index] = figures(*checks[index]);
            if (!result[index].Measured && Retried < 3 * int(checks.size())) {
                ++Retried;
                checks[index] = start(Devices[int(index)]);
                continue;
            }
            done[index] = true;
            --left;
        }
    }
    for (std::size_t index = 0; index < checks.size(); ++index) {
        if (done[index])
            continue;
        checks[index]->kill();
        checks[index]->waitForFinished();
        result[index].Verdict = QStringLiteral("did not end");
    }
    return result;
}

std::string Figures(const TCheck &Check)
{
    if (!Check.Ran)
        return "failed (" + Check.Verdict.toStdString() + ")";
    char text[128];
    std::snprintf(text, sizeof(text), "to %.3f from %.3f, echo p99 %.1f ms", Check.To, Check.From,
                  Check.EchoP99);
    return text;
}

// Until every bridge has said Text on stderr, or Patience is over; false then.
bool AllSaid(std::vector<std::unique_ptr<QProcess>> &Bridges, const QByteArray &Text,
             std::vector<QByteArray> &Said)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        bool all = true;
        for (std::size_t index = 0; index < Bridges.size(); ++index) {
            Said[index] += Bridges[index]->readAllStandardError();
            all = all && Said[index].contains(Text);
        }
        if (all)
            return true;
        if (clock.elapsed() > kPatienceMs)
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
}

// Each running bridge's CPU over Seconds, as a percentage of one core.
std::vector<double> IdleShares(const std::vector<std::unique_ptr<QProcess>> &Bridges, int Seconds)
{
    std::vector<double> before;
    for (const std::unique_ptr<QProcess> &bridge : Bridges)
        before.push_back(ProcessCpu(bridge->processId()));
    QElapsedTimer wall;
    wall.start();
    QThread::msleep(unsigned(Seconds) * 1000);
    std::vector<double> shares;
    for (std::size_t index = 0; index < Bridges.size(); ++index)
        shares.push_back((ProcessCpu(Bridges[index]->processId()) - before[index]) * 100.0 /
                         (double(wall.elapsed()) / 1000));
    return shares;
}

void Stop(std::vector<std::unique_ptr<QProcess>> &Bridges)
{
    for (const std::unique_ptr<QProcess> &bridge : Bridges) {
        ::kill(pid_t(bridge->processId()), SIGTERM);
        bridge->waitForFinished(kPatienceMs);
    }
}

int Measure(int Seconds, int Boards)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    usbemu::TUsbTestbed testbed;
    if (!testbed.InMockEnvironment()) {
        std::printf("rig: failed (not under umockdev's preload)\n");
        return 1;
    }
    QTemporaryDir runtime;
    std::vector<std::shared_ptr<usbemu::TFtdiChip>> chips;
    int retried = 0;

    // The program's own cost, idle: one bridge on the simulated device, which costs nothing to
    // reach.
    {
        std::vector<std::unique_ptr<QProcess>> alone;
        alone.push_back(Bridge({"--device", "SSC Simulator", "--port", "sim"}, runtime.path(),
                               QStringLiteral(VELMOR_SIM_PATH)));
        std::vector<QByteArray> said(1);
        if (AllSaid(alone, "link: bridging", said)) {
            const double share = IdleShares(alone, Seconds).front();
            std::printf("rig idle simulator: CPU of one bridge %.2f %% of a core\n", share);
        } else {
            std::printf("rig idle simulator: failed (%s)\n", said.front().constData());
        }
        Stop(alone);
    }

    // One channel alone, then both channels of one chip at once.
    for (const TChipType type : {TChipType::FT2232H, TChipType::FT4232H}) {
        chips.push_back(testbed.AddChip(type));
        const std::string name = type == TChipType::FT2232H ? "ft2232h" : "ft4232h";
        const TCheck alone =
            CheckAtOnce({Channel(type, 'A')}, false, Seconds, runtime.path(), retried).front();
        std::printf("rig alone %s A: %s\n", name.c_str(), Figures(alone).c_str());
        const std::vector<TCheck> both = CheckAtOnce({Channel(type, 'A'), Channel(type, 'B')},
                                                     false, Seconds, runtime.path(), retried);
        std::printf("rig channels %s: A %s; B %s (at once)\n", name.c_str(),
                    Figures(both[0]).c_str(), Figures(both[1]).c_str());
        std::fflush(stdout);
    }

    // Boards boards, each an FT2232H with a serial number of its own, each bridged on channel A.
    // A channel's serial number is the chip's with the channel's letter, as FTDI's library lists
    // it.
    QStringList serials;
    for (int board = 0; board < Boards; ++board) {
        const std::string serial = "RIG" + std::to_string(board + 1);
        chips.push_back(testbed.AddChip(TChipType::FT2232H, serial));
        serials << QString::fromStdString(serial + "A");
    }
    const TCheck alone =
        CheckAtOnce({serials.front()}, true, Seconds, runtime.path(), retried).front();

    // Idle: every device synchronised, no program on any port.
    std::vector<std::unique_ptr<QProcess>> bridges;
    for (int board = 0; board < Boards; ++board)
        bridges.push_back(Bridge({"--serial", serials[board], "--port", serials[board], "--wait"},
                                 runtime.path()));
    std::vector<QByteArray> said(bridges.size());
    if (!AllSaid(bridges, "link: bridging", said)) {
        std::printf("rig boards %d idle: failed (not every bridge was bridging)\n", Boards);
        for (std::size_t index = 0; index < said.size(); ++index)
            if (!said[index].contains("link: bridging"))
                std::printf("  %s: %s\n", qPrintable(serials[int(index)]), said[index].constData());
        return 1;
    }
    const double emulatorBefore = Cpu(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    const std::vector<double> idle = IdleShares(bridges, Seconds);
    const double emulatorIdle =
        (Cpu(RUSAGE_SELF) - emulatorBefore) * 100.0 / (double(wall.elapsed()) / 1000);
    Stop(bridges);
    double idleAll = 0;
    for (const double share : idle)
        idleAll += share;
    std::printf("rig boards %d idle: CPU per bridge mean %.2f %% max %.2f %% of a core, all %.2f "
                "%%; emulator %.1f %%\n",
                Boards, idleAll / Boards, *std::max_element(idle.begin(), idle.end()), idleAll,
                emulatorIdle);
    std::fflush(stdout);

    // Bridging: every board checked at once, at full pace.
    const double childrenBefore = Cpu(RUSAGE_CHILDREN);
    const double selfBefore = Cpu(RUSAGE_SELF);
    wall.restart();
    const std::vector<TCheck> all = CheckAtOnce(serials, true, Seconds, runtime.path(), retried);
    const double span = double(wall.elapsed()) / 1000;
    const double busyAll = (Cpu(RUSAGE_CHILDREN) - childrenBefore) * 100.0 / span;
    const double emulatorBusy = (Cpu(RUSAGE_SELF) - selfBefore) * 100.0 / span;
    double to = 1e9, from = 1e9, p99 = 0;
    int failed = 0;
    for (const TCheck &check : all) {
        failed += check.Ran ? 0 : 1;
        to = std::min(to, check.To);
        from = std::min(from, check.From);
        p99 = std::max(p99, check.EchoP99);
    }
    if (failed || !alone.Ran) {
        std::printf("rig boards %d bridging: failed (%d of %d checks did not pass; alone %s)\n",
                    Boards, failed, Boards, Figures(alone).c_str());
        for (std::size_t index = 0; index < all.size(); ++index)
            if (!all[index].Ran)
                std::printf("  %s: %s\n", qPrintable(serials[int(index)]),
                            qPrintable(all[index].Verdict));
        return 1;
    }
    std::printf("rig boards %d bridging: to min %.3f from min %.3f, echo p99 max %.1f ms = %.2f x "
                "alone (%s); CPU per bridge %.2f %% of a core, all %.1f %%; emulator %.1f %%\n",
                Boards, to, from, p99, p99 / alone.EchoP99, Figures(alone).c_str(),
                busyAll / Boards, busyAll, emulatorBusy);
    std::printf("rig checks started again: %d\n", retried);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int boards = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 15) : 8;
    if (qEnvironmentVariableIsSet(kChildVariable))
        return Measure(seconds, boards);
    // umockdev's preload has to be in a process from its start: the measuring is done by a child
    // started with it.
    QProcess child;
    const QProcessEnvironment environment = bench::UnderPreload(kChildVariable);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), application.arguments().mid(1));
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit)
        return 1;
    return child.exitCode();
}
