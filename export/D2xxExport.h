// What every driver library of ours exports: D2XX's nine entry points, declared from the one list
// in device/D2xx.h and written once here over a driver's own open devices. sim/ (the simulated
// chip) and ftdi/ (libftdi1) each give a driver type and expand VELMOR_D2XX_EXPORTS with it.
//
// A handle is the address of an open device, known by the driver's live set: a handle that is not
// in it, closed or never opened, gets FT_INVALID_HANDLE and is never followed. Calls on different
// devices never wait for each other.
//
// A driver type gives:
//   using TOpen = ...;                                       the open device
//   static THandles<TOpen> &Live();                          its live set
//   static FT_STATUS Open(const std::string &key, bool bySerial, std::shared_ptr<TOpen> &open);
//                                                            opens and adds it to the live set
//   static std::shared_ptr<TOpen> Remove(FT_HANDLE handle);  takes it out of the live set
//   static FT_STATUS Close(TOpen &open);                     closes what Remove took out
//   static FT_STATUS List(std::vector<TListed> &listed);     the devices as FT_ListDevices shows
// and TOpen the calls SetLatencyTimer, SetTimeouts, SetBitMode, GetStatus(rx, tx),
// Read(out, count, got) and Write(data, count, written).
#pragma once

#include "device/D2xx.h"
#include "export/D2xxHandles.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using d2xx::DWORD;
using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;
using d2xx::UCHAR;
using d2xx::ULONG;

#define VELMOR_D2XX_EXPORT __attribute__((visibility("default")))

extern "C" {
#define VELMOR_D2XX_DECLARE(Name, Parameters) VELMOR_D2XX_EXPORT FT_STATUS Name Parameters;
VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_DECLARE)
#undef VELMOR_D2XX_DECLARE
}

// The program binds these with the driver's own signatures: any drift is a build error here.
#define VELMOR_D2XX_CHECK(Name, Parameters)                                                        \
    static_assert(std::is_same_v<decltype(&Name), d2xx::Name##_t>, #Name);
VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_CHECK)
#undef VELMOR_D2XX_CHECK

namespace d2xx::exports
{

constexpr DWORD kListDescriptionByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION;
constexpr DWORD kListSerialByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;
constexpr DWORD kListLocationByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION;

// Copies `text` into a list buffer of `size` bytes (64 for a description, 16 for a serial number);
// text that fills it gets no NUL, as D2XX leaves it: the program has to cope with that.
inline void CopyListEntry(const std::string &text, void *buffer, std::size_t size)
{
    const std::size_t length = std::min(text.size(), size);
    std::memcpy(buffer, text.data(), length);
    if (length < size)
        static_cast<char *>(buffer)[length] = '\0';
}

template <typename TDriver> struct TExports {
    static FT_STATUS OpenEx(void *pArg1, DWORD Flags, FT_HANDLE *pHandle)
    {
        if (pArg1 == nullptr || pHandle == nullptr ||
            (Flags != FT_OPEN_BY_DESCRIPTION && Flags != FT_OPEN_BY_SERIAL_NUMBER))
            return FT_INVALID_PARAMETER;
        std::shared_ptr<typename TDriver::TOpen> open;
        const FT_STATUS status = TDriver::Open(static_cast<const char *>(pArg1),
                                               Flags == FT_OPEN_BY_SERIAL_NUMBER, open);
        if (status == FT_OK)
            *pHandle = open.get();
        return status;
    }

    static FT_STATUS SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        return open ? open->SetLatencyTimer(ucLatency) : FT_INVALID_HANDLE;
    }

    static FT_STATUS SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        return open ? open->SetTimeouts(ReadTimeout, WriteTimeout) : FT_INVALID_HANDLE;
    }

    static FT_STATUS SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        return open ? open->SetBitMode(ucMask, ucEnable) : FT_INVALID_HANDLE;
    }

    static FT_STATUS GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes,
                               DWORD *dwEventDWord)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        if (!open)
            return FT_INVALID_HANDLE;
        if (dwRxBytes == nullptr || dwTxBytes == nullptr || dwEventDWord == nullptr)
            return FT_INVALID_PARAMETER;
        const FT_STATUS status = open->GetStatus(*dwRxBytes, *dwTxBytes);
        if (status == FT_OK)
            *dwEventDWord = 0;
        return status;
    }

    static FT_STATUS ListDevices(void *pArg1, void *pArg2, DWORD Flags)
    {
        if (Flags != FT_LIST_NUMBER_ONLY && Flags != kListDescriptionByIndex &&
            Flags != kListSerialByIndex && Flags != kListLocationByIndex)
            return FT_INVALID_PARAMETER;
        if (Flags == FT_LIST_NUMBER_ONLY ? pArg1 == nullptr : pArg2 == nullptr)
            return FT_INVALID_PARAMETER;
        std::vector<TListed> devices;
        if (const FT_STATUS status = TDriver::List(devices); status != FT_OK)
            return status;
        if (Flags == FT_LIST_NUMBER_ONLY) {
            *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(devices.size());
            return FT_OK;
        }
        // By index, the index itself travels in the pointer argument.
        const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
        if (index >= devices.size())
            return FT_DEVICE_NOT_FOUND;
        const TListed &device = devices[index];
        if (Flags == kListDescriptionByIndex)
            CopyListEntry(device.Description, pArg2, kDescriptionSize);
        else if (Flags == kListSerialByIndex)
            CopyListEntry(device.Serial, pArg2, kSerialNumberSize);
        else
            *static_cast<DWORD *>(pArg2) = device.Location;
        return FT_OK;
    }

    static FT_STATUS Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead,
                          DWORD *lpBytesReturned)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        if (!open)
            return FT_INVALID_HANDLE;
        if (lpBytesReturned == nullptr || (lpBuffer == nullptr && dwBytesToRead > 0))
            return FT_INVALID_PARAMETER;
        return open->Read(static_cast<std::uint8_t *>(lpBuffer), dwBytesToRead, *lpBytesReturned);
    }

    static FT_STATUS Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite,
                           DWORD *lpBytesWritten)
    {
        const auto open = TDriver::Live().Find(ftHandle);
        if (!open)
            return FT_INVALID_HANDLE;
        if (lpBytesWritten == nullptr || (lpBuffer == nullptr && dwBytesToWrite > 0))
            return FT_INVALID_PARAMETER;
        return open->Write(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite,
                           *lpBytesWritten);
    }

    static FT_STATUS Close(FT_HANDLE ftHandle)
    {
        const auto open = TDriver::Remove(ftHandle);
        return open ? TDriver::Close(*open) : FT_INVALID_HANDLE;
    }
};

} // namespace d2xx::exports

// The nine exported functions over `Driver`; expanded once, at global scope, in the library's
// own source file.
#define VELMOR_D2XX_EXPORTS(Driver)                                                                \
    FT_STATUS FT_OpenEx(void *pArg1, DWORD Flags, FT_HANDLE *pHandle)                              \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::OpenEx(pArg1, Flags, pHandle);                     \
    }                                                                                              \
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency)                              \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::SetLatencyTimer(ftHandle, ucLatency);              \
    }                                                                                              \
    FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)            \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::SetTimeouts(ftHandle, ReadTimeout, WriteTimeout);  \
    }                                                                                              \
    FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)                      \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::SetBitMode(ftHandle, ucMask, ucEnable);            \
    }                                                                                              \
    FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes,                 \
                           DWORD *dwEventDWord)                                                    \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::GetStatus(ftHandle, dwRxBytes, dwTxBytes,          \
                                                          dwEventDWord);                           \
    }                                                                                              \
    FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)                                \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::ListDevices(pArg1, pArg2, Flags);                  \
    }                                                                                              \
    FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead,                     \
                      DWORD *lpBytesReturned)                                                      \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::Read(ftHandle, lpBuffer, dwBytesToRead,            \
                                                     lpBytesReturned);                             \
    }                                                                                              \
    FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite,                   \
                       DWORD *lpBytesWritten)                                                      \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::Write(ftHandle, lpBuffer, dwBytesToWrite,          \
                                                      lpBytesWritten);                             \
    }                                                                                              \
    FT_STATUS FT_Close(FT_HANDLE ftHandle)                                                         \
    {                                                                                              \
        return d2xx::exports::TExports<Driver>::Close(ftHandle);                                   \
    }
