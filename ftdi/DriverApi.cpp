// D2XX's entry points over libftdi1, as the program binds them from libftd2xx-ftdi1.so
// (export/D2xxExport.h writes them). A handle is an open FtdiChannel, known by the live set
// below; calls on different channels never wait for each other.

#include "export/D2xxExport.h"
#include "ftdi/FtdiBus.h"
#include "ftdi/FtdiChannel.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{

using ftdi1::FtdiChannel;

struct TFtdi1Driver {
    using TOpen = FtdiChannel;

    static d2xx::exports::THandles<FtdiChannel> &Live()
    {
        static d2xx::exports::THandles<FtdiChannel> live;
        return live;
    }

    static FT_STATUS Open(const std::string &key, bool bySerial, std::shared_ptr<FtdiChannel> &open)
    {
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
            std::fprintf(stderr, "libftd2xx-ftdi1: cannot open \"%s\": %s\n", key.c_str(),
                         why.c_str());
            return d2xx::FT_DEVICE_NOT_OPENED;
        }
        open = std::make_shared<FtdiChannel>(context);
        if (!open->Start()) {
            open->Close();
            return d2xx::FT_DEVICE_NOT_OPENED;
        }
        Live().Add(open);
        return d2xx::FT_OK;
    }

    static std::shared_ptr<FtdiChannel> Remove(FT_HANDLE handle) { return Live().Remove(handle); }

    static FT_STATUS Close(FtdiChannel &channel) { return channel.Close(); }

    static FT_STATUS List(std::vector<d2xx::exports::TListed> &listed)
    {
        std::vector<ftdi1::Channel> channels;
        if (!ftdi1::ListChannels(channels))
            return d2xx::FT_IO_ERROR;
        for (const ftdi1::Channel &channel : channels)
            listed.push_back({channel.description, channel.serial, channel.location});
        return d2xx::FT_OK;
    }
};

} // namespace

VELMOR_D2XX_EXPORTS(TFtdi1Driver)
