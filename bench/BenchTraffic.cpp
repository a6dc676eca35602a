#include "bench/BenchTraffic.h"

#include "app/Bridge.h"
#include "app/TrafficFile.h"

#include <QString>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench
{

namespace
{

double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double Median(std::vector<double> Values)
{
    if (Values.empty())
        return 0;
    std::sort(Values.begin(), Values.end());
    return Values[Values.size() / 2];
}

} // namespace

double TrafficLogCpu(const std::string &Folder, double Seconds)
{
    QString error;
    auto file = TTrafficFile::Open(QString::fromStdString(Folder) + "/traffic.log", error);
    if (!file)
        return -1;
    // A tick's worth each way at the ceilings: 62500 B/s from the device, 208 B/s to it.
    constexpr int kTicksASecond = 1000 / bridge::kPollingIntervalMs;
    constexpr std::size_t kFrom = 62500 / kTicksASecond;
    const std::size_t kToEvery = 3; // two bytes every third tick, about 208 B/s
    std::vector<unsigned char> bytes(kFrom);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7);
    auto now = TTrafficLog::Clock::now();
    const double start = ThreadSeconds();
    const long ticks = long(Seconds * kTicksASecond);
    for (long tick = 0; tick < ticks; ++tick) {
        now += std::chrono::milliseconds(bridge::kPollingIntervalMs);
        if (tick % kToEvery == 0)
            file->Log().Record(TTrafficDirection::ToDevice, bytes.data(), 2, now);
        file->Log().Record(TTrafficDirection::FromDevice, bytes.data(), bytes.size(), now);
        file->Write(now);
    }
    file->Write(now, true);
    return (ThreadSeconds() - start) / Seconds;
}

TTurnFigures InTurns(int Turns, const std::function<double(bool On)> &Measure)
{
    std::vector<double> off, on;
    for (int turn = 0; turn < Turns; ++turn) {
        off.push_back(Measure(false));
        on.push_back(Measure(true));
    }
    return {Median(off), Median(on)};
}

} // namespace bench
