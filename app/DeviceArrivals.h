// Boards that come back: a watch on the USB devices that appear, so that a board replugged or
// powered again is reopened as soon as it is there, not at the next step of the bridge's ladder
// of pauses (app/Bridge.h).
//
// udev's monitor, as the udev daemon passes the kernel's events on (the device node then has
// its rules' owner and mode), filtered to whole USB devices; its socket is read in the owner's
// thread by the event loop. An "add" or a "bind" of a device with FTDI's vendor ID is an
// arrival. Where no monitor can be made (no udev, a sandbox without netlink sockets) Watching()
// is false, Problem() says why, and nothing arrives: the ladder alone reopens.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;
struct udev;
struct udev_monitor;

class TDeviceArrivals final : public QObject
{
    Q_OBJECT

public:
    explicit TDeviceArrivals(QObject *Parent = nullptr);
    ~TDeviceArrivals() override;

    bool Watching() const { return FMonitor != nullptr; }
    // Why there is no watch; empty while there is one.
    const QString &Problem() const { return FProblem; }

signals:
    // An FTDI device appeared (a board of ours or not).
    void Arrived();

private:
    // Takes every event that waits on the monitor's socket.
    void Read();

    struct udev *FUdev = nullptr;
    struct udev_monitor *FMonitor = nullptr;
    QSocketNotifier *FNotifier = nullptr;
    QString FProblem;
};
