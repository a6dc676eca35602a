// A board that comes back is reopened as soon as it appears: velmor-bridge's whole bridge in
// process, through our driver over Debian's libftdi1 and libusb-1.0, to an emulated FT2232H
// whose unplug and replug reach udev's monitor as the kernel's events would.
//
// The test runs under umockdev's preload (see ftdi.cmake); without it, it skips.
#include "app/DeviceArrivals.h"
#include "app/HeadlessBridge.h"
#include "usbemu/UsbTestbed.h"
#include "vport/VSPortLib_TLB.h"

#include "tests/PtyClient.h"
#include "tests/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace
{

using Clock = std::chrono::steady_clock;
using usbemu::TChipType;

bool AnyContains(const QStringList &Lines, const QString &Text)
{
    return std::any_of(Lines.begin(), Lines.end(),
                       [&](const QString &Line) { return Line.contains(Text); });
}

// Waits until the bridge bridges, and says when it first saw it; nothing after Patience.
std::optional<Clock::time_point> WhenBridging(const THeadlessBridge &Bridge,
                                              std::chrono::milliseconds Patience)
{
    std::optional<Clock::time_point> seen;
    test::WaitUntil(
        [&] {
            if (Bridge.State().Phase() == TLinkPhase::Bridging)
                seen = Clock::now();
            return seen.has_value();
        },
        Patience);
    return seen;
}

} // namespace

// The board comes back during the longest of the pauses between attempts: it is bridging again
// before the attempt the pauses had set, and what a program wrote meanwhile waited in the port
// and comes back whole. For a device lost, and for one --wait waits for from the start.
TEST(DeviceArrivals, ABoardThatComesBackIsReopenedBeforeTheNextAttemptDue)
{
    struct TCase {
        const char *Name;
        bool Waited; // --wait with no board plugged in at the start
    };
    for (const TCase &c : {TCase{"lost", false}, TCase{"waited for", true}}) {
        SCOPED_TRACE(c.Name);
        usbemu::TUsbTestbed testbed;
        if (!testbed.InMockEnvironment())
            GTEST_SKIP() << "not under umockdev's preload";
        // The watch is made where the testbed's events come from.
        ASSERT_TRUE(TDeviceArrivals().Watching()) << TDeviceArrivals().Problem().toStdString();
        std::shared_ptr<usbemu::TFtdiChip> chip;
        if (!c.Waited)
            chip = testbed.AddChip(TChipType::FT2232H);

        TBridgeOptions options;
        options.Device = QString::fromLatin1(usbemu::Model(TChipType::FT2232H).Product) + " A";
        options.Driver = QStringLiteral(VELMOR_FTDI1_DRIVER);
        options.Port = QStringLiteral("arrivals");
        options.Wait = c.Waited;
        QStringList said;
        THeadlessBridge bridge(
            options, [](const QString &) {}, [&](const QString &Line) { said << Line; });
        const auto log = [&] { return said.join('\n').toStdString(); };
        ASSERT_EQ(bridge.Start(), bridge::kExitStopped) << log();
        test::TPtyClient client(bridge.PortPath());
        ASSERT_TRUE(client.IsOpen());
        if (!c.Waited) {
            ASSERT_TRUE(WhenBridging(bridge, test::kPatience)) << log();
            ASSERT_TRUE(client.Write("before"));
            ASSERT_TRUE(client.Receive("before")) << log();
            testbed.Unplug(chip);
        }

        // The pauses have reached their longest, and a program writes meanwhile.
        ASSERT_TRUE(test::WaitUntil([&] { return AnyContains(said, "next try in 4 s"); })) << log();
        ASSERT_TRUE(client.Write("meanwhile"));
        // When the attempt the pauses set is due, by the bridge's own reckoning.
        const Clock::time_point due = Clock::now() + bridge.Bridge().NextAttemptIn();
        chip = testbed.AddChip(TChipType::FT2232H);
        const auto back = WhenBridging(bridge, test::kPatience);
        ASSERT_TRUE(back) << log();
        EXPECT_LT(*back, due) << "reopened by the pauses, not on its arrival\n" << log();
        ASSERT_TRUE(client.Write("after"));
        EXPECT_TRUE(client.Receive("meanwhileafter")) << client.Received << "\n" << log();
        EXPECT_EQ(client.Received, c.Waited ? "meanwhileafter" : "beforemeanwhileafter");
        bridge.Stop();
        chip.reset();
    }
}
