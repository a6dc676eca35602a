// D2XX's entry points, as the program binds them from libftd2xx.so. Each one finds the chip
// behind the handle among the live ones and lets it do the work; the chip keeps its own lock,
// so calls on different chips never wait for each other.

#include "device/D2xx.h"
#include "sim/Board.h"
#include "sim/MpsseChip.h"
#include "sim/SimControl.h"

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

extern "C" {
#define VSIM_DECLARE(Name, Parameters) VSIM_EXPORT FT_STATUS Name Parameters;
VELMOR_D2XX_ENTRY_POINTS(VSIM_DECLARE)
#undef VSIM_DECLARE
}

// The program binds these with the driver's own signatures: any drift is a build error here.
#define VSIM_CHECK(Name, Parameters)                                                               \
    static_assert(std::is_same_v<decltype(&Name), d2xx::Name##_t>, #Name);
VELMOR_D2XX_ENTRY_POINTS(VSIM_CHECK)
#undef VSIM_CHECK

namespace
{

using vsim::Board;
using vsim::Chip;

constexpr DWORD kListDescriptionByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION;
constexpr DWORD kListSerialByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER;
constexpr DWORD kListLocationByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_LOCATION;

std::shared_ptr<Chip> Live(FT_HANDLE handle)
{
    return Board::Instance().Find(handle);
}

// Copies `text` into a list buffer of `size` bytes. Text that fills the buffer gets no NUL, as a
// careless driver leaves it: the program has to cope with that.
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
    if (pArg1 == nullptr || pHandle == nullptr)
        return d2xx::FT_INVALID_PARAMETER;
    if (Flags != d2xx::FT_OPEN_BY_DESCRIPTION && Flags != d2xx::FT_OPEN_BY_SERIAL_NUMBER)
        return d2xx::FT_INVALID_PARAMETER;
    std::shared_ptr<Chip> chip;
    const FT_STATUS status = Board::Instance().Open(static_cast<const char *>(pArg1),
                                                    Flags == d2xx::FT_OPEN_BY_SERIAL_NUMBER, chip);
    if (status == d2xx::FT_OK)
        *pHandle = chip.get();
    return status;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency)
{
    const auto chip = Live(ftHandle);
    return chip ? chip->SetLatencyTimer(ucLatency) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    const auto chip = Live(ftHandle);
    return chip ? chip->SetTimeouts(ReadTimeout, WriteTimeout) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable)
{
    const auto chip = Live(ftHandle);
    return chip ? chip->SetBitMode(ucMask, ucEnable) : d2xx::FT_INVALID_HANDLE;
}

FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD *dwRxBytes, DWORD *dwTxBytes, DWORD *dwEventDWord)
{
    const auto chip = Live(ftHandle);
    if (!chip)
        return d2xx::FT_INVALID_HANDLE;
    if (dwRxBytes == nullptr || dwTxBytes == nullptr || dwEventDWord == nullptr)
        return d2xx::FT_INVALID_PARAMETER;
    const FT_STATUS status = chip->GetStatus(*dwRxBytes, *dwTxBytes);
    if (status == d2xx::FT_OK)
        *dwEventDWord = 0;
    return status;
}

FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags)
{
    const std::vector<Board::Listed> devices = Board::Instance().ListedDevices();
    if (Flags == d2xx::FT_LIST_NUMBER_ONLY) {
        if (pArg1 == nullptr)
            return d2xx::FT_INVALID_PARAMETER;
        *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(devices.size());
        return d2xx::FT_OK;
    }
    if (Flags != kListDescriptionByIndex && Flags != kListSerialByIndex &&
        Flags != kListLocationByIndex)
        return d2xx::FT_INVALID_PARAMETER;
    if (pArg2 == nullptr)
        return d2xx::FT_INVALID_PARAMETER;
    // By index, the index itself travels in the pointer argument.
    const auto index = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(pArg1));
    if (index >= devices.size())
        return d2xx::FT_DEVICE_NOT_FOUND;
    if (Flags == kListDescriptionByIndex)
        CopyListEntry(devices[index].description, pArg2, d2xx::kDescriptionSize);
    else if (Flags == kListSerialByIndex)
        CopyListEntry(devices[index].serial, pArg2, d2xx::kSerialNumberSize);
    else
        *static_cast<DWORD *>(pArg2) = devices[index].location;
    return d2xx::FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned)
{
    const auto chip = Live(ftHandle);
    if (!chip)
        return d2xx::FT_INVALID_HANDLE;
    if (lpBytesReturned == nullptr || (lpBuffer == nullptr && dwBytesToRead > 0))
        return d2xx::FT_INVALID_PARAMETER;
    return chip->Read(static_cast<std::uint8_t *>(lpBuffer), dwBytesToRead, *lpBytesReturned);
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)
{
    const auto chip = Live(ftHandle);
    if (!chip)
        return d2xx::FT_INVALID_HANDLE;
    if (lpBytesWritten == nullptr || (lpBuffer == nullptr && dwBytesToWrite > 0))
        return d2xx::FT_INVALID_PARAMETER;
    return chip->Write(static_cast<const std::uint8_t *>(lpBuffer), dwBytesToWrite,
                       *lpBytesWritten);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    const auto chip = Board::Instance().Remove(ftHandle);
    if (!chip)
        return d2xx::FT_INVALID_HANDLE;
    chip->MarkClosed();
    return Board::Instance().ForCall().unplugged ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}
