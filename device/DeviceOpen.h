// Bringing a device up for the link, a straight ladder: bind the driver library and its entry
// points, open the device by its description or its serial number, configure the chip for
// MPSSE. Each failed step has its own outcome (TInitOutcome) and message. The set-up commands
// that follow go out through the link's timed write.
#pragma once

#include "device/D2xx.h"
#include "device/LinkState.h"
#include "device/SscProtocol.h"

#include <string>

namespace ssc
{

constexpr unsigned char kLatencyMs = 1;
constexpr d2xx::ULONG kDriverTimeoutMs = 50;

// Loads Library (LibraryFile as TD2xxLibrary::Load has it), binds it and opens the device whose
// description or serial number (By) is Key into Device, configured. True on FAILURE, with Outcome
// naming the step that failed and Say told why; Device is then left as it was.
bool OpenDevice(d2xx::TD2xxLibrary &Library, std::string &LibraryFile, const std::string &Key,
                d2xx::DWORD By, d2xx::FT_HANDLE &Device, TInitOutcome &Outcome, const TSay &Say);

// Whether the open device is one of the H chips, as the driver's FT_GetDeviceInfo tells; false
// where the driver has no FT_GetDeviceInfo or it fails.
bool IsHighSpeedChip(const d2xx::TD2xxTable &Driver, d2xx::FT_HANDLE Device);

} // namespace ssc
