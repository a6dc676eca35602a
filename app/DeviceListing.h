// The devices as velmor-bridge --list shows them, and what both programs say when several boards
// share one description.
//
//     SSC Simulator  SIM000  0x11  openable
//     SSC Simulator  SIM001  0x12  openable
//     Dual RS232-HS A  -     -     not openable: no permission: udev rule 70-velmor-ssc.rules
//
// What the driver gave (description, serial number, reason) is shown escaped (device/ShownText.h):
// "new\nline", "\u202eevil.exe", "caf\xe9"; that text is what --device and --serial take.
//
// --list --json gives the same as an array of objects {"description", "serial", "location",
// "usb_path", "openable", "reason", "device_argument", "serial_argument"}; a serial number or
// location the driver does not give is null, the location a number, the USB port path ("1-2.4",
// app/UsbPath.h) null where it cannot be told, the reason "" for a device that can be opened.
// "description" and "serial" are the driver's text (UTF-8 when it is that, else each byte as
// Latin-1); "device_argument" and "serial_argument" the escaped text to pass to --device and
// --serial, which names the bytes exactly. Characters a terminal would act on are written as
// JSON's \uHHHH in any string.
#pragma once

#include "device/DeviceList.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

// The driver's 8-bit text as text: UTF-8 when it is that, else each byte as Latin-1, so that no
// byte is lost or replaced.
QString DriverText(const std::string &Text);

// One line a device, in columns: description, serial number, location ID, whether it can be
// opened and why not. What the driver gave is shown escaped, never as a control sequence.
QStringList DeviceLines(const std::vector<TDeviceEntry> &Entries);

// The devices as a JSON array, indented, ending with a newline.
QByteArray DevicesJson(const std::vector<TDeviceEntry> &Entries);

// When Twins (the devices that share the chosen description) are two or more: which one is in
// use (UsedSerial; empty when the driver gives no serial numbers, nothing when the link could not
// open it) and how to choose another. Empty otherwise.
QString TwinsNote(const std::string &Description, const std::vector<TDeviceEntry> &Twins,
                  const std::optional<std::string> &UsedSerial);
