#include "bench/BenchPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

extern char **environ;

namespace bench
{

namespace
{

using TClock = std::chrono::steady_clock;

constexpr const char *kPreload = "libumockdev-preload.so.0";
// A child's own watchdog ends it after its patience; the parent waits this much longer before it
// stops the child itself, so that the child's line, naming the phase that hung, comes first.
constexpr std::chrono::seconds kParentGrace{30};
// What a watchdog's process exits with.
constexpr int kTimedOutStatus = 3;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The parent's environment with `Name` set to `Value`, or `Value` appended after `Separator`
// to what it holds already.
void Put(std::vector<std::string> &Environment, const std::string &Name, const std::string &Value,
         const char *Separator)
{
    const std::string prefix = Name + "=";
    for (std::string &entry : Environment) {
        if (entry.compare(0, prefix.size(), prefix) != 0)
            continue;
        if (Separator == nullptr || entry.size() == prefix.size())
            entry = prefix + Value;
        else
            entry += Separator + Value;
        return;
    }
    Environment.push_back(prefix + Value);
}

std::vector<std::string> ChildEnvironment(const std::string &Path)
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        environment.emplace_back(*entry);
    Put(environment, "LD_PRELOAD", kPreload, ":");
    // ASan wants its runtime first among the libraries a process starts with, which the preload
    // is not: that check alone is switched off.
    if (kAddressSanitizer)
        Put(environment, "ASAN_OPTIONS", "verify_asan_link_order=0", ":");
    Put(environment, kPathVariable, Path, nullptr);
    return environment;
}

std::vector<char *> Pointers(std::vector<std::string> &Texts)
{
    std::vector<char *> pointers;
    for (std::string &text : Texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

bool WriteAll(int Fd, const char *Data, std::size_t Count)
{
    while (Count > 0) {
        const ssize_t written = ::write(Fd, Data, Count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        Data += written;
        Count -= static_cast<std::size_t>(written);
    }
    return true;
}

std::string ExitText(int Status)
{
    if (WIFSIGNALED(Status))
        return "ended by signal " + std::to_string(WTERMSIG(Status)) + " (" +
               strsignal(WTERMSIG(Status)) + ")";
    return "ended with status " + std::to_string(WEXITSTATUS(Status));
}

// Waits for the child to end, stopping it once it is past GiveUp; its wait status.
int Reap(pid_t Child, TClock::time_point GiveUp, bool &Stopped)
{
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(Child, &status, Stopped ? 0 : WNOHANG);
        if (ended == Child || (ended < 0 && errno != EINTR))
            return status;
        if (ended == 0 && TClock::now() >= GiveUp) {
            ::kill(Child, SIGKILL);
            Stopped = true;
        } else if (ended == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

enum class TChildOutcome { Measured, Failed, Skipped };

// Runs the benchmark again for `Path` and relays what it prints, its standard output to ours and
// its standard error to ours, as it comes.
TChildOutcome RunChild(const std::string &Path, char **Argv, std::chrono::seconds Patience)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        PrintPathFailed(Path, std::string("cannot make a pipe: ") + std::strerror(errno));
        return TChildOutcome::Failed;
    }
    std::vector<std::string> environment = ChildEnvironment(Path);
    std::vector<char *> envp = Pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, Argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        PrintPathFailed(Path,
                        std::string("cannot run the benchmark again: ") + std::strerror(spawned));
        return TChildOutcome::Failed;
    }

    std::string printed;
    const auto giveUp = TClock::now() + Patience + kParentGrace;
    bool stopped = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    const int relayTo[2] = {STDOUT_FILENO, STDERR_FILENO};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - TClock::now());
        if (left.count() <= 0) {
            ::kill(child, SIGKILL);
            stopped = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                WriteAll(relayTo[i], chunk, static_cast<std::size_t>(got));
                if (i == 0)
                    printed.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const pollfd &fd : fds) {
        if (fd.fd >= 0)
            ::close(fd.fd);
    }
    const int status = Reap(child, giveUp, stopped);

    if (!stopped && WIFEXITED(status) && WEXITSTATUS(status) == kSkippedStatus)
        return TChildOutcome::Skipped;
    // The child measures the path idle and loaded (BenchRuns.h); each run says its figures or
    // its failure, and one the child did not get to say is said here.
    const auto said = [&](const std::string &Label, const std::string &What) {
        const std::string line = "path " + Label + ": " + What;
        return printed.compare(0, line.size(), line) == 0 ||
               printed.find("\n" + line) != std::string::npos;
    };
    bool measured = true;
    for (const std::string &label : {Path, Path + " loaded"}) {
        if (said(label, "to "))
            continue;
        measured = false;
        if (!said(label, "failed")) {
            PrintPathFailed(label, stopped ? "no figures within " +
                                                 std::to_string((Patience + kParentGrace).count()) +
                                                 " s: stopped"
                                           : "no figures: the run " + ExitText(status));
        }
    }
    if (!measured)
        return TChildOutcome::Failed;
    // Both runs said their figures. Status 1 and a watchdog's status are failures the child has
    // said (its links in a row); anything else it has not.
    const bool exited = !stopped && WIFEXITED(status);
    if (exited && WEXITSTATUS(status) == 0)
        return TChildOutcome::Measured;
    if (!exited || (WEXITSTATUS(status) != 1 && WEXITSTATUS(status) != kTimedOutStatus))
        PrintPathFailed(Path, stopped ? "stopped after its figures"
                                      : "the run " + ExitText(status) + " after its figures");
    return TChildOutcome::Failed;
}

} // namespace

const std::vector<std::string> &EmulatedPaths()
{
    static const std::vector<std::string> paths{"ft2232d", "ft2232h", "ft4232h", "ft232h"};
    return paths;
}

bool EmulationBuilt()
{
#ifdef VELMOR_BENCH_EMULATION
    return true;
#else
    return false;
#endif
}

std::string ChildPath()
{
    const char *path = std::getenv(kPathVariable);
    return path != nullptr ? path : "";
}

void PrintPathLine(const std::string &Name, const TPathFigures &Figures)
{
    std::printf("path %s: to %.3f from %.3f echo-p50 %.1f ms echo-p99 %.1f ms retire %.0f ms\n",
                Name.c_str(), Figures.To, Figures.From, Figures.EchoP50Ms, Figures.EchoP99Ms,
                Figures.RetireMs);
    std::fflush(stdout);
}

void PrintPathFailed(const std::string &Name, const std::string &Why)
{
    std::printf("path %s: failed (%s)\n", Name.c_str(), Why.c_str());
    std::fflush(stdout);
}

bool RunEmulatedPaths(int, char **Argv, std::chrono::seconds Patience)
{
    if (!EmulationBuilt()) {
        for (const std::string &path : EmulatedPaths())
            std::printf("path %s: not built (configure with -DVELMOR_USB_EMULATION=ON)\n",
                        path.c_str());
        std::fflush(stdout);
        return true;
    }
    bool measured = true;
    for (const std::string &path : EmulatedPaths()) {
        const TChildOutcome outcome = RunChild(path, Argv, Patience);
        if (outcome == TChildOutcome::Skipped)
            break; // the child said why
        measured = measured && outcome == TChildOutcome::Measured;
    }
    return measured;
}

TWatchdog::TWatchdog(std::string Path, std::chrono::seconds Patience, std::string Leftovers)
    : FPath(std::move(Path)), FPatience(Patience), FLeftovers(std::move(Leftovers)),
      FThread([this] { Watch(); })
{
}

TWatchdog::~TWatchdog()
{
    {
        std::lock_guard lock(FMutex);
        FFinished = true;
    }
    FDone.notify_all();
    FThread.join();
}

void TWatchdog::Watch()
{
    std::unique_lock lock(FMutex);
    if (FDone.wait_for(lock, FPatience, [this] { return FFinished; }))
        return;
    PrintPathFailed(FPath, "timed out after " + std::to_string(FPatience.count()) + " s while " +
                               FPhase.load());
    if (!FLeftovers.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(FLeftovers, ignored);
    }
    std::fflush(stderr);
    std::_Exit(kTimedOutStatus);
}

} // namespace bench
