#include "bench/BenchDevice.h"

#include "bench/BenchPaths.h"
#include "device/D2xx.h"
#include "sim/SimLibrary.h"

#ifdef VELMOR_BENCH_EMULATION
#include "sim/Board.h"
#include "usbemu/UsbTestbed.h"
#endif

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

class Simulator final : public BenchDevice
{
public:
    explicit Simulator(SimLibrary &sim) : sim_(sim)
    {
        d2xx::SetLibraryFile(SimLibrary::Path());
        sim_.vsim_SetRealTime(1);
    }

    std::string Description() const override { return "SSC Simulator"; }
    std::string What() const override { return "the simulator"; }
    std::string Note() const override { return {}; }
    std::string Leftovers() const override { return {}; }

    bool Send(int behaviour) override
    {
        sim_.vsim_SetBehaviour(behaviour);
        return true;
    }

    long long HostBytes() override { return sim_.ChipState().hostBytes; }

private:
    SimLibrary &sim_;
};

#ifdef VELMOR_BENCH_EMULATION

// The emulated chip's SSC device records the host bytes it accepts where the simulator's does, in
// the process's simulator settings (the model library is linked into this program, and the driver
// library under test has none of it).
class EmulatedChip final : public BenchDevice
{
public:
    EmulatedChip(std::unique_ptr<usbemu::TUsbTestbed> testbed,
                 std::shared_ptr<usbemu::TFtdiChip> chip)
        : testbed_(std::move(testbed)), chip_(std::move(chip))
    {
        d2xx::SetLibraryFile(VELMOR_BENCH_FTDI1_DRIVER);
        HostBytes();
        hostBytes_ = 0;
    }

    ~EmulatedChip() override
    {
        chip_.reset();
        testbed_.reset();
    }

    // libftd2xx-ftdi1.so lists channel A of a chip with two as its product string and " A".
    std::string Description() const override { return std::string(chip_->Model().Product) + " A"; }

    std::string What() const override
    {
        return std::string("an emulated ") + chip_->Model().Name + " (\"" + Description() +
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
        const std::filesystem::path root = std::filesystem::path(testbed_->SysDir()).parent_path();
        return root.filename().string().starts_with("umockdev.") ? root.string() : std::string();
    }

    // On channel A, the one the link opens.
    bool Send(int behaviour) override
    {
        vsim::TBehaviour chosen = vsim::TBehaviour::Echo;
        switch (behaviour) {
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
        chip_->SetBehaviour(0, chosen);
        return true;
    }

    long long HostBytes() override
    {
        std::lock_guard lock(mutex_);
        for (;;) {
            const std::size_t count =
                vsim::TBoard::Instance().TakeHostBytes(taken_.data(), taken_.size());
            hostBytes_ += static_cast<long long>(count);
            if (count < taken_.size())
                return hostBytes_;
        }
    }

private:
    std::unique_ptr<usbemu::TUsbTestbed> testbed_;
    std::shared_ptr<usbemu::TFtdiChip> chip_;
    std::mutex mutex_;
    long long hostBytes_ = 0; // under mutex_
    std::vector<std::uint8_t> taken_ = std::vector<std::uint8_t>(4096);
};

bool Preloaded()
{
    std::ifstream maps("/proc/self/maps");
    const std::string text{std::istreambuf_iterator<char>(maps), {}};
    return text.find("libumockdev-preload.so") != std::string::npos;
}

#endif

} // namespace

std::unique_ptr<BenchDevice> SimDevice(SimLibrary &sim)
{
    return std::make_unique<Simulator>(sim);
}

std::unique_ptr<BenchDevice> EmulatedDevice(const std::string &path, std::string &why,
                                            bool &skipped)
{
    skipped = false;
#ifdef VELMOR_BENCH_EMULATION
    usbemu::TChipType type{};
    if (path == "ft2232h") {
        type = usbemu::TChipType::FT2232H;
    } else if (path == "ft2232d") {
        type = usbemu::TChipType::FT2232D;
    } else {
        why = "no such path: " + path;
        return nullptr;
    }
    if (!Preloaded()) {
        skipped = true;
        why = "libumockdev-preload.so.0 could not be preloaded (is umockdev installed?)";
        return nullptr;
    }
    auto testbed = std::make_unique<usbemu::TUsbTestbed>();
    if (!testbed->InMockEnvironment()) {
        skipped = true;
        why = "umockdev's preload is loaded but does not redirect /sys to the testbed";
        return nullptr;
    }
    std::shared_ptr<usbemu::TFtdiChip> chip = testbed->AddChip(type);
    return std::make_unique<EmulatedChip>(std::move(testbed), std::move(chip));
#else
    why = "the emulated chips are not built (VELMOR_USB_EMULATION is off) for " + path;
    return nullptr;
#endif
}

int ReportNoDevice(const std::string &path, const std::string &why, bool skipped)
{
    if (!skipped) {
        PrintPathFailed(path, why);
        return 1;
    }
    std::printf("emulated paths skipped: %s\n", why.c_str());
    std::fflush(stdout);
    return kSkippedStatus;
}

} // namespace bench
