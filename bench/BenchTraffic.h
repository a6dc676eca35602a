// What recording the traffic costs, for bridge_bench: velmor-bridge --log's recording and
// writing replayed at full traffic, and the medians of the bridge's CPU with and without a
// recorder, measured in turns so that the machine's drift falls on both alike.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench
{

// The CPU, as a share of one core, that recording and writing Seconds of traffic at the
// protocol's ceilings both ways cost, as velmor-bridge --log does at every tick: replayed as fast
// as it goes, into a new file in Folder. Negative when the file cannot be made.
double TrafficLogCpu(const std::string &Folder, double Seconds);

struct TTurnFigures {
    double Off = 0; // the median with the recorder off
    double On = 0;  // and on
};
// Runs Measure(false) and Measure(true) in turn, Turns times each; the medians of what they
// return.
TTurnFigures InTurns(int Turns, const std::function<double(bool On)> &Measure);

} // namespace bench
