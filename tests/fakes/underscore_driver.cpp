// A driver library whose entry points carry a leading underscore, as some builds export them.
// Every call fails, so a test can tell that the link bound and called it.
#include "device/D2xx.h"

using namespace d2xx;

#define UNDERSCORED(name) __asm__("_" #name) __attribute__((visibility("default")))

extern "C" {
FT_STATUS OpenEx(void *, DWORD, FT_HANDLE *) UNDERSCORED(FT_OpenEx);
FT_STATUS SetLatencyTimer(FT_HANDLE, UCHAR) UNDERSCORED(FT_SetLatencyTimer);
FT_STATUS SetTimeouts(FT_HANDLE, ULONG, ULONG) UNDERSCORED(FT_SetTimeouts);
FT_STATUS SetBitMode(FT_HANDLE, UCHAR, UCHAR) UNDERSCORED(FT_SetBitMode);
FT_STATUS GetStatus(FT_HANDLE, DWORD *, DWORD *, DWORD *) UNDERSCORED(FT_GetStatus);
FT_STATUS ListDevices(void *, void *, DWORD) UNDERSCORED(FT_ListDevices);
FT_STATUS Read(FT_HANDLE, void *, DWORD, DWORD *) UNDERSCORED(FT_Read);
FT_STATUS Write(FT_HANDLE, void *, DWORD, DWORD *) UNDERSCORED(FT_Write);
FT_STATUS Close(FT_HANDLE) UNDERSCORED(FT_Close);

FT_STATUS OpenEx(void *, DWORD, FT_HANDLE *)
{
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS SetLatencyTimer(FT_HANDLE, UCHAR)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS SetTimeouts(FT_HANDLE, ULONG, ULONG)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS SetBitMode(FT_HANDLE, UCHAR, UCHAR)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS GetStatus(FT_HANDLE, DWORD *, DWORD *, DWORD *)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS ListDevices(void *pArg1, void *, DWORD Flags)
{
    if (Flags != FT_LIST_NUMBER_ONLY)
        return FT_INVALID_PARAMETER;
    *static_cast<DWORD *>(pArg1) = 0;
    return FT_OK;
}
FT_STATUS Read(FT_HANDLE, void *, DWORD, DWORD *)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS Write(FT_HANDLE, void *, DWORD, DWORD *)
{
    return FT_INVALID_HANDLE;
}
FT_STATUS Close(FT_HANDLE)
{
    return FT_INVALID_HANDLE;
}
}
