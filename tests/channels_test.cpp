// Rigs: two channels of one emulated chip, each bridged by a velmor-bridge process of its own
// through the program's driver over Debian's libftdi1 and libusb-1.0, with a second board beside
// them. Every process opens the same USB device and claims its own interface, as on a rig; the
// chips answer from this process (umockdev's preload serves the children's ioctls from here, and
// sends them the chips' uevents).
//
// The test runs under umockdev's preload (see ftdi.cmake); without it, it skips.
#include "usbemu/ChildPlaces.h"
#include "usbemu/UsbTestbed.h"

#include "tests/PtyClient.h"
#include "tests/Wait.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

using usbemu::TChipType;
constexpr std::chrono::milliseconds kProcessPatience{120000};

// Under a sanitizer every velmor-bridge child is instrumented too, and two or three of them
// streaming beside the emulator in this process starve it: an emulated round trip then outlasts
// the handshake's 60 ms phases, and a link may not synchronise at all. The streams are the plain
// build's to test; in-process bridges on the emulated chips are tested under the sanitizers.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

QString Channel(TChipType Type, char Letter)
{
    return QString::fromLatin1(usbemu::Model(Type).Product) + ' ' + QLatin1Char(Letter);
}

// velmor-bridge as a child process on the emulated chips, its stderr kept as it comes.
class TChild
{
public:
    // AsUser: run as that user (with its group), not as the test's.
    TChild(const QStringList &Arguments, const QString &RuntimeDir, const char *AsUser = nullptr)
    {
        // The preload and the testbed's folder come with the environment.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), RuntimeDir);
        // The children's leaks are umockdev's preload's, allocated in its uninstrumented code:
        // LeakSanitizer would end each child with status 1 at its exit.
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
                           (asan.isEmpty() ? QString() : asan + ":") +
                               QStringLiteral("detect_leaks=0"));
        FProcess.setProcessEnvironment(environment);
        // Each child's descriptors from a place of its own (usbemu/ChildPlaces.h).
        std::vector<std::string> command;
        if (AsUser)
            command = {"setpriv", std::string("--reuid=") + AsUser, "--regid=nogroup",
                       "--clear-groups"};
        command.insert(command.end(), {VELMOR_BRIDGE, "--driver", VELMOR_FTDI1_DRIVER});
        for (const QString &argument : Arguments)
            command.push_back(argument.toStdString());
        QStringList apart;
        for (const std::string &word : usbemu::CommandApart(command))
            apart << QString::fromStdString(word);
        FProcess.start(apart.takeFirst(), apart);
    }
    ~TChild()
    {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(int(test::kPatience.count()));
        }
    }
    QString Err()
    {
        FErr += QString::fromLocal8Bit(FProcess.readAllStandardError());
        return FErr;
    }
    QByteArray Out()
    {
        FOut += FProcess.readAllStandardOutput();
        return FOut;
    }
    // How many lines on stderr contain Text.
    int Said(const QString &Text) { return int(Err().count(Text)); }
    bool Ended() const { return FProcess.state() == QProcess::NotRunning; }
    // The first line on stdout: the port's path; empty if the program ended first.
    QString Path()
    {
        test::WaitUntil([&] { return Out().contains('\n') || Ended(); });
        const qsizetype end = Out().indexOf('\n');
        return end < 0 ? QString() : QFile::decodeName(Out().left(end));
    }
    std::optional<int> Finish()
    {
        if (!test::WaitUntil([&] { return Ended(); }, kProcessPatience) ||
            FProcess.exitStatus() != QProcess::NormalExit)
            return std::nullopt;
        Out();
        return FProcess.exitCode();
    }
    void Signal(int Number) { ::kill(pid_t(FProcess.processId()), Number); }

private:
    QProcess FProcess;
    QByteArray FOut;
    QString FErr;
};

} // namespace

// `velmor-bridge --check` on channel A and on channel B of one chip at once: both processes open
// the chip, each its own channel, and both pass with every echo back. On each chip with two
// MPSSE channels.
TEST(Channels, ACheckOnEachChannelOfOneChipAtOncePassesOnBoth)
{
    if (kInstrumented)
        GTEST_SKIP() << "streaming children under a sanitizer starve the emulated chips";
    for (const TChipType type : {TChipType::FT2232H, TChipType::FT4232H}) {
        SCOPED_TRACE(usbemu::Model(type).Product);
        usbemu::TUsbTestbed testbed;
        if (!testbed.InMockEnvironment())
            GTEST_SKIP() << "not under umockdev's preload";
        const std::shared_ptr<usbemu::TFtdiChip> chip = testbed.AddChip(type);
        QTemporaryDir runtime;
        std::vector<std::unique_ptr<TChild>> checks;
        for (const char letter : {'A', 'B'})
            checks.push_back(
                std::make_unique<TChild>(QStringList{"--check", "--json", "--check-seconds", "4",
                                                     "-d", Channel(type, letter)},
                                         runtime.path()));
        for (std::size_t index = 0; index < checks.size(); ++index) {
            TChild &check = *checks[index];
            SCOPED_TRACE(index == 0 ? "A" : "B");
            EXPECT_EQ(check.Finish(), 0) << check.Err().toStdString();
            const QJsonObject report = QJsonDocument::fromJson(check.Out()).object();
            EXPECT_TRUE(report["passed"].toBool()) << check.Out().toStdString();
            EXPECT_EQ(report["device"].toObject()["description"].toString(),
                      Channel(type, index == 0 ? 'A' : 'B'));
            const QJsonObject measured = report["measured"].toObject();
            EXPECT_GT(measured["echo_count"].toInt(), 0);
            EXPECT_EQ(measured["echo_lost"].toInt(-1), 0);
            EXPECT_FALSE(measured["device_lost"].toBool(true));
            EXPECT_GT(measured["to_bytes_per_second"].toDouble(), 0);
        }
    }
}

// Channels A and B of a dual chip and channel A of a quad chip beside it, each bridged by its own
// velmor-bridge, a program on each port. The dual chip is unplugged while every program writes:
// both its bridges see it lost and both come back when it is plugged in again, while the other
// board's program gets every echo on time. At the end each program has its own bytes back, whole,
// in order, and nobody else's.
TEST(Channels, AnUnplugIsSeenByBothChannelsAndLeavesTheOtherBoardWhole)
{
    if (kInstrumented)
        GTEST_SKIP() << "streaming children under a sanitizer starve the emulated chips";
    usbemu::TUsbTestbed testbed;
    if (!testbed.InMockEnvironment())
        GTEST_SKIP() << "not under umockdev's preload";
    std::shared_ptr<usbemu::TFtdiChip> dual = testbed.AddChip(TChipType::FT2232H);
    const std::shared_ptr<usbemu::TFtdiChip> quad = testbed.AddChip(TChipType::FT4232H);
    QTemporaryDir runtime;
    const QString names[] = {Channel(TChipType::FT2232H, 'A'), Channel(TChipType::FT2232H, 'B'),
                             Channel(TChipType::FT4232H, 'A')};
    std::vector<std::unique_ptr<TChild>> bridges;
    std::vector<std::unique_ptr<test::TPtyClient>> programs;
    std::vector<std::string> sent(3);
    for (int index = 0; index < 3; ++index) {
        bridges.push_back(std::make_unique<TChild>(
            QStringList{"-d", names[index], "-p", QStringLiteral("rig%1").arg(index)},
            runtime.path()));
        const QString path = bridges.back()->Path();
        ASSERT_FALSE(path.isEmpty()) << bridges.back()->Err().toStdString();
        programs.push_back(std::make_unique<test::TPtyClient>(path));
        ASSERT_TRUE(programs.back()->IsOpen());
    }
    const auto log = [&] {
        std::string all;
        for (auto &bridge : bridges)
            all += bridge->Err().toStdString() + "--\n";
        return all;
    };
    // Each program's own text: an echo that reached another port would show.
    const auto send = [&](int Index, const std::string &Word) {
        const std::string text = Word + "-" + std::to_string(Index) + ";";
        sent[std::size_t(Index)] += text;
        return programs[std::size_t(Index)]->Write(text);
    };
    const auto allBack = [&](int Index) {
        test::TPtyClient &program = *programs[std::size_t(Index)];
        return test::WaitUntil([&] {
            program.ReadAvailable();
            return program.Received.size() >= sent[std::size_t(Index)].size();
        });
    };
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(test::WaitUntil([&] { return bridges[index]->Said("link: bridging") == 1; },
                                    kProcessPatience))
            << log();
        ASSERT_TRUE(send(index, "before"));
    }
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(allBack(index)) << log();

    // Written while the board goes: what the device had not taken waits in the port.
    ASSERT_TRUE(send(0, "going") && send(1, "going"));
    testbed.Unplug(dual);
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(test::WaitUntil([&] { return bridges[index]->Said("link: device lost") > 0; },
                                    kProcessPatience))
            << log();
    // The other board carries on meanwhile.
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(send(2, "during" + std::to_string(round)));
        ASSERT_TRUE(allBack(2)) << log();
    }
    ASSERT_TRUE(send(0, "away") && send(1, "away"));
    dual = testbed.AddChip(TChipType::FT2232H);
    for (int index = 0; index < 2; ++index)
        ASSERT_TRUE(test::WaitUntil([&] { return bridges[index]->Said("link: bridging") == 2; },
                                    kProcessPatience))
            << log();
    for (int index = 0; index < 3; ++index)
        ASSERT_TRUE(send(index, "after"));
    for (int index = 0; index < 3; ++index) {
        SCOPED_TRACE(index);
        EXPECT_TRUE(allBack(index)) << programs[std::size_t(index)]->Received << "\n" << log();
        EXPECT_EQ(programs[std::size_t(index)]->Received, sent[std::size_t(index)]);
    }
    // The other board's bridge never lost its device.
    EXPECT_EQ(bridges[2]->Said("link: device lost"), 0) << log();
    for (auto &bridge : bridges) {
        bridge->Signal(SIGTERM);
        EXPECT_EQ(bridge->Finish(), 0) << log();
    }
}

// Boards behind hubs, two levels deep, and one straight on the bus: `velmor-bridge --list --json`
// gives each channel a location ID of its own and the USB port path Linux names it by, --check
// says the chip and its speed found there, and --serial opens the board at that place. A board
// its user may not open (run as nobody, where the test may: the chip's node root's alone, the
// rest of the emulated bus open to all) is listed, not opened, and --check names the udev rule
// that would let the user open it.
TEST(Channels, BoardsAreListedCheckedAndOpenedWhereTheyAre)
{
    usbemu::TUsbTestbed testbed;
    if (!testbed.InMockEnvironment())
        GTEST_SKIP() << "not under umockdev's preload";
    struct TBoard {
        const char *Serial;
        std::vector<std::uint8_t> Ports;
        const char *Path;
        qint64 LocationA; // channel A's; B's is one more
    };
    const TBoard boards[] = {{"HUB24", {2, 4}, "1-2.4", 0x1241},
                             {"HUB231", {2, 3, 1}, "1-2.3.1", 0x12311},
                             {"ROOT3", {3}, "1-3", 0x131}};
    std::vector<std::shared_ptr<usbemu::TFtdiChip>> chips;
    for (const TBoard &board : boards)
        chips.push_back(testbed.AddChip(TChipType::FT2232H, board.Serial, {1, board.Ports}));
    // The board kept from its user, at bus 1's seventh device: its root hub, two hubs and three
    // boards came first. Plugged in before any child starts: ThreadSanitizer's vfork handling
    // refuses a new thread in the test afterwards, and each chip has one.
    chips.push_back(testbed.AddChip(TChipType::FT232H, "LOCKED", {1, {5}}));
    QTemporaryDir runtime;
    TChild list({"--list", "--json"}, runtime.path());
    ASSERT_EQ(list.Finish(), 0) << list.Err().toStdString();
    const QJsonArray listed = QJsonDocument::fromJson(list.Out()).array();
    ASSERT_EQ(listed.size(), 7) << list.Out().toStdString();
    for (const TBoard &board : boards) {
        for (const char letter : {'A', 'B'}) {
            const QString serial = QString::fromLatin1(board.Serial) + QLatin1Char(letter);
            SCOPED_TRACE(serial.toStdString());
            const auto found =
                std::find_if(listed.begin(), listed.end(), [&](const QJsonValue &Entry) {
                    return Entry.toObject()["serial"].toString() == serial;
                });
            ASSERT_NE(found, listed.end()) << list.Out().toStdString();
            const QJsonObject entry = found->toObject();
            EXPECT_EQ(entry["usb_path"].toString(), board.Path);
            EXPECT_EQ(entry["location"].toInteger(), board.LocationA + (letter - 'A'));
        }
    }
    TChild check({"--check", "--json", "--check-seconds", "1", "--serial", "HUB24A"},
                 runtime.path());
    EXPECT_EQ(check.Finish(), 0) << check.Err().toStdString();
    const QJsonObject device = QJsonDocument::fromJson(check.Out()).object()["device"].toObject();
    EXPECT_EQ(device["usb_path"].toString(), "1-2.4") << check.Out().toStdString();
    EXPECT_EQ(device["chip_type"].toString(), "FT2232H");
    EXPECT_EQ(device["usb_speed"].toString(), "high speed, 480 Mbit/s");
    {
        TChild bridge({"--serial", "HUB231B", "-p", "hub"}, runtime.path());
        test::TPtyClient program(bridge.Path());
        ASSERT_TRUE(program.IsOpen()) << bridge.Err().toStdString();
        ASSERT_TRUE(program.Write("deep"));
        EXPECT_TRUE(program.Receive("deep")) << bridge.Err().toStdString();
        EXPECT_TRUE(bridge.Err().contains("HUB231B")) << bridge.Err().toStdString();
        bridge.Signal(SIGKILL);
    }
    // Killed with transfers in flight, the bridge leaves the board whole for the next program:
    // the node's new connections may sit where the dead one's did.
    for (int round = 0; round < 3; ++round) {
        TChild next({"--check", "--json", "--check-seconds", "1", "--serial", "HUB231B"},
                    runtime.path());
        EXPECT_EQ(next.Finish(), 0) << next.Err().toStdString();
    }

    if (::geteuid() != 0)
        GTEST_SKIP() << "running the check as another user needs root";
    const std::string root = qEnvironmentVariable("UMOCKDEV_DIR").toStdString();
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(std::system(("chmod -R a+rwX '" + root + "'").c_str()), 0);
    ASSERT_EQ(::chmod((root + "/dev/bus/usb/001/007").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(runtime.path()).constData(), 0777), 0);
    // Its serial number cannot be read without opening it, as on a real bus: it is named by its
    // description.
    TChild locked({"--check", "--json", "--device", usbemu::Model(TChipType::FT232H).Product},
                  runtime.path(), "nobody");
    EXPECT_EQ(locked.Finish(), 6) << locked.Err().toStdString();
    const QJsonObject report = QJsonDocument::fromJson(locked.Out()).object();
    EXPECT_FALSE(report["opens"].toObject()["openable"].toBool(true)) << locked.Out().toStdString();
    EXPECT_EQ(report["opens"].toObject()["reason"].toString(),
              "no permission: udev rule 70-velmor-ssc.rules");
    EXPECT_TRUE(report["verdict"].toString().contains("70-velmor-ssc.rules /etc/udev/rules.d/"))
        << locked.Out().toStdString();
    EXPECT_EQ(report["device"].toObject()["usb_path"].toString(), "1-5");
}
