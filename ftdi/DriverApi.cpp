// D2XX's entry points over libftdi1, as the program binds them from libftd2xx-ftdi1.so. A handle
// is an open FtdiChannel, known by the live set below; calls on different channels never wait
// for each other.

#include "device/D2xx.h"
#include "ftdi/FtdiBus.h"
#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

using d2xx::DWORD;
using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;
using d2xx::UCHAR;
using d2xx::ULONG;

#define FTDI1_EXPORT __attribute__((visibility("default")))

extern "C" {
FTDI1_EXPORT FT_STATUS FT_OpenEx(void *pArg1, DWORD Flags, FT_HANDLE *pHandle);
FTDI1_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency);
FTDI1_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FTDI1_EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable);
FTDI1_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes,
                                    DWORD *dwEventDWord);
FTDI1_EXPORT FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags);
FTDI1_EXPORT FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead,
                               DWORD *lpBytesReturned);
FTDI1_EXPORT FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite,
                                DWORD *lpBytesWritten);
FTDI1_EXPORT FT_STATUS FT_Close(FT_HANDLE ftHandle);
}

// The program binds these with the driver's own signatures: any drift is a build error here.
static_assert(std::is_same_v<decltype(&FT_OpenEx), d2xx::FT_OpenEx_t>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), d2xx::FT_SetLatencyTimer_t>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), d2xx::FT_SetTimeouts_t>);
static_assert(std::is_same_v<decltype(&FT_SetBitMode), d2xx::FT_SetBitMode_t>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), d2xx::FT_GetStatus_t>);
static_assert(std::is_same_v<decltype(&FT_ListDevices), d2xx::FT_ListDevices_t>);
static_assert(std::is_same_v<decltype(&FT_Read), d2xx::FT_Read_t>);
static_assert(std::is_same_v<decltype(&FT_Write), d2xx::FT_Write_t>);
static_assert(std::is_same_v<decltype(&FT_Close), d2xx::FT_Close_t>);

namespace
{

using ftdi1::FtdiChannel;

constexpr DWORD kListDescriptionByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION;
constexpr DWORD kListSerialByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER;
constexpr DWORD kListLocationByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_LOCATION;

// The open channels by handle.
std::mutex LiveMutex;
std::map<const void *, std::shared_ptr<FtdiChannel>> Live;

std::shared_ptr<FtdiChannel> Find(FT_HANDLE handle)
{
    std::lock_guard lock(LiveMutex);
    const auto found = Live.find(handle);
    return found == Live.end() ? nullptr : found->second;
}

// Copies `text` into a list buffer of `size` bytes (64 for a description, 16 for a serial number);
// text that fills it gets no NUL, as D2XX leaves it.
void CopyListEntry(const std::string &text, void *buffer, std::size_t size)
{
    const std::size_t length = std::min(text.size(), size);
    std::memcpy(buffer, text.data(), length);
    if (length < size)
        static_cast<char *>(buffer)[length] = '\0';
}

} // namespace

FT_STATUS FT_OpenEx(void *pArg1, DWORD Flags, FT_HANDLE *pHandle)
{
    if (pArg1 == nullptr || pHandle == nullptr ||
        (Flags != d2xx::FT_OPEN_BY_DESCRIPTION && Flags != d2xx::FT_OPEN_BY_SERIAL_NUMBER))
        return d2xx::FT_INVALID_PARAMETER;
    const std::string key = static_cast<const char *>(pArg1);
    const bool bySerial = Flags == d2xx::FT_OPEN_BY_SERIAL_NUMBER;
    std::vector<ftdi1::Channel> channels;
    if (!ftdi1::ListChannels(channels))
        return d2xx::FT_IO_ERROR;
    // An empty serial number is a blank EEPROM's, never a choice.
    const auto channel = std::find_if(channels.begin(), channels.end(), [&](const auto &each) {
        return bySerial ? !each.serial.empty() && each.serial == key : each.description == key;
    });
    if (channel == channels.end())
        return d2xx::FT_DEVICE_NOT_FOUND;
    if (!channel->accessible)
        return d2xx::FT_DEVICE_NOT_OPENED;
    std::string why;
    ftdi_context *context = ftdi1::OpenChannel(*channel, why);
    if (context == nullptr) {
        // D2XX has no way to say why; a program run from a terminal shows it there.
        std::fprintf(stderr, "libftd2xx-ftdi1: cannot open \"%s\": %s\n", key.c_str(), why.c_str());
        return d2xx::FT_DEVICE_NOT_OPENED;
    }
    auto open = std::make_shared<FtdiChannel>(context);
    if (!open->Start()) {
        open->Close();
        return d2xx::FT_DEVICE_NOT_OPENED;
    }
    {
        std::lock_guard lock(LiveMutex);
        Live.emplace(open.get(), open);
    }
    *pHandle = open.get();
    return d2xx::FT_OK;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency)
{
    const auto channel = Find(ftHandle);
    return channel ? channel->SetLatencyTimer(ucLatency) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    const auto channel = Find(ftHandle);
    return channel ? channel->SetTimeouts(ReadTimeout, WriteTimeout) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    const auto channel = Find(ftHandle);
    return channel ? channel->SetBitMode(ucMask, ucEnable) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes, DWORD *dwEventDWord)
{
    const auto channel = Find(ftHandle);
    if (!channel)
        return d2xx::FT_INVALID_HANDLE;
    if (dwRxBytes == nullptr || dwTxBytes == nullptr || dwEventDWord == nullptr)
        return d2xx::FT_INVALID_PARAMETER;
    const FT_STATUS status = channel->GetStatus(*dwRxBytes, *dwTxBytes);
    if (status == d2xx::FT_OK)
        *dwEventDWord = 0;
    return status;
}

FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    if (Flags != d2xx::FT_LIST_NUMBER_ONLY && Flags != kListDescriptionByIndex &&
        Flags != kListSerialByIndex && Flags != kListLocationByIndex)
        return d2xx::FT_INVALID_PARAMETER;
    if (Flags == d2xx::FT_LIST_NUMBER_ONLY ? pArg1 == nullptr : pArg2 == nullptr)
        return d2xx::FT_INVALID_PARAMETER;
    std::vector<ftdi1::Channel> channels;
    if (!ftdi1::ListChannels(channels))
        return d2xx::FT_IO_ERROR;
    if (Flags == d2xx::FT_LIST_NUMBER_ONLY) {
        *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(channels.size());
        return d2xx::FT_OK;
    }
    // By index, the index itself travels in the pointer argument.
    const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
    if (index >= channels.size())
        return d2xx::FT_DEVICE_NOT_FOUND;
    const ftdi1::Channel &channel = channels[index];
    if (Flags == kListDescriptionByIndex)
        CopyListEntry(channel.description, pArg2, d2xx::kDescriptionSize);
    else if (Flags == kListSerialByIndex)
        CopyListEntry(channel.serial, pArg2, d2xx::kSerialNumberSize);
    else
        *static_cast<DWORD *>(pArg2) = channel.location;
    return d2xx::FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned)
{
    const auto channel = Find(ftHandle);
    if (!channel)
        return d2xx::FT_INVALID_HANDLE;
    if (lpBytesReturned == nullptr || (lpBuffer == nullptr && dwBytesToRead > 0))
        return d2xx::FT_INVALID_PARAMETER;
    return channel->Read(static_cast<std::uint8_t *>(lpBuffer), dwBytesToRead, *lpBytesReturned);
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)
{
    const auto channel = Find(ftHandle);
    if (!channel)
        return d2xx::FT_INVALID_HANDLE;
    if (lpBytesWritten == nullptr || (lpBuffer == nullptr && dwBytesToWrite > 0))
        return d2xx::FT_INVALID_PARAMETER;
    return channel->Write(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite,
                          *lpBytesWritten);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    std::shared_ptr<FtdiChannel> channel;
    {
        std::lock_guard lock(LiveMutex);
        const auto found = Live.find(ftHandle);
        if (found == Live.end())
            return d2xx::FT_INVALID_HANDLE;
        channel = std::move(found->second);
        Live.erase(found);
    }
    return channel->Close();
}
