// The Messages window's cost under a flood of the link's messages: the handshake of a device that
// never synchronises says "SYNCH ---> 55" and "SYNCH ---> AA" in turn, about 650 a second here.
// Prints the process's CPU time as a share of one core while the messages come at a rate, with
// the window closed and open, each for the seconds given (default 10).
//
//     QT_QPA_PLATFORM=offscreen build/bench/messages_bench [SECONDS] [--every-add]
//
// --every-add redraws the window at every message, as it did before it gathered changes.
#include "device/LinkLog.h"
#include "dialogs/Messages.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>

namespace
{

double CpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Adds PerSecond messages a second, in 10 ms ticks as the bridge cycle does, for Seconds; the
// share of a core used meanwhile.
double Flood(TLinkLog &Log, int PerSecond, int Seconds)
{
    QElapsedTimer clock;
    long long added = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const long long due = clock.elapsed() * PerSecond / 1000;
        for (; added < due; ++added)
            Log.Add(TLinkEventKind::Detail, added % 2 == 0 ? "SYNCH ---> 55" : "SYNCH ---> AA");
        if (clock.elapsed() >= Seconds * 1000LL)
            QCoreApplication::quit();
    });
    const double cpu = CpuSeconds();
    clock.start();
    tick.start();
    QCoreApplication::exec();
    return 100.0 * (CpuSeconds() - cpu) / (double(clock.elapsed()) / 1000.0);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    int seconds = 10;
    bool everyAdd = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--every-add") == 0)
            everyAdd = true;
        else
            seconds = std::atoi(argv[i]);
    }
    TLinkLog log;
    TMessagesForm form(log);
    log.Changed = [&] { everyAdd ? form.Refresh() : form.LogChanged(); };
    log.Add(TLinkEventKind::State, "Inited");
    // The flood is the handshake's chatter: shown, as with Details ticked.
    form.DetailsCheck->setChecked(true);
    for (const int rate : {100, 650}) {
        form.hide();
        const double closed = Flood(log, rate, seconds);
        form.show();
        const double open = Flood(log, rate, seconds);
        std::printf("%d messages/s: window closed %.2f %% of a core, open %.2f %% (%+.2f)\n", rate,
                    closed, open, open - closed);
    }
    return 0;
}
