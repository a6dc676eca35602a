// D2XX's entry points over libftdi1, as the program binds them from libftd2xx-ftdi1.so
// (export/D2xxExport.h writes them). A handle is an open TFtdiChannel, known by the live set
// below; calls on different channels never wait for each other.

#include "export/D2xxExport.h"
#include "ftdi/FtdiBus.h"
#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace
{

using ftdi1::TFtdiChannel;

struct TFtdi1Driver {
    using TOpen = TFtdiChannel;

    static d2xx::exports::THandles<TFtdiChannel> &Live()
    {
        static d2xx::exports::THandles<TFtdiChannel> live;
        return live;
    }

    static FT_STATUS Open(const std::string &Key, bool BySerial,
                          std::shared_ptr<TFtdiChannel> &Opened)
    {
        std::vector<ftdi1::TChannel> channels;
        if (!ftdi1::ListChannels(channels))
            return d2xx::FT_IO_ERROR;
        // An empty serial number is a blank EEPROM's, never a choice.
        const auto channel = std::find_if(channels.begin(), channels.end(), [&](const auto &Each) {
            return BySerial ? !Each.Serial.empty() && Each.Serial == Key : Each.Description == Key;
        });
        if (channel == channels.end())
            return d2xx::FT_DEVICE_NOT_FOUND;
        if (!channel->Accessible)
            return d2xx::FT_DEVICE_NOT_OPENED;
        std::string why;
        ftdi_context *context = ftdi1::OpenChannel(*channel, why);
        if (context == nullptr) {
            // D2XX has no way to say why; a program run from a terminal shows it there.
            std::fprintf(stderr, "libftd2xx-ftdi1: cannot open \"%s\": %s\n", Key.c_str(),
                         why.c_str());
            return d2xx::FT_DEVICE_NOT_OPENED;
        }
        Opened = std::make_shared<TFtdiChannel>(context, channel->Description);
        constexpr d2xx::DWORD kFtdiVendor = 0x0403;
        Opened->Identity = {kFtdiVendor << 16 | d2xx::DWORD(channel->Product), channel->Serial,
                            channel->Description};
        if (!Opened->Start()) {
            Opened->Close();
            return d2xx::FT_DEVICE_NOT_OPENED;
        }
        Live().Add(Opened);
        return d2xx::FT_OK;
    }

    static std::shared_ptr<TFtdiChannel> Remove(FT_HANDLE Handle) { return Live().Remove(Handle); }

    static FT_STATUS Close(TFtdiChannel &Channel) { return Channel.Close(); }

    static FT_STATUS List(std::vector<d2xx::exports::TListed> &Listed)
    {
        std::vector<ftdi1::TChannel> channels;
        if (!ftdi1::ListChannels(channels))
            return d2xx::FT_IO_ERROR;
        for (const ftdi1::TChannel &channel : channels)
            Listed.push_back({channel.Description, channel.Serial, channel.Location});
        return d2xx::FT_OK;
    }
};

} // namespace

VELMOR_D2XX_EXPORTS(TFtdi1Driver)

// The chip's type and USB identity; the serial number and description are the channel's, as
// FT_ListDevices gives them. Any pointer may be null.
extern "C" VELMOR_D2XX_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle,
                                                         d2xx::FT_DEVICE *lpftDevice, DWORD *lpdwID,
                                                         char *SerialNumber, char *Description,
                                                         void *)
{
    static_assert(std::is_same_v<decltype(&FT_GetDeviceInfo), d2xx::FT_GetDeviceInfo_t>);
    const auto open = TFtdi1Driver::Live().Find(ftHandle);
    if (!open)
        return d2xx::FT_INVALID_HANDLE;
    if (lpftDevice != nullptr)
        *lpftDevice = open->DeviceType();
    if (lpdwID != nullptr)
        *lpdwID = open->Identity.UsbId;
    if (SerialNumber != nullptr)
        d2xx::exports::CopyListEntry(open->Identity.Serial, SerialNumber, d2xx::kSerialNumberSize);
    if (Description != nullptr)
        d2xx::exports::CopyListEntry(open->Identity.Description, Description,
                                     d2xx::kDescriptionSize);
    return d2xx::FT_OK;
}
