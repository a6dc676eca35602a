// velmor-bridge: the bridge without the window, for test rigs and machines with no display. The
// same port keeping and the same cycle as the window's, on a 10 ms timer of the event loop (50 ms
// while idle: the device synchronised, no program on the port, nothing on its way).
//
//     velmor-bridge --list [--json]
//     velmor-bridge --device DESCRIPTION [--port NAME] [--quiet | --verbose] [--driver FILE]
//                   [--log FILE]
//     velmor-bridge --serial SERIAL [--device DESCRIPTION] ...
//
// stdout carries one line only, the full path of the port once it is ready (or, for --list, the
// devices); stderr one timestamped line for each change of state and each error (errors only
// with --quiet; the handshake's steps too with --verbose). --log appends the bytes that move, as
// the Traffic window shows them (app/TrafficFile.h), to a file.
#pragma once

#include "app/Bridge.h"
#include "app/JournalLines.h"
#include "vport/PortKeeper.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class IVSPortAx;
class TDeviceArrivals;
class TSSCClass;
class TTrafficFile;

namespace bridge
{
// velmor-bridge's exit statuses.
enum TExitStatus {
    kExitStopped = 0,     // stopped cleanly, or --list, --help, --version done
    kExitFailure = 1,     // anything else that ends it
    kExitUsage = 2,       // bad arguments
    kExitNoDriver = 3,    // the driver library cannot be loaded
    kExitNoDevice = 4,    // no device has that description
    kExitPortRefused = 5, // the port name is refused
};
} // namespace bridge

struct TBridgeOptions {
    enum class TMode { Run, List, Check, Help, Version };
    TMode Mode = TMode::Run;
    QString Device;
    // The board's serial number: it alone chooses the board; a description given too must be
    // that board's.
    QString Serial;
    // --list as JSON.
    bool Json = false;
    QString Port = QStringLiteral("COM8");
    // The driver library to load instead of libftd2xx.so (and the program's own driver).
    QString Driver;
    // The file the traffic lines are appended to; empty for none.
    QString Log;
    // stderr: errors only (Quiet); states and errors; the handshake's details too (Verbose).
    bool Quiet = false;
    bool Verbose = false;
    // A device not there at the start is waited for, the port made at once.
    bool Wait = false;
    // How long what a program wrote before it closed the port, and at a stop what programs
    // wrote, is kept for the device (as a UART's closing_wait).
    std::chrono::seconds ClosingWait{30};
    // --check: how long the board is measured (app/BoardCheck.h).
    std::chrono::seconds CheckSeconds{10};
};

namespace bridge
{
// --closing-wait's limit, an hour.
constexpr int kLongestClosingWait = 3600;
} // namespace bridge

// One line for each text: a list the link's state gives one a line goes on the same line. What
// the user gave (a name, a description) reaches the terminal escaped, never as a control sequence.
QString OneLine(QString Text);

class THeadlessBridge final : public QObject
{
    Q_OBJECT

public:
    // A line for stdout or stderr, without its end of line.
    using TOutput = std::function<void(const QString &Line)>;
    using TPriority = TJournalLines::TPriority;
    // A line for stderr with what it is: an error, a warning, a state, a detail.
    using TSay = std::function<void(TPriority Priority, const QString &Line)>;

    // Out gets the port's path; Say the state lines (timestamped, or marked for the journal, by
    // the caller: app/JournalLines.h). A null Control gives the real pty-backed control.
    THeadlessBridge(TBridgeOptions Options, TOutput Out, TSay Say,
                    std::unique_ptr<IVSPortAx> Control = nullptr);
    // The same for a Say that takes every line alike.
    THeadlessBridge(TBridgeOptions Options, TOutput Out, TOutput Say,
                    std::unique_ptr<IVSPortAx> Control = nullptr);
    ~THeadlessBridge() override;

    // --list: the devices the driver library sees, one a line on Out (DeviceListing.h), or as
    // JSON. The exit status: 0 also when there is none, which is said on Say.
    int List();
    // Opens the device, creates the port, announces its path and bridges from then on, at every
    // turn of the event loop's timer. kExitStopped while it bridges, else the exit status.
    int Start();
    // The first of the signals that end the program: bridging goes on until what programs wrote
    // has reached the device, or the closing wait is over, and then Drained is emitted (at once
    // without a closing wait; otherwise after the port has been looked at for kStopSettle).
    void Finish();
    // Retires the link, which closes the device, and removes the port; the end of this bridge.
    // Says how many bytes programs wrote that never reached the device.
    void Stop();
    // From now on the bytes that move are written to File, at every tick and at the end; a File
    // moved away or deleted is noticed within a second and opened again.
    void LogTraffic(std::unique_ptr<TTrafficFile> File);
    // SIGUSR1: the log file opened again, as it is now at its path (after logrotate's rename).
    void ReopenLog();

    const TLinkState &State() const { return FBridge.State(); }
    const TBridge &Bridge() const { return FBridge; }
    QString PortPath() const;

signals:
    void Drained();

private:
    void Tick();
    // Says once, after Finish, how many bytes programs wrote still go to the device.
    void SayStopping();
    // Nothing for the cycle to do until a program opens the port or the device is lost: the
    // cycle may turn less often.
    bool Idle() const;
    // A state (or, with Priority, a detail); said unless quiet.
    void Inform(const QString &Text, TPriority Priority = TPriority::Info);
    // Something dropped, or a fault worked around; always said.
    void Warn(const QString &Text);
    // An error; always said.
    void Fail(const QString &Text);
    // For --serial or --device, before anything is opened: the device named is there, by the
    // text shown for it (as --list prints it) or by its bytes; for --serial, it is the --device
    // given, if any. Its description and serial number go into FDescription and FSerial, their
    // shown text into FOptions.Device. kExitStopped, else the exit status; a description that
    // names no device present is left to the link to look for.
    int FindDevice();
    void ReportPort(TPortKeeper::TKept Kept);
    void WriteTraffic(bool All);

    TBridgeOptions FOptions;
    // The device's description and serial number as the driver gives their bytes (not always
    // UTF-8), once FindDevice found them; as given until then.
    std::string FDescription;
    std::string FSerial;
    TOutput FOut;
    TSay FSay;
    std::unique_ptr<IVSPortAx> FControl;
    std::unique_ptr<TPortKeeper> FKeeper;
    TBridge FBridge;
    std::unique_ptr<TSSCClass> FLink;
    std::unique_ptr<TTrafficFile> FTrafficFile;
    QTimer FTimer;
    // USB devices that appear, for a lost board to be reopened at once; from Start on.
    std::unique_ptr<TDeviceArrivals> FArrivals;
    QString FShownStatus;
    bool FPortFailing = false;
    // The port's path went out on stdout.
    bool FAnnounced = false;
    // Since Finish: until when what programs wrote may still go to the device.
    std::optional<std::chrono::steady_clock::time_point> FFinishBy;
    // Since Finish: until when nothing waiting is not yet taken for nothing written.
    std::chrono::steady_clock::time_point FSettleUntil;
    bool FStoppingSaid = false;
};
