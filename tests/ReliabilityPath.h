// The ways from the program to an SSC device that the reliability suites run on, and the faults
// each can put in the way.
//
//   Sim      the simulated D2XX driver (sim/), loaded by the program as it loads FTDI's own;
//            its chip clocks in real time or, in fast mode, as fast as the machine allows.
//   FT2232D  our driver libftd2xx-ftdi1.so over Debian's libftdi1 and libusb-1.0, down to an
//   FT2232H  emulated chip of that type (usbemu/) under umockdev's preload, channel A. The
//            chips keep real time: at the link's 1 MHz clock about 200 host bytes a second
//            reach the device.
//
// A fault is put in the way at the path's own level: the simulator's at the driver's entry
// points, the emulated chip's at its USB endpoints, beneath the real libraries. Where a path has
// no equivalent of another's fault or record, it says so where the fault is made, and the tests
// that need it run on the paths that have it.
#pragma once

#include <QString>

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

class SimLibrary;

namespace reliability
{

enum class TPathKind { Sim, FT2232D, FT2232H };

// "Sim", "FT2232D", "FT2232H": the paths' names in the tests' names.
std::string PathName(TPathKind Kind);
// GoogleTest prints a path by its name.
inline void PrintTo(TPathKind Kind, std::ostream *Out)
{
    *Out << PathName(Kind);
}

// The host bytes that reached the device, as the device recorded them.
struct THostRecord {
    long long Count = 0;
    // The first of them, as many as the record keeps.
    std::vector<unsigned char> First;
};

class TReliabilityPath
{
public:
    virtual ~TReliabilityPath() = default;

    // Puts the device in place. Empty when the path is ready; else why it cannot run in this
    // process, and the test skips.
    virtual std::string Prepare() = 0;
    // The driver library the program is to load, and the device's description as a user types
    // it into the Setup dialog.
    virtual std::string DriverFile() const = 0;
    virtual QString Description() const = 0;
    // True when the device clocks at its real rate; the simulator runs in fast mode until told.
    virtual bool RealTime() const = 0;
    virtual void KeepRealTime() = 0;
    // Whether the libraries the program loaded for this path are the ones the path is about;
    // asked while a link is open.
    virtual testing::AssertionResult LibrariesLoaded() const = 0;

    // The device takes no more host bytes until ReleaseWrites.
    virtual void StallWrites() = 0;
    // The device takes Bytes more host bytes, part-way through a frame, then no more until
    // ReleaseWrites; it still expects the rest of that frame.
    virtual void CutWrite(std::size_t Bytes) = 0;
    virtual void ReleaseWrites() = 0;
    // Every read fails until RestoreReads, for as long as the driver keeps trying.
    virtual void FailReads() = 0;
    // Reads fail now and then until RestoreReads; the device's answers wait meanwhile.
    virtual void InterruptReads() = 0;
    virtual void RestoreReads() = 0;
    // The device is pulled out, with whatever was under way, and plugged back in.
    virtual void Unplug() = 0;
    virtual void Replug() = 0;

    // Bytes the device took for commands it did not know, since the path was prepared: frame
    // data taken for commands.
    virtual long long BadCommands() = 0;
    // What the device took from the host, where the path records it.
    virtual std::optional<THostRecord> HostRecord() = 0;
    // Driver handles open on the device, where the path counts them.
    virtual std::optional<int> OpenCount() = 0;
};

// The path of that kind; the simulator's works through the test's own handle on it, Sim. None
// for the chips' paths in an executable built without them (reliability.cmake).
std::unique_ptr<TReliabilityPath> MakePath(TPathKind Kind, SimLibrary &Sim);

} // namespace reliability
