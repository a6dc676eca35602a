// velmor-bridge: the bridge without the window, for test rigs and machines with no display. The
// same port keeping and the same cycle as the window's, on a 10 ms timer of the event loop.
//
//     velmor-bridge --list [--json]
//     velmor-bridge --device DESCRIPTION [--port NAME] [--quiet] [--driver FILE]
//     velmor-bridge --serial SERIAL [--device DESCRIPTION] ...
//
// stdout carries one line only, the full path of the port once it is ready (or, for --list, the
// devices); stderr one timestamped line for each change of state and each message of the link.
#pragma once

#include "app/Bridge.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class IVSPortAx;
class TPortKeeper;
class TSSCClass;

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
// The pauses before each attempt to reopen a device that was lost: then the last one, again.
constexpr std::chrono::milliseconds kReopenPauses[] = {
    std::chrono::milliseconds(500), std::chrono::milliseconds(1000),
    std::chrono::milliseconds(2000), std::chrono::milliseconds(4000)};
} // namespace bridge

struct TBridgeOptions {
    enum class TMode { Run, List, Help, Version };
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
    bool Quiet = false;
};

// The arguments after the program's name, as the bytes the program was given. Error is empty
// when they make sense; else Status is the exit status to end with (a port name that is not
// UTF-8 is refused as a port name).
TBridgeOptions ParseBridgeArguments(const QList<QByteArray> &Arguments, QString &Error,
                                    bridge::TExitStatus &Status);
QString BridgeUsage();

class THeadlessBridge final : public QObject
{
    Q_OBJECT

public:
    // A line for stdout or stderr, without its end of line.
    using TOutput = std::function<void(const QString &Line)>;

    // Out gets the port's path; Say the state lines (timestamped by the caller). A null Control
    // gives the real pty-backed control.
    THeadlessBridge(TBridgeOptions Options, TOutput Out, TOutput Say,
                    std::unique_ptr<IVSPortAx> Control = nullptr);
    ~THeadlessBridge() override;

    // --list: the devices the driver library sees, one a line on Out (DeviceListing.h), or as
    // JSON. The exit status: 0 also when there is none, which is said on Say.
    int List();
    // Opens the device, creates the port, announces its path and bridges from then on, at every
    // turn of the event loop's timer. kExitStopped while it bridges, else the exit status.
    int Start();
    // Retires the link, which closes the device, and removes the port; the end of this bridge.
    void Stop();

    const TLinkState &State() const { return FBridge.State(); }
    QString PortPath() const;

private:
    void Tick();
    void Inform(const QString &Text);
    void Warn(const QString &Text);
    // The device was lost: the link goes, its unsent bytes kept; a new one is tried later.
    void DeviceLost();
    void TryReopen();
    // For --serial, before anything is opened: the board is there, and is the --device given, if
    // any; its description goes into FOptions.Device. kExitStopped, else the exit status.
    int FindSerial();
    void ReportPort(int Kept);

    TBridgeOptions FOptions;
    TOutput FOut;
    TOutput FSay;
    std::unique_ptr<IVSPortAx> FControl;
    std::unique_ptr<TPortKeeper> FKeeper;
    TBridge FBridge;
    std::unique_ptr<TSSCClass> FLink;
    QTimer FTimer;
    TLinkPhase FShownPhase = TLinkPhase::NoDeviceChosen;
    QString FShownStatus;
    bool FPortFailing = false;
    // The port's path went out on stdout.
    bool FAnnounced = false;
    // While no link is open after a loss: the next attempt, and which pause it came after.
    bool FReopening = false;
    std::chrono::steady_clock::time_point FReopenAt;
    std::size_t FPause = 0;
};

// The whole program, once the application object exists: the exit status.
int RunHeadlessBridge(const QList<QByteArray> &Arguments);
