#include "app/BoardCheck.h"

#include "app/UsbPath.h"
#include "device/D2xx.h"
#include "device/DeviceList.h"
#include "device/LinkPace.h"
#include "device/ShownText.h"
#include "device/Tsscclass.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

using namespace bridge;
using namespace std::chrono;

namespace
{

// How long the handshake may take before the device is said not to answer it: the bridge
// synchronises within a few calls, a board that needs seconds is not working.
constexpr seconds kSynchPatience{10};
// How long one byte's echo is waited for, and how many lost in a row end the echoes.
constexpr seconds kEchoPatience{2};
constexpr int kLostInARow = 10;
constexpr microseconds kEchoPoll{500};
// Before the bytes are counted, the transmit ring fills and the first frames go out.
constexpr milliseconds kWarmUp{500};
// Below this share of the ceiling a board that works is said to be slow.
constexpr double kBrisk = 0.9;
// The udev rule as the package installs it.
const char *const kUdevRuleExample = VELMOR_UDEV_RULE_EXAMPLE;

QString Shown(const std::string &Text)
{
    return QString::fromStdString(shown::ShownText(Text));
}

QString Number(double Value, int Decimals)
{
    return QString::number(Value, 'f', Decimals);
}

QString Calls(int Count)
{
    return Count == 1 ? QStringLiteral("1 handshake call")
                      : QStringLiteral("%1 handshake calls").arg(Count);
}

// What the link said last (its texts go to a callback), for a reason.
struct TLastSaid {
    std::string Text;
    TSSCMessageEvent Event()
    {
        return [this](const std::string &Said) { Text = Said; };
    }
};

// A count that grows a frame at a time, watched at every tick: the bytes a second between the
// first growth seen and the last.
struct TSpan {
    std::optional<steady_clock::time_point> First;
    steady_clock::time_point Latest;
    std::uint64_t AtFirst = 0;
    std::uint64_t Last = 0;
    bool Started = false;

    void Moved(steady_clock::time_point Now, std::uint64_t Count)
    {
        const bool grew = Count != Last;
        Last = Count;
        // The first reading is where the count stands, not a growth.
        if (!std::exchange(Started, true) || !grew)
            return;
        if (!First) {
            First = Now;
            AtFirst = Count;
        }
        Latest = Now;
    }
    double Rate() const
    {
        if (!First || Latest <= *First)
            return 0;
        return double(Last - AtFirst) / duration<double>(Latest - *First).count();
    }
};

} // namespace

struct TBoardCheck::TMeasured {
    bool Lost = false;
    bool SendsUnasked = false;
    bool Echoes = false;
    std::vector<double> EchoMs; // sorted
    int EchoLost = 0;
    double ToRate = 0;
    double FromRate = 0;
};

TBoardCheck::TBoardCheck(TBridgeOptions Options, TOutput Out)
    : FOptions(std::move(Options)), FOut(std::move(Out))
{
    if (!FOptions.Driver.isEmpty())
        d2xx::SetLibraryFile(FOptions.Driver.toLocal8Bit().toStdString());
}

void TBoardCheck::Say(const QString &Line)
{
    if (!FOptions.Json)
        FOut(OneLine(Line));
}

int TBoardCheck::Verdict(bool Passed, const QString &Text, const QString &NextStep, int Status)
{
    const QString line = (Passed ? QStringLiteral("PASS: ") : QStringLiteral("FAIL: ")) + Text +
                         (NextStep.isEmpty() ? QString() : QStringLiteral("; ") + NextStep);
    FReport[QStringLiteral("passed")] = Passed;
    FReport[QStringLiteral("verdict")] = OneLine(line);
    FReport[QStringLiteral("next_step")] = NextStep;
    FReport[QStringLiteral("exit_status")] = Status;
    if (FOptions.Json)
        FOut(QString::fromUtf8(QJsonDocument(FReport).toJson(QJsonDocument::Indented)).chopped(1));
    else
        FOut(OneLine(line));
    return Status;
}

int TBoardCheck::Run()
{
    // The library, bound by a link that opens nothing, and the devices it sees.
    TLastSaid said;
    auto probe = std::make_unique<TSSCClass>(said.Event());
    probe->Init("");
    const TInitOutcome outcome = probe->InitOutcome();
    const QString library = QString::fromLocal8Bit(probe->LibraryFile());
    QJsonObject libraryReport{{QStringLiteral("path"), library}};
    if (outcome == TInitOutcome::LibraryMissing || outcome == TInitOutcome::EntryPointMissing) {
        RetireLink(probe);
        const QString why = said.Text.empty() ? QStringLiteral("cannot be loaded: ") + library
                                              : QString::fromLocal8Bit(said.Text);
        libraryReport[QStringLiteral("loaded")] = false;
        libraryReport[QStringLiteral("reason")] = why;
        FReport[QStringLiteral("driver_library")] = libraryReport;
        Say(QStringLiteral("driver library: not loaded: ") + why);
        return Verdict(false, QStringLiteral("no driver library: ") + why,
                       QStringLiteral("install FTDI's libftd2xx.so or the package's own driver, "
                                      "or name one with --driver FILE"),
                       kExitNoDriver);
    }
    libraryReport[QStringLiteral("loaded")] = true;
    FReport[QStringLiteral("driver_library")] = libraryReport;
    Say(QStringLiteral("driver library: ") + library);
    std::vector<TDeviceEntry> present;
    const bool unlisted = ListDeviceEntries(probe->Driver(), present);
    RetireLink(probe);
    if (unlisted)
        return Verdict(
            false, QStringLiteral("the driver library %1 cannot list the devices").arg(library),
            QStringLiteral("try FTDI's own libftd2xx.so with --driver FILE"), kExitCheckFailed);

    // The board named, as --list shows it; the only one there when none is named.
    QStringList there;
    for (const TDeviceEntry &entry : present)
        there << QStringLiteral("'%1' (%2)")
                     .arg(Shown(entry.Description), Shown(entry.Serial.value_or("?")));
    const QString thereText = there.isEmpty() ? QStringLiteral("no device is attached")
                                              : QStringLiteral("there are ") + there.join(", ");
    const std::string description = FOptions.Device.toLocal8Bit().toStdString();
    std::optional<TDeviceEntry> board;
    QString missing;
    if (!FOptions.Serial.isEmpty()) {
        board = NamedBySerial(present, FOptions.Serial.toLocal8Bit().toStdString());
        if (!board)
            missing = QStringLiteral("no device has serial number '%1'").arg(FOptions.Serial);
        else if (!FOptions.Device.isEmpty() && !shown::Names(description, board->Description))
            missing = QStringLiteral("the device with serial number '%1' is described '%2', not "
                                     "'%3'")
                          .arg(FOptions.Serial, Shown(board->Description), FOptions.Device);
    } else if (!FOptions.Device.isEmpty()) {
        board = NamedByDescription(present, description);
        if (!board)
            missing = QStringLiteral("no device is described '%1'").arg(FOptions.Device);
    } else if (present.size() == 1) {
        board = present.front();
    } else if (present.empty()) {
        missing = QStringLiteral("no device is attached");
    } else {
        return Verdict(false, QStringLiteral("which device? %1").arg(thereText),
                       QStringLiteral("name one with --device DESCRIPTION or --serial SERIAL"),
                       kExitUsage);
    }
    if (!missing.isEmpty()) {
        if (!present.empty())
            missing += QStringLiteral("; ") + thereText;
        return Verdict(false, missing,
                       QStringLiteral("plug the board in, or see velmor-bridge --list"),
                       kExitNoDevice);
    }
    const QString serial = board->Serial ? Shown(*board->Serial) : QString();
    const QString location =
        board->Location ? QStringLiteral("0x%1").arg(*board->Location, 0, 16) : QString();
    const QString untold = QStringLiteral("not told by the driver");
    // The driver's listing does not tell the chip's type and speed; /sys does, where the board's
    // place is known.
    const std::optional<std::string> path =
        board->Location ? UsbPath(*board->Location, board->Serial) : std::nullopt;
    const TUsbChip chip = path ? UsbChip(*path) : TUsbChip{};
    const auto orNull = [](const std::string &Text) {
        return Text.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(Text));
    };
    FReport[QStringLiteral("device")] =
        QJsonObject{{QStringLiteral("description"), Shown(board->Description)},
                    {QStringLiteral("serial"), board->Serial ? QJsonValue(serial) : QJsonValue()},
                    {QStringLiteral("location"),
                     board->Location ? QJsonValue(qint64(*board->Location)) : QJsonValue()},
                    {QStringLiteral("usb_path"), orNull(path.value_or(std::string()))},
                    {QStringLiteral("chip_type"), orNull(chip.Type)},
                    {QStringLiteral("usb_speed"), orNull(chip.Speed)}};
    QString line = QStringLiteral("device: %1, serial number %2, location ID %3, chip type %4")
                       .arg(Shown(board->Description), board->Serial ? serial : untold,
                            board->Location ? location : untold,
                            chip.Type.empty() ? untold : QString::fromStdString(chip.Type));
    if (path)
        line += QStringLiteral(", at USB %1").arg(QString::fromStdString(*path));
    if (!chip.Speed.empty())
        line += QStringLiteral(", %1").arg(QString::fromStdString(chip.Speed));
    Say(line);

    // Opened as the bridge opens it: by its serial number when it has one.
    QJsonObject opens;
    auto notOpened = [&](const QString &Why, const QString &Next) {
        opens[QStringLiteral("openable")] = false;
        opens[QStringLiteral("reason")] = Why;
        FReport[QStringLiteral("opens")] = opens;
        Say(QStringLiteral("opens: no: ") + Why);
        return Verdict(false, QStringLiteral("cannot open the device: ") + Why, Next,
                       kExitCheckFailed);
    };
    if (!board->Openable) {
        const QString reason = Shown(board->Reason);
        const bool permission = reason.contains(QStringLiteral("udev rule"));
        return notOpened(
            reason, permission ? QStringLiteral("install the udev rule: sudo cp %1 "
                                                "/etc/udev/rules.d/ && sudo udevadm control "
                                                "--reload && replug the board")
                                     .arg(QString::fromUtf8(kUdevRuleExample))
                               : QStringLiteral("close the program that holds it, or replug it"));
    }
    TLastSaid linkSaid;
    auto link = std::make_unique<TSSCClass>(linkSaid.Event());
    // A blank EEPROM gives an empty serial number, which opens nothing: such a board opens by
    // its description.
    const bool bySerial = board->Serial && !board->Serial->empty();
    const bool failed =
        bySerial ? link->InitBySerial(*board->Serial) : link->Init(board->Description);
    if (failed) {
        const TInitOutcome opened = link->InitOutcome();
        RetireLink(link);
        if (opened == TInitOutcome::SetupNotSent)
            return notOpened(QStringLiteral("it opened, but the set-up commands did not go out"),
                             QStringLiteral("replug the board and check it again"));
        return notOpened(linkSaid.Text.empty() ? QStringLiteral("the driver did not open it")
                                               : QString::fromLocal8Bit(linkSaid.Text),
                         QStringLiteral("close any program that holds it (velmor-debug, another "
                                        "velmor-bridge), or replug it"));
    }
    opens[QStringLiteral("openable")] = true;
    opens[QStringLiteral("reason")] = QString();
    FReport[QStringLiteral("opens")] = opens;
    Say(QStringLiteral("opens: yes"));

    int failedCalls = 0;
    const bool unsynched = ssc::SynchAtTicks(*link, &failedCalls, kSynchPatience);
    FReport[QStringLiteral("synchronises")] =
        QJsonObject{{QStringLiteral("synchronised"), !unsynched},
                    {QStringLiteral("calls"), unsynched ? failedCalls : failedCalls + 1}};
    if (unsynched) {
        const bool lost = link->DeviceFailing();
        RetireLink(link);
        Say(QStringLiteral("synchronises: no, %1 failed%2")
                .arg(Calls(failedCalls),
                     lost ? QStringLiteral(" and the device was lost")
                          : QStringLiteral(" over %1 s").arg(kSynchPatience.count())));
        return Verdict(false,
                       QStringLiteral("the device does not answer the handshake (the pattern "
                                      "0x01A5) in %1")
                           .arg(Calls(failedCalls)),
                       QStringLiteral("check the board's power and its wiring to the FTDI chip, "
                                      "and that it runs the SSC firmware; then replug it"),
                       kExitCheckFailed);
    }
    Say(QStringLiteral("synchronises: yes, in ") + Calls(failedCalls + 1));
    const int status = Measure(*link);
    RetireLink(link);
    return status;
}

int TBoardCheck::Measure(TSSCClass &Link)
{
    TMeasured measured;
    std::vector<unsigned char> in(ssc::kRingSize);
    auto receive = [&] {
        const int got = Link.ReceiveData(in.data(), int(in.size()));
        if (got < 0 || Link.DeviceFailing())
            measured.Lost = true;
        return std::max(got, 0);
    };
    const duration<double> span{double(FOptions.CheckSeconds.count())};

    // Whatever the device sends before it is asked is read away; a device that never falls
    // silent sends by itself, and no echo can be told apart.
    int quiet = 0;
    for (int polls = 0; quiet < 20 && polls < 100 && !measured.Lost; ++polls) {
        std::this_thread::sleep_for(ssc::kSynchTick);
        quiet = receive() > 0 ? 0 : quiet + 1;
    }
    measured.SendsUnasked = quiet < 20;

    // One byte at a time, each after a pause of up to two frames so that it starts anywhere in
    // the frame: from SendData to the ReceiveData that returns it. Half of the time.
    const auto echoUntil = steady_clock::now() + (measured.SendsUnasked ? span * 0 : span / 2);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pauseUs(0, int(2 * ssc::kFrameSeconds * 1e6));
    int lostInARow = 0;
    for (int i = 0; steady_clock::now() < echoUntil && lostInARow < kLostInARow && !measured.Lost;
         ++i) {
        std::this_thread::sleep_for(microseconds(pauseUs(random)));
        const auto out = static_cast<unsigned char>('a' + i % 26);
        const auto start = steady_clock::now();
        bool sent = false;
        bool back = false;
        while (!back && !measured.Lost && steady_clock::now() < start + kEchoPatience) {
            if (!sent) {
                const int taken = Link.SendData(&out, 1);
                measured.Lost = taken < 0;
                sent = taken == 1;
            }
            const int got = receive();
            // Anything else is a late echo of a byte already counted lost.
            back = std::find(in.begin(), in.begin() + got, out) != in.begin() + got;
            if (!back)
                std::this_thread::sleep_for(kEchoPoll);
        }
        if (back) {
            measured.EchoMs.push_back(
                duration<double, std::milli>(steady_clock::now() - start).count());
            lostInARow = 0;
        } else {
            ++measured.EchoLost;
            ++lostInARow;
        }
        // The first byte not echoed: the device does not echo.
        if (measured.EchoMs.empty())
            break;
    }
    std::sort(measured.EchoMs.begin(), measured.EchoMs.end());
    measured.Echoes = !measured.EchoMs.empty();

    // The transmit ring kept full every tick, as the bridge would, and what comes back drained:
    // the rest of the time. To the device counts what the device clocked in and answered.
    std::vector<unsigned char> data(ssc::kFramePayload, 'x');
    const auto throughputFor = measured.Echoes ? span / 2 : span;
    auto feed = [&] {
        if (Link.SendData(data.data(), int(data.size())) < 0)
            measured.Lost = true;
    };
    const auto warmed = steady_clock::now() + kWarmUp;
    while (steady_clock::now() < warmed && !measured.Lost) {
        feed();
        std::this_thread::sleep_for(ssc::kSynchTick);
        receive();
    }
    // The bytes move a frame at a time: each way is counted from the first tick that saw a frame
    // end to the last, so that a short check is not a frame too many or too few.
    TSpan to;
    TSpan from;
    std::uint64_t received = 0;
    const auto start = steady_clock::now();
    while (steady_clock::now() - start < throughputFor && !measured.Lost) {
        feed();
        std::this_thread::sleep_for(ssc::kSynchTick);
        received += std::uint64_t(receive());
        const auto now = steady_clock::now();
        to.Moved(now, Link.DeviceTook());
        from.Moved(now, received);
    }
    measured.ToRate = to.Rate();
    measured.FromRate = from.Rate();

    // What was measured, as far as it could be.
    QJsonObject report{{QStringLiteral("seconds"), qint64(FOptions.CheckSeconds.count())},
                       {QStringLiteral("sends_unasked"), measured.SendsUnasked},
                       {QStringLiteral("echoes"), measured.Echoes}};
    const double p50 = ssc::Percentile(measured.EchoMs, 0.50);
    const double p99 = ssc::Percentile(measured.EchoMs, 0.99);
    if (measured.SendsUnasked)
        Say(QStringLiteral("echo of one byte: not measured: the device sends without being "
                           "asked"));
    else if (!measured.Echoes)
        Say(QStringLiteral("echo of one byte: not measured: the device does not echo"));
    else
        Say(QStringLiteral("echo of one byte: p50 %1 ms, p99 %2 ms (%3 echoes, %4 lost)")
                .arg(Number(p50, 1), Number(p99, 1))
                .arg(measured.EchoMs.size())
                .arg(measured.EchoLost));
    if (measured.Echoes) {
        report[QStringLiteral("echo_p50_ms")] = p50;
        report[QStringLiteral("echo_p99_ms")] = p99;
        report[QStringLiteral("echo_count")] = qint64(measured.EchoMs.size());
        report[QStringLiteral("echo_lost")] = measured.EchoLost;
    }
    // An echo carries back only what went to the device.
    const double toFraction = measured.ToRate / ssc::kToDeviceCeiling;
    const double fromCeiling = measured.Echoes ? ssc::kToDeviceCeiling : ssc::kFromDeviceCeiling;
    const double fromFraction = measured.FromRate / fromCeiling;
    const bool fromMeasured = measured.FromRate > 0;
    Say(QStringLiteral("to the device: %1 B/s, %2 of the ceiling (%3 B/s)")
            .arg(Number(measured.ToRate, 1), Number(toFraction, 3),
                 Number(ssc::kToDeviceCeiling, 1)));
    if (fromMeasured)
        Say(QStringLiteral("from the device: %1 B/s, %2 of the ceiling%3 (%4 B/s)")
                .arg(Number(measured.FromRate, 1), Number(fromFraction, 3),
                     measured.Echoes ? QStringLiteral(" for an echo") : QString(),
                     Number(fromCeiling, 1)));
    else
        Say(QStringLiteral("from the device: not measured: nothing came back"));
    report[QStringLiteral("to_bytes_per_second")] = measured.ToRate;
    report[QStringLiteral("to_ceiling")] = ssc::kToDeviceCeiling;
    report[QStringLiteral("to_fraction")] = toFraction;
    report[QStringLiteral("from_bytes_per_second")] = measured.FromRate;
    report[QStringLiteral("from_ceiling")] = fromCeiling;
    report[QStringLiteral("from_fraction")] =
        fromMeasured ? QJsonValue(fromFraction) : QJsonValue();
    report[QStringLiteral("device_lost")] = measured.Lost;
    FReport[QStringLiteral("measured")] = report;

    if (measured.Lost)
        return Verdict(false, QStringLiteral("the device was lost while it was measured"),
                       QStringLiteral("check the cable and the board's power, replug it and "
                                      "check it again"),
                       kExitCheckFailed);
    if (measured.ToRate <= 0)
        return Verdict(false,
                       QStringLiteral("nothing reached the device in %1 s although it "
                                      "synchronised")
                           .arg(FOptions.CheckSeconds.count()),
                       QStringLiteral("replug the board and check it again"), kExitCheckFailed);
    const double slowest = fromMeasured ? std::min(toFraction, fromFraction) : toFraction;
    QString pace = fromMeasured
                       ? QStringLiteral("%1 of the ceiling each way").arg(Number(slowest, 2))
                       : QStringLiteral("%1 of the ceiling to the device, nothing back to "
                                        "measure")
                             .arg(Number(toFraction, 2));
    if (measured.Echoes)
        pace += QStringLiteral(", echo p99 %1 ms").arg(Number(p99, 0));
    if (slowest < kBrisk)
        return Verdict(true, QStringLiteral("bridging works, but slowly: at ") + pace,
                       QStringLiteral("check it again with less running beside it, the board "
                                      "straight on the machine's USB rather than a hub"),
                       kExitStopped);
    return Verdict(true, QStringLiteral("bridging works at ") + pace, QString(), kExitStopped);
}
