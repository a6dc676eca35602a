// The device at the end of a benchmark's path, as the benchmark uses it: the description the link
// opens, what the SSC device sends where the path lets the benchmark choose, and how many host
// bytes the device has accepted.
//
// On the "sim" path that is the simulator's control interface. On an emulated path the chip is
// usbemu's, plugged into a umockdev testbed made here, and the binding is pointed at the
// program's own driver (libftd2xx-ftdi1.so) as built; its SSC device is told what to send as the
// simulator's is.
#pragma once

#include <memory>
#include <string>

class SimLibrary;

namespace bench
{

class TBenchDevice
{
public:
    virtual ~TBenchDevice() = default;

    // The description FT_ListDevices shows for the device, which the link opens.
    virtual std::string Description() const = 0;
    // The path in words, for a benchmark's heading, and what to bear in mind reading its figures
    // (empty if nothing).
    virtual std::string What() const = 0;
    virtual std::string Note() const = 0;
    // A folder that is the device's alone, to remove when the process has to end at once (a
    // TWatchdog's end); empty if none.
    virtual std::string Leftovers() const = 0;
    // The scheduling the emulated chip's threads ran under, in words; empty for a device that
    // has no threads of its own to schedule.
    virtual std::string Scheduling() const = 0;
    // What the SSC device sends from now on: VSIM_ECHO, VSIM_SILENT or VSIM_COUNTER
    // (sim/SimControl.h). False when the device cannot be told and goes on as before.
    virtual bool Send(int Behaviour) = 0;
    // The host bytes the device has accepted; only the difference between two readings while one
    // link stays open means anything. From any thread.
    virtual long long HostBytes() = 0;
};

// The simulator, loaded by `Sim`; the binding is pointed at it and it runs in real time.
std::unique_ptr<TBenchDevice> SimDevice(SimLibrary &Sim);

// The emulated chip for an emulated path (EmulatedPaths()). nullptr when it cannot be had, with
// the reason in `Why`; `Skipped` is set when that is because this process is not under umockdev's
// preload, which is not the path's fault.
std::unique_ptr<TBenchDevice> EmulatedDevice(const std::string &Path, std::string &Why,
                                             bool &Skipped);
// Says why EmulatedDevice gave none ("emulated paths skipped: ..." or the path's failed line) and
// returns the status the process is to exit with.
int ReportNoDevice(const std::string &Path, const std::string &Why, bool Skipped);

} // namespace bench
