// The simulated device on its own, without the driver library around it.
#include "sim/Board.h"
#include "sim/SscDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace
{

using vsim::TSscDevice;

// Frames as the link builds them: pairs of (data, tag), a new tag now and then, with random
// bytes between so that tags also come and go at random.
std::vector<std::uint8_t> HostStream(std::mt19937 &Random, std::size_t Size)
{
    std::vector<std::uint8_t> Bytes(Size);
    std::uniform_int_distribution<int> Byte(0, 255);
    std::uint8_t Tag = 1;
    for (std::size_t i = 0; i + 1 < Size; i += 2) {
        if (Byte(Random) < 8)
            Tag = static_cast<std::uint8_t>(Tag == 255 ? 1 : Tag + 1);
        Bytes[i] = static_cast<std::uint8_t>(Byte(Random));
        Bytes[i + 1] = Byte(Random) < 4 ? static_cast<std::uint8_t>(Byte(Random)) : Tag;
    }
    return Bytes;
}

// The chip hands the device a frame in pieces, as they lie in its ring: whatever their sizes
// and wherever the device's words begin, the answer is the same as byte by byte.
TEST(SimDevice, AFrameClockedInPiecesAnswersAsByteByByte)
{
    std::mt19937 Random(7);
    for (const vsim::TBehaviour Behaviour : {vsim::TBehaviour::Echo, vsim::TBehaviour::Counter}) {
        for (const unsigned Offset : {0U, 3U, 8U, 15U}) {
            for (const unsigned Lead : {0U, 5U, 8U, 16U}) {
                SCOPED_TRACE(testing::Message() << "offset " << Offset << ", lead " << Lead);
                vsim::TBoard &Board = vsim::TBoard::Instance();
                TSscDevice ByteWise(Board), PieceWise(Board);
                for (TSscDevice *Device : {&ByteWise, &PieceWise}) {
                    Device->Restart({Offset, 0, true});
                    Device->SetBehaviour(Behaviour);
                    // The handshake's clocking before the first frame leaves the device at any
                    // bit of its word, at a word's start included.
                    for (unsigned Bits = Lead; Bits > 0; Bits -= std::min(Bits, 8U))
                        Device->ClockIn(std::min(Bits, 8U));
                    Device->BeginFrame();
                }
                const std::vector<std::uint8_t> Host = HostStream(Random, 3 * 4096 + 1);
                std::vector<std::uint8_t> Expected(Host.size()), Got(Host.size());
                for (std::size_t i = 0; i < Host.size(); ++i)
                    Expected[i] = ByteWise.ClockOutIn(Host[i]);
                std::uniform_int_distribution<std::size_t> PieceSize(1, 37);
                for (std::size_t At = 0; At < Host.size();) {
                    const std::size_t Piece = std::min(PieceSize(Random), Host.size() - At);
                    PieceWise.ClockOutIn(Host.data() + At, Got.data() + At, Piece);
                    At += Piece;
                }
                EXPECT_EQ(Got, Expected);
                EXPECT_EQ(PieceWise.HostBytes(), ByteWise.HostBytes());
                EXPECT_EQ(PieceWise.BytesSent(), ByteWise.BytesSent());
                EXPECT_GT(ByteWise.HostBytes(), 0);
            }
        }
    }
}

} // namespace

TEST(SimBench, TheDevicesVariableNamesTheBoardsInOrder)
{
    const struct {
        const char *Value;
        std::vector<std::string> Devices;
    } cases[] = {
        {"SSC Simulator;SSC Simulator", {"SSC Simulator", "SSC Simulator"}},
        {"One", {"One"}},
        {"", {}},
        {";", {"", ""}},
        {"A;;B", {"A", "", "B"}},
    };
    for (const auto &test : cases)
        EXPECT_EQ(vsim::DevicesFromVariable(test.Value), test.Devices) << '"' << test.Value << '"';
}
