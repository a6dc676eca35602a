// The port when programs come and go at once, as scripts and test rigs use it: how soon after a
// program's open the link leads to a fresh pseudo-terminal (until then the next program would
// open the same one and find what the first left there), and how many opens fail with EBUSY
// when each follows a short visit that set TIOCEXCL; idle and beside two busy processes. The
// control ticks every 10 ms as the bridge does; the visiting programs are a child process
// without the right to override an exclusive terminal (CAP_SYS_ADMIN), as ordinary users are.
//
//   build/bench/port_bench [visits, default 1000]
//
// The port's folder is made on /dev/shm, a memory file system as a user's runtime folder is.
#include "vport/VSPortLib_TLB.h"

#include "tests/BusyNeighbours.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kMovePatience{2};

std::string LinkTarget(const std::string &Path)
{
    char target[256];
    const ssize_t size = ::readlink(Path.c_str(), target, sizeof(target));
    return size > 0 ? std::string(target, std::size_t(size)) : std::string();
}

double Percentile(std::vector<double> Values, double P)
{
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    return Values[std::min(Values.size() - 1, std::size_t(P * double(Values.size() - 1) + 0.5))];
}

// Whether a thread of this process may run at real-time priority, as the port's watcher asks.
bool RealTimeAllowed()
{
    bool allowed = false;
    std::thread probe([&allowed] {
        sched_param priority{};
        priority.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
        allowed = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
    });
    probe.join();
    return allowed;
}

// The time from a program's open to the link leading elsewhere, in ms, for each visit; and the
// visits' own length (open to close).
void MeasureMoves(const std::string &Path, int Visits, std::vector<double> &Moves,
                  std::vector<double> &Lengths)
{
    for (int visit = 0; visit < Visits; ++visit) {
        const std::string before = LinkTarget(Path);
        const auto opened = Clock::now();
        const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        const auto open = Clock::now();
        ::close(fd);
        Lengths.push_back(std::chrono::duration<double, std::milli>(Clock::now() - opened).count());
        (void)open;
        while (LinkTarget(Path) == before && Clock::now() - opened < kMovePatience)
            std::this_thread::yield();
        Moves.push_back(std::chrono::duration<double, std::milli>(Clock::now() - opened).count());
    }
}

// A visit that sets TIOCEXCL and leaves. EBUSY counts into Busy.
void ExclusiveVisit(const std::string &Path, int &Busy)
{
    const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        Busy += errno == EBUSY;
        return;
    }
    ::ioctl(fd, TIOCEXCL);
    ::close(fd);
}

// In a child without CAP_SYS_ADMIN: Visits times a visit that sets TIOCEXCL and leaves, then at
// once another program's open: in the same process (InProcess, a script's next call), or once
// the visiting process has ended (a script's next program). Returns the opens that failed with
// EBUSY, or -1.
int ExclusiveSuccessors(const std::string &Path, int Visits, bool InProcess)
{
    int result[2];
    if (::pipe(result) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        if (::syscall(SYS_capget, &header, caps) == 0) {
            const unsigned bit = 1u << (CAP_SYS_ADMIN % 32);
            caps[CAP_SYS_ADMIN / 32].effective &= ~bit;
            caps[CAP_SYS_ADMIN / 32].permitted &= ~bit;
            ::syscall(SYS_capset, &header, caps);
        }
        int busy = 0;
        for (int visit = 0; visit < Visits; ++visit) {
            int visitBusy = 0; // the visit's own open is not a successor's
            if (InProcess) {
                ExclusiveVisit(Path, visitBusy);
            } else if (const pid_t visitor = ::fork(); visitor == 0) {
                ExclusiveVisit(Path, visitBusy);
                ::_exit(0);
            } else if (visitor > 0) {
                int status = 0;
                ::waitpid(visitor, &status, 0);
            }
            const int next = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (next < 0)
                busy += errno == EBUSY;
            else
                ::close(next);
        }
        (void)!::write(result[1], &busy, sizeof(busy));
        ::_exit(0);
    }
    ::close(result[1]);
    int busy = -1;
    if (child < 0 || ::read(result[0], &busy, sizeof(busy)) != sizeof(busy))
        busy = -1;
    ::close(result[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return busy;
}

long RssKb()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    long kb = -1;
    char line[256];
    while (status && std::fgets(line, sizeof(line), status))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    if (status)
        std::fclose(status);
    return kb;
}

// Visits programs that each fill their pseudo-terminal and close it: what the port keeps for
// them stays bounded, and the rest is counted.
void ClosingVisits(TVSPortAx &Port, const std::string &Path, int Visits)
{
    const long before = RssKb();
    const std::vector<char> fill(4096, 'c');
    long long written = 0;
    for (int visit = 0; visit < Visits; ++visit) {
        const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        for (ssize_t n; (n = ::write(fd, fill.data(), fill.size())) > 0;)
            written += n;
        ::close(fd);
        Port.PortOpened();
    }
    // The pairs they left are closed once their grace is over.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Port.PortOpened();
    const TPortDrops drops = Port.Drops();
    std::printf("port closing visits: %d visits wrote %lld bytes; kept %lld, dropped %lld beyond "
                "what the port keeps; RSS %ld kB before, %ld kB after\n",
                Visits, written, Port.PendingForDevice(), drops.OverKept, before, RssKb());
    std::fflush(stdout);
}

void Run(const char *Name, const std::string &Path, int Visits)
{
    std::vector<double> moves, lengths;
    MeasureMoves(Path, Visits, moves, lengths);
    const int nextProgram = ExclusiveSuccessors(Path, Visits, false);
    const int sameProgram = ExclusiveSuccessors(Path, Visits, true);
    std::printf("port %s: move p50 %.3f ms p99 %.3f ms max %.3f ms (visit p50 %.3f ms); "
                "EBUSY after a TIOCEXCL visit: next program %d of %d, same program %d of %d\n",
                Name, Percentile(moves, 0.5), Percentile(moves, 0.99), Percentile(moves, 1.0),
                Percentile(lengths, 0.5), nextProgram, Visits, sameProgram, Visits);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    const int visits = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    // On a memory file system, as a user's runtime folder (/run/user/UID) is: on a disk's the
    // link's move costs a journal's time more.
    char folder[] = "/dev/shm/velmor-port-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        std::perror("port_bench: a folder for the port");
        return 1;
    }
    ::setenv("XDG_RUNTIME_DIR", folder, 1);
    int status = 0;
    {
        TVSPortAx port;
        if (!port.CreatePort(QStringLiteral("bench"))) {
            std::fprintf(stderr, "port_bench: %s\n", port.LastError().toLocal8Bit().constData());
            return 1;
        }
        const std::string path = QFile::encodeName(port.PortPath()).toStdString();
        std::atomic<bool> stop{false};
        std::thread ticker([&] {
            while (!stop) {
                port.PortOpened();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        std::printf("port watcher: %s\n", RealTimeAllowed()
                                              ? "real-time priority (SCHED_FIFO)"
                                              : "ordinary priority (real-time not allowed here)");
        Run("idle", path, visits);
        {
            const test::TBusyNeighbours busy(2);
            Run("loaded", path, visits);
        }
        stop = true;
        ticker.join();
        ClosingVisits(port, path, 3 * visits);
        status = port.Delete() ? 0 : 1;
    }
    ::rmdir((std::string(folder) + "/velmor-debug").c_str());
    ::rmdir(folder);
    return status;
}
