#include "bench/BenchDevice.h"

#include "bench/BenchPaths.h"
#include "device/D2xx.h"
#include "sim/SimLibrary.h"

#ifdef VELMOR_BENCH_EMULATION
#include "sim/Board.h"
#include "usbemu/Realtime.h"
#include "usbemu/UsbTestbed.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace bench
{

namespace
{

class TSimulator final : public TBenchDevice
{
public:
    explicit TSimulator(SimLibrary &Sim) : FSim(Sim)
    {
        d2xx::SetLibraryFile(SimLibrary::Path());
        FSim.vsim_SetRealTime(1);
    }

    std::string Description() const override { return "SSC Simulator"; }
    std::string What() const override { return "the simulator"; }
    std::string Note() const override { return {}; }
    std::string Leftovers() const override { return {}; }
    std::string Scheduling() const override { return {}; }

    bool Send(int Behaviour) override
    {
        FSim.vsim_SetBehaviour(Behaviour);
        return true;
    }

    long long HostBytes() override { return FSim.ChipState().hostBytes; }

private:
    SimLibrary &FSim;
};

#ifdef VELMOR_BENCH_EMULATION

// The emulated chip's SSC device records the host bytes it accepts where the simulator's does, in
// the process's simulator settings (the model library is linked into this program, and the driver
// library under test has none of it).
class TEmulatedChip final : public TBenchDevice
{
public:
    TEmulatedChip(std::unique_ptr<usbemu::TUsbTestbed> Testbed,
                  std::shared_ptr<usbemu::TFtdiChip> Chip)
        : FTestbed(std::move(Testbed)), FChip(std::move(Chip))
    {
        d2xx::SetLibraryFile(VELMOR_BENCH_FTDI1_DRIVER);
        HostBytes();
        FHostBytes = 0;
    }

    ~TEmulatedChip() override
    {
        FChip.reset();
        FTestbed.reset();
    }

    // libftd2xx-ftdi1.so lists channel A of a chip with more than one as its product string and
    // " A", a single-channel chip's as its bare product string.
    std::string Description() const override
    {
        const usbemu::TChipModel &model = FChip->Model();
        return std::string(model.Product) + (model.Channels > 1 ? " A" : "");
    }

    std::string What() const override
    {
        return std::string("an emulated ") + FChip->Model().Name + " (\"" + Description() +
               "\") through libftd2xx-ftdi1.so, libftdi1, libusb-1.0 and umockdev";
    }

    std::string Note() const override
    {
        return "The emulated chip and umockdev run in this process: the CPU figures include "
               "them.";
    }

    // The testbed's own folder, umockdev.XXXXXX, which holds its sys/ and dev/; nothing when the
    // folder is not of that shape, since it is removed without asking.
    std::string Leftovers() const override
    {
        const std::filesystem::path root = std::filesystem::path(FTestbed->SysDir()).parent_path();
        return root.filename().string().starts_with("umockdev.") ? root.string() : std::string();
    }

    std::string Scheduling() const override { return usbemu::SchedulingName(); }

    // On channel A, the one the link opens.
    bool Send(int Behaviour) override
    {
        vsim::TBehaviour chosen = vsim::TBehaviour::Echo;
        switch (Behaviour) {
        case VSIM_ECHO:
            chosen = vsim::TBehaviour::Echo;
            break;
        case VSIM_SEND:
            chosen = vsim::TBehaviour::Send;
            break;
        case VSIM_SILENT:
            chosen = vsim::TBehaviour::Silent;
            break;
        case VSIM_COUNTER:
            chosen = vsim::TBehaviour::Counter;
            break;
        default:
            return false;
        }
        FChip->SetBehaviour(0, chosen);
        return true;
    }

    long long HostBytes() override
    {
        std::lock_guard lock(FMutex);
        for (;;) {
            const std::size_t count =
                vsim::TBoard::Instance().TakeHostBytes(FTaken.data(), FTaken.size());
            FHostBytes += static_cast<long long>(count);
            if (count < FTaken.size())
                return FHostBytes;
        }
    }

private:
    std::unique_ptr<usbemu::TUsbTestbed> FTestbed;
    std::shared_ptr<usbemu::TFtdiChip> FChip;
    std::mutex FMutex;
    long long FHostBytes = 0; // under FMutex
    std::vector<std::uint8_t> FTaken = std::vector<std::uint8_t>(4096);
};

// An emulated chip's path is named after it in lower case ("ft2232h").
std::string PathName(const usbemu::TChipModel &Model)
{
    std::string name = Model.Name;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char Letter) { return char(std::tolower(Letter)); });
    return name;
}

bool Preloaded()
{
    std::ifstream maps("/proc/self/maps");
    const std::string text{std::istreambuf_iterator<char>(maps), {}};
    return text.find("libumockdev-preload.so") != std::string::npos;
}

#endif

} // namespace

std::unique_ptr<TBenchDevice> SimDevice(SimLibrary &Sim)
{
    return std::make_unique<TSimulator>(Sim);
}

std::unique_ptr<TBenchDevice> EmulatedDevice(const std::string &Path, std::string &Why,
                                             bool &Skipped)
{
    Skipped = false;
#ifdef VELMOR_BENCH_EMULATION
    const std::vector<usbemu::TChipType> &types = usbemu::AllChipTypes();
    const auto found = std::find_if(types.begin(), types.end(), [&](usbemu::TChipType Type) {
        return PathName(usbemu::Model(Type)) == Path;
    });
    if (found == types.end()) {
        Why = "no such path: " + Path;
        return nullptr;
    }
    const usbemu::TChipType type = *found;
    if (!Preloaded()) {
        Skipped = true;
        Why = "libumockdev-preload.so.0 could not be preloaded (is umockdev installed?)";
        return nullptr;
    }
    auto testbed = std::make_unique<usbemu::TUsbTestbed>();
    if (!testbed->InMockEnvironment()) {
        Skipped = true;
        Why = "umockdev's preload is loaded but does not redirect /sys to the testbed";
        return nullptr;
    }
    std::shared_ptr<usbemu::TFtdiChip> chip = testbed->AddChip(type);
    return std::make_unique<TEmulatedChip>(std::move(testbed), std::move(chip));
#else
    Why = "the emulated chips are not built (VELMOR_USB_EMULATION is off) for " + Path;
    return nullptr;
#endif
}

int ReportNoDevice(const std::string &Path, const std::string &Why, bool Skipped)
{
    if (!Skipped) {
        PrintPathFailed(Path, Why);
        return 1;
    }
    std::printf("emulated paths skipped: %s\n", Why.c_str());
    std::fflush(stdout);
    return kSkippedStatus;
}

} // namespace bench
