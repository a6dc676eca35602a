// The SSC device's protocol through an FTDI chip in MPSSE mode, as plain functions over plain
// values: no threads, no locks, no driver. The device link (Tsscclass) is the shell around it that
// owns the rings, talks to the driver and keeps time.
//
// Principles of operation. The device is reached in fixed frames: a frame is one MPSSE command
// (0x3D, length 4095) that clocks 4096 payload bytes out to the device and 4096 bytes back in.
// Each host byte goes out as 300 identical (data, tag) pairs, the tag changing from one host byte
// to the next (1..255, never 0), so the device can tell a new byte from a repeat. The device
// answers in (data, flag) pairs; flag 0x01 marks a valid byte. Before the first frame the host
// aligns itself with the device's bit stream in two phases on a 16-bit pattern: one more bit in
// until the last eight read match the pattern's low byte, then one whole byte in that must be its
// high byte.
#pragma once

#include "device/LinkEvent.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace ssc
{

constexpr int kRingSize = 65536;
constexpr int kFramePayload = 4096;
constexpr int kFrameHeader = 3;
constexpr int kFrameSize = kFrameHeader + kFramePayload; // 4099
constexpr int kPairsPerHostByte = 300;
constexpr int kRingBytesPerHostByte = 2 * kPairsPerHostByte; // 600
constexpr unsigned char kValidFlag = 0x01;
// The most that one read from the driver takes, whatever the driver says is waiting: the answers
// to four frames. What is beyond it waits for the next read.
constexpr int kReadChunk = 4 * kFramePayload;

// Clock 4096 bytes out and in, LSB first: the frame's header.
constexpr std::array<unsigned char, kFrameHeader> kFrameCommand = {0x3D, 0xFF, 0x0F};
// Pins 0 and 1 (clock and data out) as outputs, loop-back off, SCK = 12 MHz / ((1 + 5) * 2).
constexpr std::array<unsigned char, 10> kSetupCommands = {0x80, 0x00, 0x03, 0x82, 0x00,
                                                          0x00, 0x85, 0x86, 0x05, 0x00};
// On the H chips, ahead of the set-up: the clock the set-up assumes, whatever another program (a
// JTAG tool, say) left: divide-by-5 on (the 12 MHz master clock), adaptive clocking off,
// three-phase clocking off. The FT2232D has none of these opcodes and gets the set-up alone.
constexpr std::array<unsigned char, 3> kHighSpeedClockCommands = {0x8B, 0x97, 0x8D};
// The handshake: clock one more bit in; clock one whole byte in.
constexpr std::array<unsigned char, 2> kClockOneBit = {0x2E, 0x00};
constexpr std::array<unsigned char, 3> kClockOneByte = {0x2C, 0x00, 0x00};

// One of the link's two rings: kRingSize bytes, the index of the oldest and how many are held.
struct TRingRef {
    unsigned char *Bytes;
    int &Read;
    int &Count;
};

// Copies up to Max bytes out of the ring, oldest first, and takes them out of it.
int TakeFromRing(TRingRef Ring, unsigned char *To, int Max);

// ---------------------------------------------------------------------------------------------
// Host bytes out

// Queues host bytes as their tagged pairs, whole host bytes only: a byte cut short would leave
// its tag to the next, which the device would take for a repeat. Returns how many were queued.
int QueueHostBytes(TRingRef Tx, std::uint8_t &Tag, const unsigned char *Data, int Count);
// How many whole host bytes a transmit ring holding TxCount bytes takes now.
int HostByteRoom(int TxCount);

// One outbound frame. The chip takes the payload as data of one clocking command, so a frame the
// driver took only in part is finished before the next one begins, never restarted.
struct TFrame {
    std::array<unsigned char, kFrameSize> Bytes{};
    int Payload = 0;        // ring bytes it carries
    int Head = 0;           // of those, how many finish a host byte that an earlier frame began
    std::uint32_t Sent = 0; // bytes the driver has taken
    bool Pending = false;   // built and not wholly taken yet
};

// Builds the next frame from the oldest ring bytes, taking its payload out of the ring whole (an
// even count, so the next frame starts on a pair); the rest of the frame is padded with zeros.
void BuildFrame(TFrame &Frame, TRingRef Tx);
// Records that the driver took Count more bytes of the frame; no more than it had left.
void FrameTaken(TFrame &Frame, std::uint32_t Count);
// Whether the frame carries host bytes whose first pairs have not gone out before.
bool CarriesNewHostBytes(const TFrame &Frame);
// The host bytes that never began to go out, oldest first: those of a frame cut short whose
// first pair the driver did not take, then every whole host byte in the ring.
std::vector<unsigned char> UnsentHostBytes(const TFrame &Frame, const unsigned char *TxRing,
                                           int TxRead, int TxCount);

// ---------------------------------------------------------------------------------------------
// Device bytes in

// The first half of a pair whose flag is still in the driver's queue.
struct TPairCarry {
    bool Half = false;
    unsigned char Byte = 0;
};

// How many of Queued waiting bytes to read: no more than the ring can take (two bytes a free
// place, less a kept half), no more than kReadChunk, and whole pairs counting the kept half.
std::uint32_t ReadSize(std::uint32_t Queued, int RxCount, const TPairCarry &Carry);
// Keeps the data byte of every pair flagged valid, in order, the kept half first; an odd count
// leaves its last byte as the new kept half. A full ring ends the collection: the rest is lost,
// which ReadSize never asks for.
void CollectPairs(TRingRef Rx, TPairCarry &Carry, const unsigned char *Bytes, std::uint32_t Count);

// ---------------------------------------------------------------------------------------------
// Host bytes in flight

// The device answers each host byte once, with a pair flagged valid that it clocks out after it
// has taken the byte. A host byte is in flight from the frame that carries its first pair until
// its answer is read back. Places count the payload bytes clocked since the handshake: the chip
// clocks one byte in for every byte out, so the same count serves the frames written and the
// bytes read back.
struct THostByteInFlight {
    std::uint64_t Place; // of its first pair
    unsigned char Byte;
};
struct TFlight {
    std::deque<THostByteInFlight> Bytes; // oldest first
    std::uint64_t Written = 0;           // places given to what was written so far
    std::uint64_t ReadBack = 0;          // bytes read back so far
    std::uint64_t Answered = 0;          // host bytes the device has clocked in and answered
};
// A host byte still unanswered when this much has been read back past it has been taken by a
// device that does not answer it: it is no longer waited for.
constexpr std::uint64_t kAnswerWindow = kFramePayload;
// However the device answers, no more are kept than the chip and the transmit ring can hold.
constexpr std::size_t kMostInFlight = 2 * kRingSize / kRingBytesPerHostByte;
// Idle pairs clocked after the last frame, so that a device can send the answer to a host byte
// whose first pair was among the last clocked: 256 bytes, 2 ms at 1 MHz.
constexpr int kAnswerFlush = 256;
constexpr std::array<unsigned char, kFrameHeader> kFlushCommand = {0x3D, (kAnswerFlush - 1) & 0xFF,
                                                                   (kAnswerFlush - 1) >> 8};

// Gives a frame just built its places and records the host bytes that begin in it.
void FrameBuilt(TFlight &Flight, const TFrame &Frame);
// Records Count bytes read back: each pair flagged valid answers the oldest host byte whose first
// pair was clocked before it.
void AnswersRead(TFlight &Flight, const unsigned char *Bytes, std::uint32_t Count);
// The host bytes in flight, oldest first.
std::vector<unsigned char> Unanswered(const TFlight &Flight);

// ---------------------------------------------------------------------------------------------
// Pacing between frames

// In bytes the chip still has to clock (8 us a byte at the 1 MHz the set-up chooses). The next
// frame is written once the chip is down to kFrameLead: late, so that the frame carries the host
// bytes queued meanwhile, and early enough that the chip never runs dry. 384 bytes are 3.1 ms. A
// full-speed chip (FT2232D) needs about 3 ms to move a whole 4099-byte frame over USB, but it
// starts clocking the frame as its first packets arrive, and from then on USB outruns the clock
// about eightfold: the lead covers the first packets' way to the chip and the worker waking late.
// Every byte of lead is echo time: a millisecond for every 125 bytes.
constexpr std::uint32_t kFrameLead = 384;
// A high-speed chip (FT2232H, FT4232H, FT232H) sends what it has clocked in 512-byte packets, so
// at 1 MHz its last bytes wait for its 1 ms latency timer, which runs out 1 to 2 ms after they
// were clocked: up to 250 bytes more of what it has clocked are not back yet than on a
// full-speed chip, whose 64-byte packets leave every half millisecond. Its lead is longer by
// that much, so that it leaves the chip the same time in hand; its echo takes 2 ms longer.
constexpr std::uint32_t kHighSpeedFrameLead = kFrameLead + 256;
// The lead assumes a worker that wakes on time. Beside busy processes it was seen waking late by
// more than the whole lead: the chip then has nothing to clock until the frame gets there (1 to
// 8 % of the clock lost on the emulated chips, some frames written with nothing left to clock).
// So a frame written with less than half the lead left in hand adds kFrameLead (3.1 ms) to the
// lead at once, and every frame written in time takes kLeadShrink bytes of that off again: over
// about 3 s when the worker stays on time, so an idle machine keeps the short lead and its echo.
// With the addition no chip lost more than 0.5 % beside two busy processes. It is no more than
// that: a longer lead lengthens a Stop's drain as much, and the drain must stay under 50 ms.
constexpr std::uint32_t kLeadShrink = 4;
// The addition to a chip's Lead after a frame written with Left still to clock, from Added before
// it.
std::uint32_t AddedLead(std::uint32_t Added, std::uint32_t Lead, std::uint64_t Left);
// The device answers a new host byte within about a millisecond of the frame carrying it
// beginning to clock, and the chip hands the answer on when its 1 ms latency timer next expires,
// anywhere from at once to a millisecond later. The worker collects when the chip has clocked
// this far into that frame: at 0.4 ms for an answer that is there at once, at 1.3 ms for the
// usual case and at 3.2 ms for one that came late, instead of near the frame's end. The extra
// wakes are only for frames that carry new host bytes.
constexpr std::array<std::uint32_t, 3> kAnswerDue = {48, 160, 400};
// The chip keeps what it has clocked in for the host in a buffer of its own, 4096 bytes in an
// FT2232H, and stops clocking while that is full; a driver need not read ahead of the link. So the
// worker never lets the chip clock more than half of it between two collections: 16 ms at 1 MHz,
// and a wake-up as late again still finds room.
constexpr std::uint32_t kChipAnswerBuffer = 4096;
constexpr std::uint32_t kMostUncollected = kChipAnswerBuffer / 2;

// What the chip still has to clock of the Given bytes: every byte it clocks out comes back as
// one, so what has not come back (ReadBack, or Queued in the driver's receive queue) is still
// ahead of its clock. No transmit count is needed: FTDI's library counts only what it has not yet
// handed to the chip, and a driver over libftdi1 has none to give. Bytes the chip has clocked but
// not yet sent over USB count as ahead: at most its latency timer's worth.
std::uint64_t StillToClock(std::uint64_t Given, std::uint64_t ReadBack, std::uint64_t Queued);

enum class TPaceStep {
    WriteNext, // the chip is down to the lead
    Collect,   // an answer is due now
    Wait,      // for WaitBytes more of the clock
};
struct TPace {
    TPaceStep Step;
    std::uint64_t WaitBytes = 0;
};
// One look between two frames, with Left still to clock and the next frame due at Lead. Due is the
// next of kAnswerDue still ahead in the frame just written (kAnswerDue.size() when none is, as for
// a frame without new host bytes); a Collect moves it past every point reached. A Wait is for no
// more than kMostUncollected bytes, after which the worker collects.
TPace NextPace(std::uint64_t Left, std::size_t &Due, std::uint32_t Lead = kFrameLead);

// ---------------------------------------------------------------------------------------------
// The handshake

// What one phase asks of the device: clock Command in, then offer each answer byte to Accept as
// it comes, until Accept takes one or the phase's time is up.
enum class TClockOutcome { Accepted, TimedOut, SendFailed, ReadFailed };
struct TClockAnswer {
    TClockOutcome Outcome = TClockOutcome::TimedOut;
    unsigned char Byte = 0;
};
using TClockIn = std::function<TClockAnswer(const unsigned char *Command, std::size_t Length,
                                            const std::function<bool(unsigned char)> &Accept)>;
using TSay = std::function<void(TLinkEventKind Kind, const std::string &Text)>;

enum class TPhase { Match, Miss, Failed };

// First phase: one more bit in; its answer, the last eight bits, must be the pattern's low byte.
// Says "SYNCH ---> " and the byte. A timeout or a failure ends the handshake (Failed).
TPhase FirstPhase(const TClockIn &ClockIn, unsigned char Low, const TSay &Say);
// Second phase: one whole byte in, which must be the pattern's high byte within the phase's time
// (Miss: the next attempt). A failure to send or read ends the handshake.
TPhase SecondPhase(const TClockIn &ClockIn, unsigned char High, const TSay &Say);

// The pattern's two bytes.
constexpr unsigned char LowByte(std::int16_t Pattern)
{
    return static_cast<unsigned char>(Pattern & 0xFF);
}
constexpr unsigned char HighByte(std::int16_t Pattern)
{
    return static_cast<unsigned char>((Pattern >> 8) & 0xFF);
}

} // namespace ssc
