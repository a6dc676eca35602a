#include "device/DeviceOpen.h"

#include "device/ShownText.h"

using namespace d2xx;

namespace ssc
{

bool OpenDevice(TD2xxLibrary &Library, std::string &LibraryFile, const std::string &Key, DWORD By,
                FT_HANDLE &Device, TInitOutcome &Outcome, const TSay &Say)
{
    // Bind the driver library and its entry points.
    std::string why;
    Library.Load(LibraryFile, &why);
    if (!Library.Loaded()) {
        Outcome = TInitOutcome::LibraryMissing;
        Say(TLinkEventKind::Error, "Can not load " + LibraryFile + (why.empty() ? "" : ": " + why));
        return true;
    }
    if (const std::string missing = Library.Bind(); !missing.empty()) {
        Outcome = TInitOutcome::EntryPointMissing;
        Say(TLinkEventKind::Error, "Missing " + missing);
        return true;
    }
    const TD2xxTable &driver = Library.Entries();

    // Open the device by its description, or by its serial number.
    FT_HANDLE handle = nullptr;
    if (driver.FT_OpenEx(const_cast<char *>(Key.c_str()), By, &handle) != FT_OK) {
        Outcome = TInitOutcome::DeviceNotFound;
        // Opened without a description, the link only binds the library for listing the
        // devices: that no device has the empty one is a step, not an error (the log shows it
        // as a note). The key is the driver's or the user's bytes: shown escaped, never acting
        // on the text.
        const bool listing = By == FT_OPEN_BY_DESCRIPTION && Key.empty();
        Say(listing ? TLinkEventKind::Detail : TLinkEventKind::Error,
            (By == FT_OPEN_BY_SERIAL_NUMBER ? "Error in FT_OpenEx SerialNumber:"
                                            : "Error in FT_OpenEx DeviceDescr:") +
                shown::ShownText(Key));
        return true;
    }
    Device = handle;

    // Configure the chip for MPSSE; the results tell nothing the set-up write won't.
    driver.FT_SetLatencyTimer(Device, kLatencyMs);
    driver.FT_SetBitMode(Device, 0x00, FT_BITMODE_RESET);
    driver.FT_SetBitMode(Device, 0x00, FT_BITMODE_MPSSE);
    driver.FT_SetTimeouts(Device, kDriverTimeoutMs, kDriverTimeoutMs);
    return false;
}

bool IsHighSpeedChip(const TD2xxTable &Driver, FT_HANDLE Device)
{
    if (Driver.FT_GetDeviceInfo == nullptr)
        return false;
    FT_DEVICE type = 0;
    DWORD id = 0;
    char serial[kSerialNumberSize] = {};
    char description[kDescriptionSize] = {};
    return Driver.FT_GetDeviceInfo(Device, &type, &id, serial, description, nullptr) == FT_OK &&
           d2xx::IsHighSpeedChip(type);
}

} // namespace ssc
