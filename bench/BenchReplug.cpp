#include "bench/BenchReplug.h"

#include "app/DeviceArrivals.h"
#include "app/HeadlessBridge.h"
#include "bench/BenchMeasure.h"
#include "bench/BenchPreload.h"
#include "usbemu/UsbTestbed.h"
#include "vport/VSPortLib_TLB.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench
{

namespace
{

using TClock = std::chrono::steady_clock;
using usbemu::TChipType;
constexpr std::chrono::milliseconds kPatience{20000};

// The value at fraction P of Sorted, the nearest rank's.
double Percentile(const std::vector<double> &Sorted, double P)
{
    if (Sorted.empty())
        return 0;
    const auto rank = std::size_t(P * double(Sorted.size() - 1) + 0.5);
    return Sorted[std::min(rank, Sorted.size() - 1)];
}

void Failed(const std::string &Why)
{
    std::printf("replug ft2232h: failed (%s)\n", Why.c_str());
    std::fflush(stdout);
}

} // namespace

int MeasureReplugs(int Count)
{
    usbemu::TUsbTestbed testbed;
    if (!testbed.InMockEnvironment()) {
        Failed("not under umockdev's preload");
        return 1;
    }
    std::shared_ptr<usbemu::TFtdiChip> chip = testbed.AddChip(TChipType::FT2232H);
    TBridgeOptions options;
    options.Device = QString::fromLatin1(usbemu::Model(TChipType::FT2232H).Product) + " A";
    options.Driver = QStringLiteral(VELMOR_BENCH_FTDI1_DRIVER);
    options.Port = QStringLiteral("replug-bench");
    int notBack = 0;
    TClock::time_point opened{};
    std::string last;
    THeadlessBridge bridge(
        options, [](const QString &) {},
        [&](const QString &Line) {
            last = Line.toStdString();
            notBack += Line.contains(QStringLiteral("device not back yet")) ? 1 : 0;
            if (Line.contains(QStringLiteral("opened again")))
                opened = TClock::now();
        });
    if (bridge.Start() != bridge::kExitStopped) {
        Failed("the bridge did not start: " + last);
        return 1;
    }
    // The same watch as the bridge's, to see when the event arrived.
    TDeviceArrivals probe;
    TClock::time_point arrivedAt{};
    QObject::connect(&probe, &TDeviceArrivals::Arrived, [&] { arrivedAt = TClock::now(); });
    const auto bridging = [&] { return bridge.State().Phase() == TLinkPhase::Bridging; };
    std::vector<double> ms;
    std::vector<double> toOpened;
    std::vector<double> toEvent;
    int firstAttempt = 0;
    for (int i = 0; i < Count; ++i) {
        RunUntil(bridging, kPatience);
        if (!bridging()) {
            Failed("not bridging: " + last);
            return 1;
        }
        testbed.Unplug(chip);
        // Lost, and its first attempt failed: the pauses' next attempt is a second away.
        const int before = notBack;
        RunUntil([&] { return notBack > before; }, kPatience);
        if (notBack == before) {
            Failed("the loss was not noticed: " + last);
            return 1;
        }
        const int failedBefore = notBack;
        const TClock::time_point replugged = TClock::now();
        chip = testbed.AddChip(TChipType::FT2232H);
        // Checked at every turn of the loop, not every 20 ms as RunUntil does.
        QEventLoop loop;
        QTimer check;
        TClock::time_point back{};
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (bridging() || TClock::now() - replugged > kPatience) {
                back = TClock::now();
                loop.quit();
            }
        });
        check.start(0);
        loop.exec();
        if (!bridging()) {
            Failed("not bridging again after a replug: " + last);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(back - replugged).count());
        toEvent.push_back(std::chrono::duration<double, std::milli>(arrivedAt - replugged).count());
        toOpened.push_back(std::chrono::duration<double, std::milli>(opened - replugged).count());
        firstAttempt += notBack == failedBefore ? 1 : 0;
    }
    bridge.Stop();
    std::sort(ms.begin(), ms.end());
    std::sort(toOpened.begin(), toOpened.end());
    std::sort(toEvent.begin(), toEvent.end());
    std::printf("replug ft2232h: to bridging p50 %.1f ms p95 %.1f ms (event p50 %.1f ms p95 %.1f "
                "ms, opened p50 %.1f ms p95 %.1f ms) over %d, first attempt opened %d of %d\n",
                Percentile(ms, 0.50), Percentile(ms, 0.95), Percentile(toEvent, 0.50),
                Percentile(toEvent, 0.95), Percentile(toOpened, 0.50), Percentile(toOpened, 0.95),
                Count, firstAttempt, Count);
    std::fflush(stdout);
    return 0;
}

bool RunReplugs()
{
    QProcess child;
    const QProcessEnvironment environment = UnderPreload(kReplugVariable);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {});
    // Generous: ten replugs take a few seconds; only a hang comes near it.
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        Failed("it did not end within 120 s");
        return false;
    }
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

} // namespace bench
