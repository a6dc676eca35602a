// velmor-bridge --check: in one run, whether this machine, this driver library and this board
// work together, and at what pace. It says, each on a line of its own (or as one JSON object with
// --json), in this order:
//
//     driver library: /usr/lib/x86_64-linux-gnu/libftd2xx.so
//     device: SSC Simulator, serial number SIM000, location ID 0x11, chip type not told
//         by the driver (a board on USB also: at USB 1-2.4, high speed, 480 Mbit/s)
//     opens: yes
//     synchronises: yes, in 1 handshake call
//     echo of one byte: p50 31.2 ms, p99 50.1 ms (84 echoes, 0 lost)
//     to the device: 207.9 B/s, 0.998 of the ceiling (208.3 B/s)
//     from the device: 207.5 B/s, 0.996 of the ceiling for an echo (208.3 B/s)
//     PASS: bridging works at 0.996 of the ceiling each way, echo p99 50 ms
//
// and stops at the first step that fails, with a FAIL line that says the next step to take. The
// device is opened like the bridge opens it and measured through the link alone; no port is made
// and nothing else on the machine is changed.
#pragma once

#include "app/HeadlessBridge.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace bridge
{
// The check ran and did not pass.
constexpr int kExitCheckFailed = 6;
// --check-seconds's range.
constexpr int kShortestCheck = 1;
constexpr int kLongestCheck = 600;
} // namespace bridge

class TBoardCheck
{
public:
    using TOutput = std::function<void(const QString &Line)>;

    // Out gets the check's lines (or, with Options.Json, the JSON object at the end).
    TBoardCheck(TBridgeOptions Options, TOutput Out);

    // Runs the whole check: 0 when it passed, else the exit status (bridge::TExitStatus, or
    // kExitCheckFailed).
    int Run();

private:
    struct TMeasured;

    // A step's line on Out; none with --json, whose object says it all at the end.
    void Say(const QString &Line);
    // The last line, and the exit status it goes with.
    int Verdict(bool Passed, const QString &Text, const QString &NextStep, int Status);
    int Measure(TSSCClass &Link);

    TBridgeOptions FOptions;
    TOutput FOut;
    QJsonObject FReport;
};
