// The location IDs libftd2xx-ftdi1.so lists, as a plain function of where a chip is plugged in:
// hub paths, deep paths and large numbers that the emulated testbed (one chip a bus) never
// makes, worked out by hand.
#include "ftdi/FtdiBus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace
{

struct TPlace {
    unsigned Bus;
    std::vector<std::uint8_t> Ports;
    unsigned Address;
    unsigned Channel;
};

std::string Describe(const TPlace &Place)
{
    std::string text = "bus " + std::to_string(Place.Bus) + ", ports";
    for (const std::uint8_t port : Place.Ports)
        text += " " + std::to_string(port);
    return text + ", address " + std::to_string(Place.Address) + ", channel " +
           std::to_string(Place.Channel);
}

std::uint32_t Location(const TPlace &Place)
{
    return ftdi1::LocationId(Place.Bus, Place.Ports, Place.Address, Place.Channel);
}

} // namespace

// One hex digit a level, the bus first and the channel last, while every level fits a digit;
// the bus, the address and the channel a byte each, apart, once one does not.
TEST(LocationId, OneDigitALevelOrBusAndAddress)
{
    const std::vector<std::pair<TPlace, std::uint32_t>> table = {
        {{1, {2}, 7, 1}, 0x121},     // root port 2 of bus 1, channel A
        {{1, {2, 4}, 7, 2}, 0x1242}, // behind port 4 of a hub there, B
        {{2, {3}, 1, 1}, 0x231},
        {{1, {}, 1, 1}, 0x11},                              // on the root hub itself
        {{15, {15, 15, 15, 15, 15, 15}, 9, 4}, 0xFFFFFFF4}, // six ports: the most that fit
        {{3, {1, 2, 3, 4, 5, 6, 7}, 9, 1}, 0x03000901},     // seven ports do not
        {{1, {16}, 5, 2}, 0x01000502},                      // a port above 15
        {{1, {2, 16, 3}, 0x7F, 3}, 0x01007F03},             // one port above 15 on the way
        {{16, {2}, 4, 1}, 0x10000401},                      // a bus above 15
        {{0x3F, {1, 1}, 0x7F, 4}, 0x3F007F04}, // a bus far above 15, USB's last address
    };
    for (const auto &[place, expected] : table)
        EXPECT_EQ(Location(place), expected) << Describe(place);
}

// Every place a chip can have at one time gets an ID of its own, in either form: chips behind
// different ports of one hub, at different depths, on buses and ports above 15; and channel A
// and B of one chip differ only in the lowest digit.
TEST(LocationId, NoTwoChipsAttachedAtOnceShareOne)
{
    const std::vector<std::uint8_t> ports = {1, 2, 15, 16};
    std::vector<std::vector<std::uint8_t>> paths = {{}};
    for (std::size_t depth = 1; depth <= 3; ++depth) {
        std::vector<std::vector<std::uint8_t>> longer;
        for (const auto &path : paths) {
            if (path.size() + 1 != depth)
                continue;
            for (const std::uint8_t port : ports) {
                longer.push_back(path);
                longer.back().push_back(port);
            }
        }
        paths.insert(paths.end(), longer.begin(), longer.end());
    }
    // The full-depth paths, where no level but the first fits a digit.
    paths.push_back({1, 2, 3, 4, 5, 6});
    paths.push_back({1, 2, 3, 4, 5, 6, 7});

    std::map<std::uint32_t, TPlace> seen;
    for (const unsigned bus : {1u, 2u, 15u, 16u, 17u}) {
        unsigned address = 0; // a bus numbers its devices apart
        for (const auto &path : paths) {
            ++address;
            for (unsigned channel = 1; channel <= 4; ++channel) {
                const TPlace place{bus, path, address, channel};
                const std::uint32_t id = Location(place);
                EXPECT_EQ(id & 0xF, channel) << Describe(place);
                const auto [at, added] = seen.emplace(id, place);
                EXPECT_TRUE(added) << std::hex << "0x" << id << " for " << Describe(place)
                                   << " and " << Describe(at->second);
            }
        }
    }
    EXPECT_EQ(seen.size(), 5 * paths.size() * 4);
}
