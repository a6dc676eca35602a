// Other processes that keep the machine's cores busy while a test or a benchmark runs beside
// them, as other builds do on a shared machine. They spin until the object goes.
#pragma once

#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace test
{

class TBusyNeighbours
{
public:
    explicit TBusyNeighbours(int Count)
    {
        for (int i = 0; i < Count; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                // Never outlives the process that made it, however that ends.
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() == 1)
                    ::_exit(0);
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            if (pid > 0)
                FChildren.push_back(pid);
        }
    }
    ~TBusyNeighbours()
    {
        for (const pid_t pid : FChildren)
            ::kill(pid, SIGKILL);
        for (const pid_t pid : FChildren)
            ::waitpid(pid, nullptr, 0);
    }
    TBusyNeighbours(const TBusyNeighbours &) = delete;
    TBusyNeighbours &operator=(const TBusyNeighbours &) = delete;

    int Count() const { return static_cast<int>(FChildren.size()); }

private:
    std::vector<pid_t> FChildren;
};

} // namespace test
