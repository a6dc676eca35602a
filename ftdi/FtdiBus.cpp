#include "ftdi/FtdiBus.h"

#include <array>
#include <memory>

namespace ftdi1
{

namespace
{

// The chips with an MPSSE engine, by product id, and how many of their channels have one. The
// FT2232C/D shares 0x6010 with the FT2232H.
struct Product {
    int id;
    int mpsseChannels;
};
constexpr std::array kProducts = {Product{0x6010, 2}, Product{0x6011, 2}, Product{0x6014, 1}};

// USB string descriptors hold at most 126 characters.
constexpr int kProductStringSize = 128;

struct ContextFree {
    void operator()(ftdi_context *context) const { ftdi_free(context); }
};
using Context = std::unique_ptr<ftdi_context, ContextFree>;

struct ListFree {
    void operator()(ftdi_device_list *list) const { ftdi_list_free(&list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, ListFree>;

// The chips of one product; nothing on failure.
DeviceList FindAll(ftdi_context *context, int product, bool &ok)
{
    ftdi_device_list *list = nullptr;
    if (ftdi_usb_find_all(context, &list, kFtdiVendor, product) < 0) {
        ok = false;
        return nullptr;
    }
    return DeviceList(list);
}

ftdi_interface Port(int index)
{
    return static_cast<ftdi_interface>(INTERFACE_A + index);
}

} // namespace

bool ListChannels(std::vector<Channel> &channels)
{
    channels.clear();
    const Context context(ftdi_new());
    if (!context)
        return false;
    bool ok = true;
    for (const Product &product : kProducts) {
        const DeviceList list = FindAll(context.get(), product.id, ok);
        std::size_t chip = 0;
        for (ftdi_device_list *entry = list.get(); entry != nullptr; entry = entry->next, ++chip) {
            char name[kProductStringSize] = {};
            if (ftdi_usb_get_strings(context.get(), entry->dev, nullptr, 0, name, sizeof name,
                                     nullptr, 0) < 0)
                continue;
            for (int index = 0; index < product.mpsseChannels; ++index) {
                Channel channel{product.id, chip, INTERFACE_ANY, name};
                if (product.mpsseChannels > 1) {
                    channel.port = Port(index);
                    channel.description += std::string(" ") + char('A' + index);
                }
                channels.push_back(std::move(channel));
            }
        }
    }
    return ok;
}

ftdi_context *OpenChannel(const Channel &channel)
{
    Context context(ftdi_new());
    if (!context || ftdi_set_interface(context.get(), channel.port) < 0)
        return nullptr;
    bool ok = true;
    const DeviceList list = FindAll(context.get(), channel.product, ok);
    ftdi_device_list *entry = list.get();
    for (std::size_t chip = 0; entry != nullptr && chip < channel.chip; ++chip)
        entry = entry->next;
    if (entry == nullptr || ftdi_usb_open_dev(context.get(), entry->dev) < 0)
        return nullptr;
    return context.release();
}

} // namespace ftdi1
