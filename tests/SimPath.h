// The reliability suites' path through the simulated D2XX driver: the faults are the
// simulator's own switches at the driver's entry points (sim/SimControl.h).
#pragma once

#include "tests/ReliabilityPath.h"

class SimLibrary;

namespace reliability
{

class TSimPath final : public TReliabilityPath
{
public:
    explicit TSimPath(SimLibrary &Sim) : FSim(Sim) {}

    std::string Prepare() override;
    std::string DriverFile() const override;
    QString Description() const override;
    bool RealTime() const override { return FRealTime; }
    void KeepRealTime() override;
    testing::AssertionResult LibrariesLoaded() const override;

    void StallWrites() override;
    void CutWrite(std::size_t Bytes) override;
    void ReleaseWrites() override;
    void FailReads() override;
    void InterruptReads() override;
    void RestoreReads() override;
    void Unplug() override;
    void Replug() override;

    long long BadCommands() override;
    std::optional<THostRecord> HostRecord() override;
    std::optional<int> OpenCount() override;

private:
    SimLibrary &FSim;
    bool FRealTime = false;
};

} // namespace reliability
