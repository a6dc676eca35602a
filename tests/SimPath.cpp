#include "tests/SimPath.h"

#include "sim/SimLibrary.h"

namespace reliability
{

namespace
{

// The simulator keeps the first MiB of host bytes its devices took.
constexpr std::size_t kHostRecordSize = std::size_t{1} << 20;

} // namespace

std::string TSimPath::Prepare()
{
    if (!FSim.Loaded())
        return "the simulated driver is not loaded: " + FSim.Error();
    FSim.vsim_SetRealTime(0);
    FRealTime = false;
    return {};
}

std::string TSimPath::DriverFile() const
{
    return SimLibrary::Path();
}

QString TSimPath::Description() const
{
    return "SSC Simulator";
}

void TSimPath::KeepRealTime()
{
    FSim.vsim_SetRealTime(1);
    FRealTime = true;
}

testing::AssertionResult TSimPath::LibrariesLoaded() const
{
    // The test holds the simulator loaded itself, so its mapping says nothing of the program's;
    // the program's loading is the binding's own tests' concern.
    return testing::AssertionSuccess();
}

void TSimPath::StallWrites()
{
    FSim.vsim_SetWriteStall(1);
}

void TSimPath::CutWrite(std::size_t Bytes)
{
    FSim.vsim_SetWriteBudget(int(Bytes));
}

void TSimPath::ReleaseWrites()
{
    FSim.vsim_SetWriteStall(0);
    FSim.vsim_SetWriteBudget(-1);
}

// FT_Read fails while the answers stay queued in the driver, however long the fault lasts: a
// lasting read failure and a passing one are the same switch here.
void TSimPath::FailReads()
{
    FSim.vsim_SetReadError(-1);
}

void TSimPath::InterruptReads()
{
    FSim.vsim_SetReadError(-1);
}

void TSimPath::RestoreReads()
{
    FSim.vsim_SetReadError(0);
}

void TSimPath::Unplug()
{
    FSim.vsim_SetUnplugged(1);
}

void TSimPath::Replug()
{
    FSim.vsim_SetUnplugged(0);
}

// The simulator counts them for the chip most recently opened, since its open.
long long TSimPath::BadCommands()
{
    return FSim.ChipState().badCommands;
}

std::optional<THostRecord> TSimPath::HostRecord()
{
    THostRecord record;
    record.Count = FSim.ChipState().hostBytes;
    record.First.resize(kHostRecordSize);
    const int taken = FSim.vsim_TakeHostBytes(record.First.data(), int(record.First.size()));
    record.First.resize(taken > 0 ? std::size_t(taken) : 0);
    return record;
}

std::optional<int> TSimPath::OpenCount()
{
    return FSim.vsim_OpenCount();
}

} // namespace reliability
