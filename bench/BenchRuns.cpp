#include "bench/BenchRuns.h"

#include "bench/BenchDevice.h"
#include "tests/BusyNeighbours.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>

namespace bench
{

namespace
{

// While the busy processes are being forked: the process that forks them. Each of them is to end
// with it, whatever ends it (a watchdog's _Exit, a crash, a parent's SIGKILL), and never spin on
// alone on the machine.
std::atomic<pid_t> gForkingParent{0};

void EndWithParent()
{
    const pid_t parent = gForkingParent.load();
    if (parent == 0)
        return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) // the parent ended before the line above
        ::_exit(0);
}

// The busy processes beside a loaded run, for as long as the object lives. Made on the thread
// that lives as long as the process (the parent-death signal follows the forking thread).
class TBusyMachine
{
public:
    TBusyMachine()
    {
        static std::once_flag registered;
        std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, EndWithParent); });
        gForkingParent = ::getpid();
        FNeighbours.emplace(kBusyNeighbours);
        gForkingParent = 0;
    }

private:
    std::optional<test::TBusyNeighbours> FNeighbours;
};

void PrintHandshakes(const std::string &Label, const THandshakes &Handshakes)
{
    std::printf("path %s: handshakes %d failed of %d\n", Label.c_str(), Handshakes.Failed,
                Handshakes.Links);
    std::fflush(stdout);
}

void PrintHandshakes(const std::string &Label, const THandshakes &Handshakes,
                     const THandshakes &InARow, bool AllSynchronised, const std::string &Why)
{
    std::printf("path %s: handshakes %d failed of %d, in a row ", Label.c_str(), Handshakes.Failed,
                Handshakes.Links);
    if (AllSynchronised)
        std::printf("%d failed of %d\n", InARow.Failed, InARow.Links);
    else
        std::printf("failed (%s, after %d links with %d failed)\n", Why.c_str(), InARow.Links,
                    InARow.Failed);
    std::fflush(stdout);
}

// Measures one run and prints its figures line; whether it was measured.
bool MeasureRun(TRun &Run, const TMeasure &Measure, THandshakes &Handshakes)
{
    const TRunOutcome outcome = Measure(Run);
    Handshakes = outcome.Handshakes;
    if (outcome.Measured)
        PrintPathLine(Run.Label, outcome.Figures);
    else
        PrintPathFailed(Run.Label, outcome.Why);
    return outcome.Measured;
}

} // namespace

int RunIdleAndLoaded(const std::string &Path, TBenchDevice &Device, std::chrono::seconds Patience,
                     const TMeasure &Measure, const TLinksInARow &InARow)
{
    bool measured = true;
    {
        TWatchdog watchdog(Path, Patience, Device.Leftovers());
        TRun idle{Path, false, watchdog};
        THandshakes handshakes;
        measured = MeasureRun(idle, Measure, handshakes);
        PrintHandshakes(idle.Label, handshakes);
    }
    {
        const std::string label = Path + " loaded";
        const TBusyMachine busy;
        THandshakes handshakes;
        {
            TWatchdog watchdog(label, Patience, Device.Leftovers());
            TRun loaded{label, true, watchdog};
            measured = MeasureRun(loaded, Measure, handshakes) && measured;
        }
        TWatchdog watchdog(label, kLinksInARowPatience, Device.Leftovers());
        TRun links{label, true, watchdog};
        THandshakes inARow;
        std::string why;
        const bool synchronised = InARow(links, kLinksInARow, inARow, why);
        PrintHandshakes(label, handshakes, inARow, synchronised, why);
        measured = measured && synchronised;
    }
    if (!Device.Scheduling().empty()) {
        std::printf("emulation: %s\n", Device.Scheduling().c_str());
        std::fflush(stdout);
    }
    return measured ? 0 : 1;
}

std::chrono::seconds PathPatience(std::chrono::seconds Patience)
{
    return 2 * Patience + kLinksInARowPatience;
}

} // namespace bench
