#include "bench/BenchMeasure.h"

#include "bench/BenchPaths.h"

#include <QWidget>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <vector>

namespace bench
{

double ProcessCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu(pthread_t Thread)
{
    clockid_t clock;
    timespec now{};
    if (pthread_getcpuclockid(Thread, &clock) != 0 || clock_gettime(clock, &now) != 0)
        return 0;
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void Run(std::chrono::milliseconds Span)
{
    QEventLoop loop;
    QTimer::singleShot(Span, &loop, &QEventLoop::quit);
    loop.exec();
}

double BareWindowCpu(double Seconds)
{
    using namespace std::chrono;
    QWidget window;
    window.resize(305, 240);
    window.show();
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [] {});
    timer.start();
    Run(milliseconds(500));
    const double cpu0 = ProcessCpu();
    const auto start = steady_clock::now();
    Run(milliseconds(int(Seconds * 1000)));
    const double cpu = ProcessCpu() - cpu0;
    return cpu / duration<double>(steady_clock::now() - start).count();
}

std::pair<double, double> EchoFloor(double LeadMs)
{
    constexpr double kFrameMs = kFrameSeconds * 1000;
    std::mt19937 random(1);
    std::uniform_real_distribution<double> tick(0, 10), frame(0, kFrameMs);
    std::vector<double> sums(100000);
    for (double &sum : sums)
        sum = tick(random) + frame(random) + LeadMs + 1 + tick(random);
    std::sort(sums.begin(), sums.end());
    return {sums[sums.size() / 2], sums[sums.size() * 99 / 100]};
}

} // namespace bench
