// The SSC device behind the simulated chip.
//
// Principles of operation. The device has one output and one input line and moves one bit on
// each clock that the chip gives it; it never clocks by itself. Its output is a stream of 16-bit
// words, least significant bit first. Until it has seen the host's first frame every word is the
// pattern 0x01A5; the stream starts at a bit offset into that word, optionally after some zero
// bits, so that the host has to find the pattern bit by bit. Once a frame (a 0x3D command) has
// begun, the device finishes the word it is in and from then on sends pairs: (data, 0x01) for a
// byte it has to send, (0x00, 0x00) when it has none.
//
// Its input is read only from the host's frames, as 16-bit words aligned to the first bit of the
// first frame: data byte, then tag byte. A byte is new when its tag is not 0 and differs from
// the last non-zero tag seen, so that the host can repeat a pair as often as it likes and send
// zero filling without the device taking anything twice.
//
// Everything runs on whole bytes when the output word and the input word are both at a byte
// boundary, which is always the case in a synchronised link; single bits are the exception
// (the handshake).
#pragma once

#include <cstdint>
#include <deque>

namespace vsim
{

class TBoard;

constexpr unsigned kWordBits = 16;
// The word the device repeats until its first frame: low byte 0xA5, high byte 0x01.
constexpr std::uint16_t kPatternWord = 0x01A5;
// Sent instead of the pattern when a test wants the handshake to fail: any 8 consecutive bits
// of it read 0x55 or 0xAA, never 0xA5.
constexpr std::uint16_t kNoPatternWord = 0x5555;
// The flag byte of a pair that carries a byte.
constexpr std::uint8_t kFlagData = 0x01;
// Bytes waiting to be echoed. The device takes at most one new byte per input word and sends
// one per output word, so this bounds only a host that clocks in without clocking out.
constexpr std::size_t kEchoQueueCapacity = 65536;

enum class TBehaviour { Echo, Send, Silent, Counter };

// Where the device's pattern stream starts after an open or reset.
struct TStreamStart {
    unsigned Offset = 0; // first pattern bit sent, 0..15
    unsigned Zeros = 0;  // zero bits before it
    bool Pattern = true;
};

class TSscDevice
{
public:
    explicit TSscDevice(TBoard &board) : FBoard(board) {}

    void Restart(const TStreamStart &start);

    // The 8 stream bits that come just before the first bit clocked after a restart, in the
    // order a shift register would hold them (oldest at bit 0). With no leading zeros they are
    // pattern bits offset-8 .. offset-1; with leading zeros they are zeros.
    std::uint8_t PrecedingBits() const;

    // The behaviour for the words chosen from now on.
    void SetBehaviour(TBehaviour behaviour) { FBehaviour = behaviour; }

    // A 0x3D command is starting.
    void BeginFrame();

    // Clocks `count` bits (1..8) out of the device with no host data; returns them, first bit
    // at bit 0.
    std::uint8_t ClockIn(unsigned count);

    // Clocks 8 bits each way: the host's byte in, the device's byte out.
    std::uint8_t ClockOutIn(std::uint8_t hostByte);
    // As `count` calls of the above, from `hostBytes` into `deviceBytes`.
    void ClockOutIn(const std::uint8_t *hostBytes, std::uint8_t *deviceBytes, std::size_t count);

    bool Synced() const { return FSynced; }
    long long HostBytes() const { return FHostBytes; }
    long long BytesSent() const { return FBytesSent; }

private:
    unsigned NextOutputBit();
    void LoadNextWord();
    void FinishOutputWord();
    void TakeInputWord(std::uint16_t word);

    TBoard &FBoard;
    TBehaviour FBehaviour = TBehaviour::Echo;
    bool FSynced = false;

    std::uint16_t FPatternWord = kPatternWord;
    unsigned FZerosLeft = 0;
    std::uint16_t FOutWord = kPatternWord;
    unsigned FOutBit = 0; // next bit of FOutWord to send; kWordBits = choose a new word first
    bool FOutWordCarriesData = false;
    std::uint8_t FCounter = 0;
    std::deque<std::uint8_t> FEcho;

    std::uint16_t FInWord = 0;
    unsigned FInBit = 0; // 0 or 8: frames clock whole bytes
    std::uint8_t FLastTag = 0;

    long long FHostBytes = 0;
    long long FBytesSent = 0;
};

} // namespace vsim
