// The reliability suites' path through our driver, Debian's libftdi1 and libusb-1.0 to an
// emulated chip (usbemu/), channel A. Its faults are the chip's at its USB endpoints: packets it
// stops taking, transfers cut by errors, the chip pulled out and plugged back in.
//
// The chip only runs under umockdev's preload, there from the process's start; without it the
// path is not ready and the test skips.
#pragma once

#include "tests/ReliabilityPath.h"
#include "usbemu/FtdiChipModel.h"

#include <chrono>
#include <thread>

namespace usbemu
{
class TFtdiChip;
class TUsbTestbed;
} // namespace usbemu

namespace reliability
{

class TChipPath final : public TReliabilityPath
{
public:
    explicit TChipPath(usbemu::TChipType Type);
    ~TChipPath() override;

    std::string Prepare() override;
    std::string DriverFile() const override;
    QString Description() const override;
    bool RealTime() const override { return true; }
    void KeepRealTime() override {}
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
    // Cuts the chip's IN transfers, each Bytes into it, one every Every, until StopCutting.
    void CutReads(std::size_t Bytes, std::chrono::microseconds Every);
    void StopCutting();

    const usbemu::TChipType FType;
    std::unique_ptr<usbemu::TUsbTestbed> FTestbed;
    std::shared_ptr<usbemu::TFtdiChip> FChip;
    // Counted by the chips unplugged before the one in place.
    long long FRetiredBadCommands = 0;
    std::jthread FCutter;
};

} // namespace reliability
