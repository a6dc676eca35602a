// The device protocol as plain values: host bytes into tagged pairs, frames built, cut and
// resumed, device pairs collected across odd reads, and each handshake phase's outcomes. No
// driver, no thread.
#include "device/Handshake.h"
#include "device/SscProtocol.h"
#include "device/Ticks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

using namespace ssc;
using testing::ElementsAre;
using testing::IsEmpty;

namespace
{

struct Ring {
    std::vector<unsigned char> Bytes = std::vector<unsigned char>(kRingSize);
    int Read = 0;
    int Count = 0;
    TRingRef Ref() { return {Bytes.data(), Read, Count}; }
    unsigned char At(int Offset) const { return Bytes[(Read + Offset) % kRingSize]; }
};

// Queues host bytes 0, 1, 2, ... (Count of them) into the ring.
void QueueCounting(Ring &Tx, int Count)
{
    std::uint8_t tag = 1;
    std::vector<unsigned char> bytes(Count);
    for (int i = 0; i < Count; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    ASSERT_EQ(QueueHostBytes(Tx.Ref(), tag, bytes.data(), Count), Count);
}

} // namespace

TEST(HostBytes, EachGoesOutAs300PairsWithItsOwnTagAndOnlyWhole)
{
    Ring tx;
    std::uint8_t tag = 1;
    std::vector<unsigned char> bytes(200);
    for (int i = 0; i < 200; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(HostByteRoom(tx.Count), 109);
    EXPECT_EQ(QueueHostBytes(tx.Ref(), tag, bytes.data(), 200), 109);
    EXPECT_EQ(tx.Count, 65400);
    EXPECT_EQ(tx.At(0), 0);
    EXPECT_EQ(tx.At(1), 1);
    EXPECT_EQ(tx.At(599), 1);
    EXPECT_EQ(tx.At(600), 1);
    EXPECT_EQ(tx.At(601), 2);
    EXPECT_EQ(tx.At(65398), 108);
    EXPECT_EQ(tx.At(65399), 109);
    EXPECT_EQ(tag, 110) << "the next byte gets a fresh tag";
    EXPECT_EQ(QueueHostBytes(tx.Ref(), tag, bytes.data(), 91), 0) << "no byte cut short";
    EXPECT_EQ(tx.Count, 65400);
}

TEST(HostBytes, TagsCycleFrom255BackTo1)
{
    Ring tx;
    std::uint8_t tag = 1;
    const unsigned char byte = 0x55;
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(QueueHostBytes(tx.Ref(), tag, &byte, 1), 1);
        tx.Count = 0;
        ASSERT_NE(tag, 0);
    }
    EXPECT_EQ(tag, 1);
}

TEST(Frames, EmptyRingGivesAZeroFrame)
{
    Ring tx;
    TFrame frame;
    BuildFrame(frame, tx.Ref());
    EXPECT_THAT(std::vector<unsigned char>(frame.Bytes.begin(), frame.Bytes.begin() + 3),
                ElementsAre(0x3D, 0xFF, 0x0F));
    EXPECT_TRUE(std::all_of(frame.Bytes.begin() + 3, frame.Bytes.end(),
                            [](unsigned char b) { return b == 0; }));
    EXPECT_FALSE(CarriesNewHostBytes(frame));
}

TEST(Frames, CarryTheOldest4096RingBytesAndTakeThemOut)
{
    Ring tx;
    for (int i = 0; i < 5000; ++i)
        tx.Bytes[i] = static_cast<unsigned char>(i);
    tx.Count = 5000;
    TFrame frame;
    BuildFrame(frame, tx.Ref());
    for (int i = 0; i < kFramePayload; ++i)
        ASSERT_EQ(frame.Bytes[3 + i], static_cast<unsigned char>(i)) << i;
    EXPECT_EQ(tx.Count, 904);
    EXPECT_EQ(tx.Read, 4096);
    EXPECT_TRUE(frame.Pending);
    FrameTaken(frame, kFrameSize + 100);
    EXPECT_EQ(frame.Sent, std::uint32_t(kFrameSize)) << "never more than the frame";
    EXPECT_FALSE(frame.Pending);
}

TEST(Frames, HostBytesThatNeverBeganToGoOutAreGivenBack)
{
    // Ten host bytes: the frame takes six whole ones and the first 496 ring bytes of the seventh.
    Ring tx;
    QueueCounting(tx, 10);
    TFrame frame;
    BuildFrame(frame, tx.Ref());
    EXPECT_EQ(frame.Payload, kFramePayload);
    EXPECT_EQ(frame.Head, 0);

    // Cut after 3000 payload bytes: bytes 5 (at 3000) and 6 (at 3600) never began to go out.
    FrameTaken(frame, kFrameHeader + 3000);
    EXPECT_THAT(UnsentHostBytes(frame, tx.Bytes.data(), tx.Read, tx.Count),
                ElementsAre(5, 6, 7, 8, 9));

    // Finished: byte 6 began in it; its rest in the ring belongs to it.
    FrameTaken(frame, kFrameSize);
    EXPECT_THAT(UnsentHostBytes(frame, tx.Bytes.data(), tx.Read, tx.Count), ElementsAre(7, 8, 9));

    // The next frame begins by finishing byte 6, then carries new ones.
    TFrame next;
    BuildFrame(next, tx.Ref());
    EXPECT_EQ(next.Head, 104);
    EXPECT_TRUE(CarriesNewHostBytes(next));
    FrameTaken(next, kFrameHeader + 104);
    EXPECT_THAT(UnsentHostBytes(next, tx.Bytes.data(), tx.Read, tx.Count), ElementsAre(7, 8, 9));
}

TEST(Frames, AHostByteIsInFlightUntilAnAnswerClockedAfterItIsReadBack)
{
    // Ten host bytes: the first frame begins bytes 0..6, at places 0, 600, ..., 3600.
    Ring tx;
    QueueCounting(tx, 10);
    TFrame frame;
    BuildFrame(frame, tx.Ref());
    TFlight flight;
    FrameBuilt(flight, frame);
    EXPECT_EQ(flight.Written, 4096u);
    EXPECT_THAT(Unanswered(flight), ElementsAre(0, 1, 2, 3, 4, 5, 6));

    // A valid pair at place 0 came with byte 0, too early to answer it; the one at 2 answers it.
    // An odd read keeps the flag of the next pair for the next read.
    const unsigned char first[] = {0x99, 0x01, 0x00, 0x01, 0x00};
    AnswersRead(flight, first, 5);
    EXPECT_THAT(Unanswered(flight), ElementsAre(1, 2, 3, 4, 5, 6));
    // The pair at 4 (its flag read now) was clocked before byte 1 began at 600.
    const unsigned char second[] = {0x01, 0x00};
    AnswersRead(flight, second, 2);
    EXPECT_THAT(Unanswered(flight), ElementsAre(1, 2, 3, 4, 5, 6));

    // Idle pairs up to the frame's end and a frame beyond: a byte is no longer waited for once
    // a frame's worth has been read back past it.
    std::vector<unsigned char> idle(4096 + 601, 0x00);
    AnswersRead(flight, idle.data(), std::uint32_t(idle.size()));
    EXPECT_THAT(Unanswered(flight), ElementsAre(2, 3, 4, 5, 6));
}

TEST(Pairs, ReadSizeTakesWholePairsThatFitAndNoMoreThanAChunk)
{
    EXPECT_EQ(ReadSize(10, 0, {}), 10u);
    EXPECT_EQ(ReadSize(11, 0, {}), 10u);
    EXPECT_EQ(ReadSize(10, 0, {true, 0x41}), 9u) << "the kept half completes a pair";
    EXPECT_EQ(ReadSize(1, 0, {}), 0u) << "a lone byte waits for its partner";
    EXPECT_EQ(ReadSize(4096, kRingSize - 1, {}), 2u) << "one free place: one pair";
    EXPECT_EQ(ReadSize(4096, kRingSize, {}), 0u);
    EXPECT_EQ(ReadSize(1u << 30, 0, {}), std::uint32_t(kReadChunk));
}

TEST(Pairs, ValidDataBytesAreKeptAcrossOddReads)
{
    Ring rx;
    TPairCarry carry;
    const unsigned char first[] = {0x41, 0x01, 0x00, 0x00, 0x42};
    CollectPairs(rx.Ref(), carry, first, 5);
    EXPECT_EQ(rx.Count, 1);
    EXPECT_TRUE(carry.Half);
    const unsigned char second[] = {0x01, 0x43, 0x02};
    CollectPairs(rx.Ref(), carry, second, 3);
    unsigned char out[8];
    ASSERT_EQ(TakeFromRing(rx.Ref(), out, 8), 2);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(out[1], 0x42);
    EXPECT_FALSE(carry.Half);
}

TEST(Pairs, AFullRingEndsTheCollection)
{
    Ring rx;
    rx.Count = kRingSize - 1;
    TPairCarry carry;
    const unsigned char pairs[] = {1, 0x01, 2, 0x01, 3, 0x01};
    CollectPairs(rx.Ref(), carry, pairs, 6);
    EXPECT_EQ(rx.Count, kRingSize);
    EXPECT_EQ(rx.At(kRingSize - 1), 1);
}

namespace
{
// A device that answers each clocking with the next of its scripted answers.
struct ScriptedDevice {
    std::deque<TClockAnswer> Answers;
    std::deque<unsigned char> Offered; // bytes offered to Accept, before the answer
    std::vector<std::vector<unsigned char>> Commands;
    std::vector<std::string> Said;

    TClockIn ClockIn()
    {
        return [this](const unsigned char *Command, std::size_t Length,
                      const std::function<bool(unsigned char)> &Accept) {
            Commands.emplace_back(Command, Command + Length);
            while (!Offered.empty()) {
                const unsigned char byte = Offered.front();
                Offered.pop_front();
                if (Accept(byte))
                    return TClockAnswer{TClockOutcome::Accepted, byte};
            }
            const TClockAnswer answer = Answers.front();
            Answers.pop_front();
            return answer;
        };
    }
    TSay Say()
    {
        // Each text with its kind: the handshake's bytes are detail, its failures errors.
        return [this](TLinkEventKind Kind, const std::string &Text) {
            Said.push_back((Kind == TLinkEventKind::Detail  ? "detail: "
                            : Kind == TLinkEventKind::Error ? "error: "
                                                            : "other: ") +
                           Text);
        };
    }
};
} // namespace

// The pacing between frames, worked by hand: a frame of 4096 payload bytes just written behind
// 500 still to clock from the one before, its answer points 48, 160 and 400 bytes into it (at
// 4048, 3936 and 3696 still to clock), the lead 384; no wait is for more than 2048 bytes, half
// of the chip's 4096-byte buffer for answers.
TEST(Pacing, TheNextFrameWaitsForTheLeadAndTheAnswersAreCollectedOnTheWay)
{
    EXPECT_EQ(StillToClock(8192 + 500, 4096, 0), 4596u);
    EXPECT_EQ(StillToClock(8192 + 500, 4000, 96), 4596u) << "what waits in the driver is back";
    EXPECT_EQ(StillToClock(100, 90, 20), 0u);

    struct TStep {
        std::uint64_t Left;
        TPaceStep Step;
        std::uint64_t WaitBytes;
        std::size_t DueAfter;
    };
    const TStep steps[] = {
        {4596, TPaceStep::Wait, 548, 0},   // to the first answer point
        {4040, TPaceStep::Collect, 0, 1},  // past 4048
        {3000, TPaceStep::Collect, 0, 3},  // past 3936 and 3696 at once
        {3000, TPaceStep::Wait, 2048, 3},  // then towards the lead, collecting halfway
        {952, TPaceStep::Wait, 568, 3},    // to the lead
        {384, TPaceStep::WriteNext, 0, 3}, // at the lead
        {0, TPaceStep::WriteNext, 0, 3},   // a chip that ran dry
    };
    std::size_t due = 0;
    for (const TStep &step : steps) {
        SCOPED_TRACE(step.Left);
        const TPace pace = NextPace(step.Left, due);
        EXPECT_EQ(pace.Step, step.Step);
        EXPECT_EQ(pace.WaitBytes, step.WaitBytes);
        EXPECT_EQ(due, step.DueAfter);
    }
    // A frame without new host bytes waits for the lead alone.
    std::size_t none = kAnswerDue.size();
    EXPECT_EQ(NextPace(4000, none).WaitBytes, 2048u);
    EXPECT_EQ(NextPace(1952, none).WaitBytes, 1568u);
    // A high-speed chip's longer lead: its frame goes that much sooner.
    EXPECT_EQ(NextPace(kHighSpeedFrameLead, none).Step, TPaceStep::Wait);
    EXPECT_EQ(NextPace(kHighSpeedFrameLead, none, kHighSpeedFrameLead).Step, TPaceStep::WriteNext);
    EXPECT_EQ(NextPace(1952, none, kHighSpeedFrameLead).WaitBytes, 1952u - kHighSpeedFrameLead);
    // A frame written with under half the lead in hand lengthens the lead by kFrameLead at once;
    // frames written in time take that off again slowly, never below nothing.
    EXPECT_EQ(AddedLead(0, kFrameLead, 192), 0u);
    EXPECT_EQ(AddedLead(0, kFrameLead, 191), kFrameLead);
    EXPECT_EQ(AddedLead(kFrameLead, kHighSpeedFrameLead, 511), kFrameLead);
    EXPECT_EQ(AddedLead(kFrameLead, kFrameLead, 384), kFrameLead - kLeadShrink);
    EXPECT_EQ(AddedLead(2, kFrameLead, 700), 0u);
}

TEST(Handshake, FirstPhaseComparesTheLastEightBitsWithTheLowByte)
{
    ScriptedDevice device;
    device.Offered = {0xA5, 0x07};
    EXPECT_EQ(FirstPhase(device.ClockIn(), LowByte(0x01A5), device.Say()), TPhase::Match);
    EXPECT_EQ(FirstPhase(device.ClockIn(), LowByte(0x01A5), device.Say()), TPhase::Miss);
    EXPECT_THAT(device.Said, ElementsAre("detail: SYNCH ---> A5", "detail: SYNCH ---> 07"));
    EXPECT_THAT(device.Commands[0], ElementsAre(0x2E, 0x00)) << "one more bit";
}

TEST(Handshake, FirstPhaseFailuresEndTheHandshake)
{
    ScriptedDevice device;
    device.Answers = {
        {TClockOutcome::TimedOut}, {TClockOutcome::ReadFailed}, {TClockOutcome::SendFailed}};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(FirstPhase(device.ClockIn(), 0xA5, device.Say()), TPhase::Failed);
    // A failed send has said its own message already.
    EXPECT_THAT(device.Said,
                ElementsAre("error: Synchronization TIMEOUT expired", "error: FT_Read error"));
}

TEST(Handshake, SecondPhaseWaitsForTheHighByte)
{
    ScriptedDevice device;
    device.Offered = {0x55, 0x02, 0x01};
    EXPECT_EQ(SecondPhase(device.ClockIn(), HighByte(0x01A5), device.Say()), TPhase::Match);
    EXPECT_THAT(device.Commands[0], ElementsAre(0x2C, 0x00, 0x00)) << "one whole byte";
    device.Answers = {
        {TClockOutcome::TimedOut}, {TClockOutcome::SendFailed}, {TClockOutcome::ReadFailed}};
    EXPECT_EQ(SecondPhase(device.ClockIn(), 0x01, device.Say()), TPhase::Miss);
    EXPECT_EQ(SecondPhase(device.ClockIn(), 0x01, device.Say()), TPhase::Failed);
    EXPECT_EQ(SecondPhase(device.ClockIn(), 0x01, device.Say()), TPhase::Failed);
    EXPECT_THAT(device.Said, ElementsAre("error: Upper byte failure", "error: FT_Read error"));
}

// A chip at the driver's calls: every clock-in answers one byte, the bit phase 0xA5 and the byte
// phase 0x01, each ready a millisecond after its command, but the first byte phase's answer
// only after that phase's 60 ms.
struct TLateChip {
    using TClock = std::chrono::steady_clock;
    std::deque<std::pair<TClock::time_point, unsigned char>> Answers;
    int BytePhases = 0;
    std::uint32_t Owed = 0;
    std::vector<std::string> Said;
    ticks::TDeadline Timeout;

    std::uint32_t Ready() const
    {
        std::uint32_t ready = 0;
        for (const auto &[at, byte] : Answers)
            ready += at <= TClock::now() ? 1 : 0;
        return ready;
    }
    THandshakeDriver Driver()
    {
        return {[this](const unsigned char *Data, std::uint32_t) {
                    const bool bytePhase = Data[0] == 0x2C;
                    const auto delay = bytePhase && BytePhases++ == 0
                                           ? std::chrono::milliseconds(kSynchPhaseTimeoutMs + 30)
                                           : std::chrono::milliseconds(1);
                    Answers.emplace_back(TClock::now() + delay, bytePhase ? 0x01 : 0xA5);
                    return false;
                },
                [this](unsigned char *Buffer, std::uint32_t, std::uint32_t &Got) {
                    // The driver's read timeout, shortened: a read waits a little for a byte.
                    const auto until = TClock::now() + std::chrono::milliseconds(5);
                    while (Ready() == 0 && TClock::now() < until)
                        std::this_thread::sleep_for(std::chrono::microseconds(200));
                    Got = Ready() == 0 ? 0 : 1;
                    if (Got != 0) {
                        Buffer[0] = Answers.front().second;
                        Answers.pop_front();
                    }
                    return std::uint32_t{0};
                },
                [this] { return Ready(); },
                [this](std::uint32_t Milliseconds) { Timeout = ticks::TDeadline(Milliseconds); },
                [this] { return Timeout.Expired(); },
                &Owed};
    }
    TSay Say()
    {
        return [this](TLinkEventKind, const std::string &Text) { Said.push_back(Text); };
    }
};

// A byte phase's answer that comes after its 60 ms is taken for neither the next bit phase nor
// anything after it: the next attempt waits for it, drops it and synchronises on its own answers.
TEST(Handshake, ALateAnswerIsDroppedBeforeTheNextAttempt)
{
    TLateChip chip;
    EXPECT_FALSE(Synchronise(chip.Driver(), 8, 0x01A5, chip.Say()));
    EXPECT_THAT(chip.Said, ElementsAre("SYNCH ---> A5", "SYNCH ---> A5", "6"));
    EXPECT_EQ(chip.Owed, 0u);
    EXPECT_THAT(chip.Answers, IsEmpty());
}

TEST(Ticks, DeadlinesHoldAcrossTheCounterWrap)
{
    const std::uint32_t deadline = 0xFFFFFFF0u + 20; // wraps to 4
    EXPECT_EQ(deadline, 4u);
    EXPECT_FALSE(ticks::Reached(0xFFFFFFF5u, deadline));
    EXPECT_FALSE(ticks::Reached(0x00000002u, deadline));
    EXPECT_TRUE(ticks::Reached(0x00000005u, deadline));
    // No look between the wrap and the deadline: still reached on time.
    EXPECT_TRUE(ticks::Reached(0x00000010u, deadline));
    // An ordinary deadline is not taken as reached early.
    EXPECT_FALSE(ticks::Reached(1009, 1010));
    EXPECT_TRUE(ticks::Reached(1010, 1010));
}

namespace
{
std::uint32_t SetTick = 0;
std::uint32_t ReadSetTick()
{
    return SetTick;
}
} // namespace

// The link's timeout as it is armed and tested (StartTimeout, TimeoutExpired): 20 ms armed just
// before the counter wraps.
TEST(Ticks, ATimeoutArmedBeforeTheWrapExpiresAfterIt)
{
    ticks::SetSource(&ReadSetTick);
    SetTick = 0xFFFFFFF0u;
    const ticks::TDeadline timeout(20);
    const std::vector<std::pair<std::uint32_t, bool>> looks{
        {0xFFFFFFF5u, false}, {0x00000002u, false}, {0x00000004u, true}, {0x00000005u, true}};
    for (const auto &[tick, expired] : looks) {
        SetTick = tick;
        EXPECT_EQ(timeout.Expired(), expired) << "at tick " << tick;
    }
    ticks::SetSource(nullptr);
}
