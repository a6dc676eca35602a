// Fuzzes the simulated chip (sim/) through its D2XX entry points: the MPSSE command stream, cut
// into writes of any size, interleaved with reads, status calls, bit-mode changes, the device's
// behaviours and the faults the control interface can arm.
//
// The chip runs in fast mode, so every command completes as soon as it is written and nothing
// depends on the clock; read and write timeouts are 1 ms, the least that still ends a call that
// has to wait. A model of the chip, written from its documented behaviour, parses the same
// stream a byte at a time and predicts every call's status and count, both queue counts, and
// the answer bytes it can know (0xFA answers, loop-back); any difference traps.
#include "ChipModel.h"
#include "FuzzInput.h"
#include "device/D2xx.h"
#include "export/D2xxExport.h"
#include "sim/SimControl.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <vector>

// The simulator's entry points, compiled into this binary, are declared from the one list of
// them (export/D2xxExport.h).

const char *const fuzz::kTargetName = "mpsse_fuzzer";

namespace
{

constexpr ULONG kTimeoutMs = 1;
// Calls that wait out their timeout cost a millisecond each; a few per input keep the stall
// paths covered without slowing the run down.
constexpr int kMaxWaits = 4;

using fuzz::ChipModel;
using fuzz::Input;
using fuzz::Require;
using fuzz::TakeCall;

struct Session {
    FT_HANDLE Handle = nullptr;
    ChipModel Model;
    int Waits = 0;
};

// The status a call on the open handle gets before it does anything.
FT_STATUS HandleStatus(const Session &S)
{
    return S.Model.Unplugged ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

void Write(Session &S, std::vector<std::uint8_t> &Data)
{
    ChipModel &m = S.Model;
    const std::size_t count = Data.size();
    DWORD written = 0xDEADBEEF;
    const FT_STATUS status = FT_Write(S.Handle, Data.data(), static_cast<DWORD>(count), &written);
    Require(written <= count, "FT_Write reports more written than offered");

    FT_STATUS expected = HandleStatus(S);
    std::size_t taken = 0;
    if (expected == d2xx::FT_OK) {
        const bool stall = m.WriteStall;
        const bool error = !stall && TakeCall(m.WriteErrorCalls);
        if (stall) {
            ++S.Waits;
        } else if (error && !m.WriteErrorTakesBytes) {
            expected = d2xx::FT_IO_ERROR;
        } else {
            const std::size_t limit =
                m.ShortWrite > 0 ? std::min(count, static_cast<std::size_t>(m.ShortWrite)) : count;
            for (;;) {
                m.Run();
                if (taken == limit)
                    break;
                // Outside MPSSE mode the bytes are taken and dropped.
                const std::size_t offered = std::min(limit - taken, m.Mpsse ? m.Room() : limit);
                std::size_t allowed = offered;
                if (m.WriteBudget >= 0) {
                    allowed = std::min(offered, static_cast<std::size_t>(m.WriteBudget));
                    m.WriteBudget -= static_cast<long long>(allowed);
                }
                if (allowed == 0) {
                    ++S.Waits;
                    break;
                }
                if (m.Mpsse)
                    m.Push(Data.data() + taken, allowed);
                taken += allowed;
            }
            if (error)
                expected = d2xx::FT_IO_ERROR;
        }
    }
    Require(status == expected, "FT_Write returned another status");
    Require(written == taken, "FT_Write took another count");
}

void Read(Session &S, std::size_t Count)
{
    ChipModel &m = S.Model;
    std::vector<std::uint8_t> out(Count);
    DWORD got = 0xDEADBEEF;
    const FT_STATUS status = FT_Read(S.Handle, out.data(), static_cast<DWORD>(Count), &got);
    Require(got <= Count, "FT_Read returned more than asked");

    FT_STATUS expected = HandleStatus(S);
    std::size_t taken = 0;
    if (expected == d2xx::FT_OK && TakeCall(m.ReadErrorCalls)) {
        expected = d2xx::FT_IO_ERROR;
    } else if (expected == d2xx::FT_OK) {
        for (;;) {
            m.Run();
            if (m.Queued() >= Count - taken)
                break;
            if (!m.AnswersFull()) {
                ++S.Waits;
                break;
            }
            // More asked for than the queue holds: what it holds is handed over first.
            const std::size_t all = m.Queued();
            m.Pop(out.data() + taken, all);
            taken += all;
        }
        std::size_t take = std::min(Count - taken, m.Queued());
        if (Count >= 2 && take >= 1 && taken + take >= 2 && TakeCall(m.OddReadCalls))
            --take;
        m.Pop(out.data() + taken, take);
        taken += take;
    }
    Require(status == expected, "FT_Read returned another status");
    if (status != d2xx::FT_OK)
        Require(got == 0, "a failed FT_Read reports bytes");
    Require(got == taken, "FT_Read returned another count");
}

void Status(Session &S)
{
    DWORD rx = 0xDEADBEEF, tx = 0xDEADBEEF, events = 0xDEADBEEF;
    const FT_STATUS status = FT_GetStatus(S.Handle, &rx, &tx, &events);
    Require(status == HandleStatus(S), "FT_GetStatus returned another status");
    if (status != d2xx::FT_OK)
        return;
    S.Model.Run();
    Require(rx <= fuzz::kReadQueueSize, "read queue count above its capacity");
    Require(tx <= fuzz::kCommandBufferSize, "command buffer count above its capacity");
    Require(rx == S.Model.Queued(), "read queue count differs from the model");
    Require(tx == S.Model.Pending(), "command buffer count differs from the model");
    Require(events == 0, "events reported");
}

void SetBitMode(Session &S, UCHAR Mask, UCHAR Mode)
{
    const FT_STATUS status = FT_SetBitMode(S.Handle, Mask, Mode);
    Require(status == HandleStatus(S), "FT_SetBitMode returned another status");
    if (status != d2xx::FT_OK)
        return;
    // The chip catches up under the old mode first.
    S.Model.Run();
    if (Mode == d2xx::FT_BITMODE_RESET)
        S.Model.Reset();
    else
        S.Model.Mpsse = Mode == d2xx::FT_BITMODE_MPSSE;
}

void CompareState(Session &S)
{
    VsimChipState state{};
    Require(vsim_GetChipState(&state) == 1, "no chip state");
    S.Model.Run();
    Require(state.open == 1, "chip closed early");
    Require(state.badCommands == S.Model.BadCommands, "bad command count differs");
    if (S.Model.BadCommands > 0)
        Require(state.lastBadOpcode == S.Model.LastBadOpcode, "last bad opcode differs");
    Require(state.frames == S.Model.Frames, "frame count differs");
    Require(state.bitsClocked == S.Model.BitsClocked, "clocked bit count differs");
    Require((state.loopback != 0) == S.Model.Loopback, "loop-back state differs");
    Require(state.lowValue == S.Model.LowValue, "low pin value differs");
    Require(state.divisor == S.Model.Divisor, "divisor differs");
}

std::vector<std::uint8_t> Chunk(Input &In, std::size_t Count)
{
    std::vector<std::uint8_t> chunk(Count);
    for (auto &byte : chunk)
        byte = In.Byte();
    return chunk;
}

// A chunk written many times over: enough to fill the command buffer and the read queue.
std::vector<std::uint8_t> Repeated(Input &In)
{
    const std::vector<std::uint8_t> piece = Chunk(In, 1 + In.Byte() % 64);
    const std::size_t times = 1 + std::size_t{In.Byte()} * 4;
    std::vector<std::uint8_t> data;
    data.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        data.insert(data.end(), piece.begin(), piece.end());
    return data;
}

std::size_t ReadCount(Input &In)
{
    switch (In.Byte() % 4) {
    case 0:
        return In.Byte();
    case 1:
        return In.Word();
    case 2:
        return fuzz::kReadQueueSize + In.Word();
    default:
        return 1 + In.Byte() % 4;
    }
}

void ArmFault(Session &S, Input &In)
{
    ChipModel &m = S.Model;
    const std::uint8_t value = In.Byte();
    const int calls = static_cast<int>(value % 8) - 1; // -1 .. 6
    switch (In.Byte() % 7) {
    case 0:
        m.ShortWrite = value % 4 == 0 ? 0 : value;
        vsim_SetShortWrite(m.ShortWrite);
        break;
    case 1:
        m.WriteErrorCalls = calls;
        m.WriteErrorTakesBytes = (value & 0x80) != 0;
        vsim_SetWriteError(calls, m.WriteErrorTakesBytes ? 1 : 0);
        break;
    case 2:
        m.WriteStall = (value & 1) != 0;
        vsim_SetWriteStall(m.WriteStall ? 1 : 0);
        break;
    case 3:
        m.WriteBudget = (value & 1) != 0 ? -1 : static_cast<long long>(In.Word());
        vsim_SetWriteBudget(static_cast<int>(m.WriteBudget));
        break;
    case 4:
        m.ReadErrorCalls = calls;
        vsim_SetReadError(calls);
        break;
    case 5:
        m.OddReadCalls = calls;
        vsim_SetOddRead(calls);
        break;
    default:
        m.Unplugged = (value & 1) != 0;
        vsim_SetUnplugged(m.Unplugged ? 1 : 0);
        break;
    }
}

UCHAR BitMode(Input &In)
{
    switch (In.Byte() % 4) {
    case 0:
        return d2xx::FT_BITMODE_RESET;
    case 1:
    case 2:
        return d2xx::FT_BITMODE_MPSSE;
    default:
        return In.Byte();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    Input in(Data, Size);
    vsim_Reset();
    vsim_SetRealTime(0);

    // How the device starts and what it sends: it only colours the answers the model leaves
    // open, but it runs the device's own code along.
    const std::uint8_t setup = in.Byte();
    vsim_SetBehaviour(setup % 4);
    vsim_SetNoPattern((setup & 0x10) != 0 ? 1 : 0);
    vsim_SetStream(in.Byte() % 16, in.Byte());
    const std::vector<std::uint8_t> sent = Chunk(in, in.Byte() % 32);
    vsim_QueueDeviceBytes(sent.data(), static_cast<int>(sent.size()));

    Session s;
    char description[] = "SSC Simulator";
    Require(FT_OpenEx(description, d2xx::FT_OPEN_BY_DESCRIPTION, &s.Handle) == d2xx::FT_OK,
            "the simulator does not open");
    Require(FT_SetTimeouts(s.Handle, kTimeoutMs, kTimeoutMs) == d2xx::FT_OK, "timeouts not set");
    Require(FT_SetLatencyTimer(s.Handle, 1) == d2xx::FT_OK, "latency not set");
    SetBitMode(s, 0x00, d2xx::FT_BITMODE_RESET);
    SetBitMode(s, 0x00, d2xx::FT_BITMODE_MPSSE);

    while (!in.Empty() && s.Waits < kMaxWaits) {
        switch (in.Byte() % 12) {
        case 0:
        case 1:
        case 2: {
            std::vector<std::uint8_t> chunk = Chunk(in, in.Byte() % 48);
            Write(s, chunk);
            break;
        }
        case 3: {
            std::vector<std::uint8_t> data = Repeated(in);
            Write(s, data);
            break;
        }
        case 4:
        case 5:
            Read(s, ReadCount(in));
            break;
        case 6:
        case 7:
            Status(s);
            break;
        case 8: {
            const UCHAR mask = in.Byte();
            SetBitMode(s, mask, BitMode(in));
            break;
        }
        case 9:
            ArmFault(s, in);
            break;
        case 10:
            vsim_SetBehaviour(in.Byte() % 4);
            break;
        default: {
            const std::vector<std::uint8_t> more = Chunk(in, in.Byte() % 16);
            vsim_QueueDeviceBytes(more.data(), static_cast<int>(more.size()));
            break;
        }
        }
    }

    CompareState(s);
    const FT_STATUS closed = FT_Close(s.Handle);
    Require(closed == HandleStatus(s), "FT_Close returned another status");
    Require(vsim_OpenCount() == 0, "a chip stays open after FT_Close");
    // Lets go of the closed chip too, so that nothing this run allocated outlives it.
    vsim_Reset();
    return 0;
}
