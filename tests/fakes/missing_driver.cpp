// A driver library that lacks FT_Write: the binding must name it and look no further.
#include "device/D2xx.h"

using namespace d2xx;

#define EXPORT __attribute__((visibility("default")))

extern "C" {
EXPORT FT_STATUS FT_OpenEx(void *, DWORD, FT_HANDLE *)
{
    return FT_DEVICE_NOT_FOUND;
}
EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE, UCHAR)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE, ULONG, ULONG)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_SetBitMode(FT_HANDLE, UCHAR, UCHAR)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_GetStatus(FT_HANDLE, DWORD *, DWORD *, DWORD *)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_ListDevices(void *, void *, DWORD)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_Read(FT_HANDLE, void *, DWORD, DWORD *)
{
    return FT_OK;
}
EXPORT FT_STATUS FT_Close(FT_HANDLE)
{
    return FT_OK;
}
}
