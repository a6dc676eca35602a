// The devices the driver library sees, each as far as the driver tells it apart: description,
// serial number, location ID, and whether the program can open it.
//
// Only the nine bound entry points are used: FT_ListDevices by index gives the description, the
// serial number (FT_OPEN_BY_SERIAL_NUMBER) and the location ID (FT_OPEN_BY_LOCATION); a driver
// that does not answer one of the last two forms simply leaves that field unknown.
//
// Whether a device can be opened is taken from the listing alone, never by opening it (that would
// take a chip away from whoever uses it). A driver that cannot read a chip lists it with no serial
// number and its reason in parentheses at the end of the description, as libftd2xx-ftdi1.so does
// ("Dual RS232-HS A (no permission: udev rule 70-velmor-ssc.rules)"); a device with neither
// description nor serial number cannot be chosen by either.
#pragma once

#include "device/D2xx.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TDeviceEntry {
    // The description to open it by; without the reason when it cannot be opened.
    std::string Description;
    // Unknown when the driver does not list serial numbers or location IDs.
    std::optional<std::string> Serial;
    std::optional<std::uint32_t> Location;
    bool Openable = true;
    // Why it cannot be opened; empty when it can.
    std::string Reason;

    bool operator==(const TDeviceEntry &) const = default;
};

// Walks the devices through the table's FT_ListDevices, in the driver's order, handing Each every
// device's index and description. True on FAILURE (as the link's ListDevices): the table has no
// FT_ListDevices, or the count or a description cannot be had; the devices already handed on
// stay handed on.
bool ForEachDevice(
    const d2xx::TD2xxTable &Table,
    const std::function<void(d2xx::DWORD Index, const std::string &Description)> &Each);

// Lists the devices as ForEachDevice walks them, each with its serial number and location ID as
// far as the driver tells them. True on FAILURE, as ForEachDevice; the entries already listed stay.
bool ListDeviceEntries(const d2xx::TD2xxTable &Table, std::vector<TDeviceEntry> &Entries);

// One device as the driver listed it: the description taken apart from the reason it gives for a
// device it cannot read.
TDeviceEntry ListedDevice(const std::string &Description, std::optional<std::string> Serial,
                          std::optional<std::uint32_t> Location);

// The entries whose description is `Description`, in list order.
std::vector<TDeviceEntry> WithDescription(const std::vector<TDeviceEntry> &Entries,
                                          const std::string &Description);

// The entry with serial number `Serial`, or nothing.
std::optional<TDeviceEntry> WithSerial(const std::vector<TDeviceEntry> &Entries,
                                       const std::string &Serial);

// The first entry whose description a user named by Given: as the program shows it
// (shown::ShownText, as velmor-bridge --list prints it), else by its very bytes. Nothing when no
// entry's is named so. The shown form is tried first because it is what the program hands out:
// only it tells "a\nb" (a line feed) from "a\\nb" (a backslash and an n).
std::optional<TDeviceEntry> NamedByDescription(const std::vector<TDeviceEntry> &Entries,
                                               const std::string &Given);
// The same for a serial number.
std::optional<TDeviceEntry> NamedBySerial(const std::vector<TDeviceEntry> &Entries,
                                          const std::string &Given);
