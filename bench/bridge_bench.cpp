// The whole bridge: the program's own window and timer, a real pty opened by a client thread as
// a serial program would, and the simulated device in real time at its 1 MHz clock. Prints the
// throughput each way against the protocol's ceiling, the echo time of single bytes, the CPU the
// program uses, and how long Setup, Reset and closing the window take to retire a link.
//
//   build/bench/bridge_bench [seconds per direction, default 10] [echo samples, default 200]
//   BRIDGE_BENCH_TX_HIDDEN=1: the driver reports no transmit count, as a driver over libftdi1
#include "app/Vrtualssc.h"
#include "device/D2xx.h"
#include "device/Tsscclass.h"
#include "dialogs/Setup.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "sim/SimLibrary.h"
#include "tests/SetupDriver.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace
{

using namespace std::chrono;
using Clock = steady_clock;

constexpr double kFrameMs = 4096 * 8 / 1000.0; // 32.768 ms at 1 MHz
constexpr double kToDeviceCeiling = (4096.0 / 600.0) / (kFrameMs / 1000);
constexpr double kFromDeviceCeiling = 2048.0 / (kFrameMs / 1000);

double ProcessCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu(pthread_t thread)
{
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &now) != 0)
        return 0;
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Runs an event loop for a while, as the program's own would: asleep between events.
void Run(milliseconds span)
{
    QEventLoop loop;
    QTimer::singleShot(span, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop as the program's own does, until done() or patience is over. A loop of
// processEvents and short sleeps would make every tick up to a millisecond late and show an
// echo the program does not have.
template <typename T> void RunUntil(T done, milliseconds patience = milliseconds(30000))
{
    if (done())
        return;
    const auto end = Clock::now() + patience;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || Clock::now() >= end)
            loop.quit();
    });
    check.start(20);
    loop.exec();
}

int OpenPort()
{
    const QByteArray path =
        SetupForm->SSCLink ? VSSC->PortPanel->VSPortAx->PortPath().toLocal8Bit() : QByteArray();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("open the port");
        std::exit(1);
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

void Setup(const QString &port)
{
    test::RunSetup(port, "SSC Simulator");
    RunUntil([] { return SetupForm->SSCLink && SetupForm->SSCLink->Synched.load(); });
}

struct Direction {
    double rate = 0, fraction = 0, cpu = 0;
};

// A client thread keeps the port full; the program carries it to the (silent) device.
Direction ToDevice(SimLibrary &sim, double seconds)
{
    sim.vsim_SetBehaviour(VSIM_SILENT);
    const int fd = OpenPort();
    std::atomic<bool> stop{false};
    std::thread client([&] {
        std::vector<char> data(4096, 'x');
        while (!stop) {
            if (::write(fd, data.data(), data.size()) < 0) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        }
    });
    Run(milliseconds(1000)); // the pipeline fills
    VsimChipState before{}, after{};
    sim.vsim_GetChipState(&before);
    const double cpu0 = ProcessCpu() - ThreadCpu(client.native_handle());
    const auto start = Clock::now();
    Run(milliseconds(int(seconds * 1000)));
    const double elapsed = duration<double>(Clock::now() - start).count();
    sim.vsim_GetChipState(&after);
    const double cpu = ProcessCpu() - ThreadCpu(client.native_handle()) - cpu0;
    stop = true;
    client.join();
    ::close(fd);
    Run(milliseconds(100));
    const double rate = double(after.hostBytes - before.hostBytes) / elapsed;
    return {rate, rate / kToDeviceCeiling, cpu / elapsed};
}

// The device sends without pause; a client thread reads everything from the port.
Direction FromDevice(SimLibrary &sim, double seconds)
{
    sim.vsim_SetBehaviour(VSIM_COUNTER);
    const int fd = OpenPort();
    std::atomic<bool> stop{false};
    std::atomic<long long> received{0};
    std::thread client([&] {
        std::vector<char> data(65536);
        while (!stop) {
            const ssize_t n = ::read(fd, data.data(), data.size());
            if (n > 0) {
                received += n;
            } else {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 20);
            }
        }
    });
    Run(milliseconds(1000));
    const long long first = received;
    const double cpu0 = ProcessCpu() - ThreadCpu(client.native_handle());
    const auto start = Clock::now();
    Run(milliseconds(int(seconds * 1000)));
    const double elapsed = duration<double>(Clock::now() - start).count();
    const double cpu = ProcessCpu() - ThreadCpu(client.native_handle()) - cpu0;
    const long long moved = received - first;
    stop = true;
    client.join();
    ::close(fd);
    sim.vsim_SetBehaviour(VSIM_ECHO);
    Run(milliseconds(300));
    const double rate = double(moved) / elapsed;
    return {rate, rate / kFromDeviceCeiling, cpu / elapsed};
}

// One byte at a time: from the client's write to the echo read back from the port.
std::vector<double> EchoTimes(SimLibrary &sim, int samples)
{
    sim.vsim_SetBehaviour(VSIM_ECHO);
    const int fd = OpenPort();
    // Whatever the device sent before it turned to echoing is read away first.
    char stale[4096];
    for (int quiet = 0; quiet < 50;) {
        Run(milliseconds(10));
        quiet = ::read(fd, stale, sizeof stale) > 0 ? 0 : quiet + 1;
    }
    std::vector<double> times;
    std::atomic<bool> done{false};
    std::thread client([&] {
        // Each byte starts after a pause drawn afresh, up to two frames long, so that its
        // start falls anywhere in the tick and the frame. A fixed cycle of pauses would not: the
        // last echo came at a tick, and a pattern of pauses against a tick that runs a little
        // over 10 ms samples some of its points far more often than others.
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pauseUs(0, int(2 * kFrameMs * 1000));
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(microseconds(pauseUs(random)));
            const char out = char('a' + i % 26);
            const auto start = Clock::now();
            while (::write(fd, &out, 1) != 1)
                std::this_thread::sleep_for(microseconds(100));
            char in = 0;
            for (;;) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 1000);
                if (::read(fd, &in, 1) == 1)
                    break;
            }
            times.push_back(duration<double, std::milli>(Clock::now() - start).count());
            if (in != out)
                std::fprintf(stderr, "echo %d came back as %d\n", out, in);
        }
        done = true;
    });
    RunUntil([&] { return done.load(); }, milliseconds(600000));
    client.join();
    ::close(fd);
    std::sort(times.begin(), times.end());
    return times;
}

double IdleCpu(double seconds)
{
    const int fd = OpenPort(); // an application holds the port, nothing flows
    Run(milliseconds(500));
    const double cpu0 = ProcessCpu();
    const auto start = Clock::now();
    Run(milliseconds(int(seconds * 1000)));
    const double cpu = ProcessCpu() - cpu0;
    const double elapsed = duration<double>(Clock::now() - start).count();
    ::close(fd);
    return cpu / elapsed;
}

// What a desktop Qt program costs that only ticks: a window and a 10 ms timer doing nothing.
// Measured in this run, before the program's own figures, as their yardstick.
double BareWindowCpu(double seconds)
{
    QWidget window;
    window.resize(305, 240);
    window.show();
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start();
    Run(milliseconds(500));
    const double cpu0 = ProcessCpu();
    const auto start = Clock::now();
    Run(milliseconds(int(seconds * 1000)));
    const double cpu = ProcessCpu() - cpu0;
    return cpu / duration<double>(Clock::now() - start).count();
}

// The echo time the design leaves, for the frame lead the link uses: waiting for the tick that
// reads the port (0..10 ms), for the next frame to be built (0..one frame), the lead, about 1 ms
// until the answer is in the chip's queue, and the tick that writes it to the port (0..10 ms).
// Returns the p50 and p99 of that sum, sampled with a fixed seed.
std::pair<double, double> EchoFloor(double leadMs)
{
    std::mt19937 random(1);
    std::uniform_real_distribution<double> tick(0, 10), frame(0, kFrameMs);
    std::vector<double> sums(100000);
    for (double &sum : sums)
        sum = tick(random) + frame(random) + leadMs + 1 + tick(random);
    std::sort(sums.begin(), sums.end());
    return {sums[sums.size() / 2], sums[sums.size() * 99 / 100]};
}

double Percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const auto index = std::size_t(p * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

double Ms(QElapsedTimer &clock)
{
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 200;

    const double bare = BareWindowCpu(seconds);

    SimLibrary sim;
    d2xx::SetLibraryFile(SimLibrary::Path());
    sim.vsim_SetRealTime(1);
    sim.vsim_SetTxCountHidden(qEnvironmentVariableIsSet("BRIDGE_BENCH_TX_HIDDEN") ? 1 : 0);
    CreateForms();
    Setup("COM8");

    if (qEnvironmentVariableIsSet("BRIDGE_BENCH_IDLE_ONLY")) {
        const double ui0 = ThreadCpu(pthread_self());
        const double idle = IdleCpu(seconds);
        std::printf(
            "idle %.2f %% (%.2f x a bare window's %.2f %%), of which the UI thread %.2f %%\n",
            100 * idle, idle / bare, 100 * bare,
            100 * (ThreadCpu(pthread_self()) - ui0) / (seconds + 0.5));
        return 0;
    }
    const Direction to = ToDevice(sim, seconds);
    const Direction from = FromDevice(sim, seconds);
    const std::vector<double> echo = EchoTimes(sim, samples);
    const double idle = IdleCpu(seconds);

    // Retiring a link that is exchanging frames: Reset, Setup (up to its dialog) and close.
    QElapsedTimer clock;
    std::vector<double> resets;
    for (int i = 0; i < 5; ++i) {
        RunUntil([] { return SetupForm->SSCLink->Synched.load(); });
        Run(milliseconds(200));
        clock.start();
        RetireLink(SetupForm->SSCLink);
        resets.push_back(Ms(clock));
        VSSC->ButtonResetClick();
    }
    RunUntil([] { return SetupForm->SSCLink->Synched.load(); });
    Run(milliseconds(200));
    double setupRetire = 0;
    clock.start();
    test::AnswerSetup(
        [&] {
            setupRetire = Ms(clock); // retire, new link, bind, list: until the dialog is up
            SetupForm->OKButton->click();
        },
        1);
    RunUntil([] { return SetupForm->SSCLink->Synched.load(); });
    Run(milliseconds(200));
    clock.start();
    VSSC->close();
    const double closeRetire = Ms(clock);
    DestroyForms();

    const double leadMs = ssc::kFrameLead * 8 / 1000.0;
    const auto [floor50, floor99] = EchoFloor(leadMs);
    std::printf(
        "Bridge through the program, a pty client and the simulator in real time at 1 MHz\n");
    std::printf("(%.0f s a direction, %d echo samples; frame lead %u bytes = %.1f ms, which "
                "leaves an echo floor of p50 %.1f ms, p99 %.1f ms)\n\n",
                seconds, samples, unsigned(ssc::kFrameLead), leadMs, floor50, floor99);
    std::printf("| measure | value | target |\n|---|---|---|\n");
    std::printf("| to the device | %.1f B/s = %.3f of %.1f B/s | >= 0.99 |\n", to.rate, to.fraction,
                kToDeviceCeiling);
    std::printf("| from the device | %.0f B/s = %.3f of %.0f B/s | >= 0.99 |\n", from.rate,
                from.fraction, kFromDeviceCeiling);
    std::printf("| echo of one byte, p50 | %.1f ms | <= 32 ms |\n", Percentile(echo, 0.50));
    std::printf("| echo of one byte, p99 | %.1f ms | <= 52 ms |\n", Percentile(echo, 0.99));
    std::printf("| echo of one byte, max | %.1f ms | |\n", echo.empty() ? 0.0 : echo.back());
    std::printf("| CPU bridging to the device | %.2f %% of a core | <= 3 %% |\n", 100 * to.cpu);
    std::printf("| CPU bridging from the device | %.2f %% of a core | <= 3 %% |\n", 100 * from.cpu);
    std::printf("| CPU, a bare Qt window with a 10 ms timer | %.2f %% of a core | (reference) |\n",
                100 * bare);
    std::printf("| CPU idle (link up, port open, no traffic) | %.2f %% of a core = %.2f x the "
                "reference | <= 2 x |\n",
                100 * idle, bare > 0 ? idle / bare : 0.0);
    std::printf("| Reset: retire a link, worst of 5 | %.2f ms | < 50 ms |\n",
                *std::max_element(resets.begin(), resets.end()));
    std::printf("| Setup: retire, rebind and list, until the dialog shows | %.2f ms | < 50 ms |\n",
                setupRetire);
    std::printf("| closing the window | %.2f ms | < 50 ms |\n", closeRetire);
    return 0;
}
