// The control interface declared in SimControl.h: thin C wrappers over the board.

#include "sim/Board.h"
#include "sim/MpsseChip.h"
#include "sim/SimControl.h"

#include <string>
#include <vector>

using vsim::Board;

namespace
{

std::size_t Count(int count)
{
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

vsim::Behaviour ToBehaviour(int behaviour)
{
    switch (behaviour) {
    case VSIM_SEND:
        return vsim::Behaviour::Send;
    case VSIM_SILENT:
        return vsim::Behaviour::Silent;
    case VSIM_COUNTER:
        return vsim::Behaviour::Counter;
    default:
        return vsim::Behaviour::Echo;
    }
}

} // namespace

void vsim_Reset(void)
{
    Board::Instance().Reset();
}

void vsim_SetDevices(const char *const *descriptions, int count)
{
    std::vector<std::string> list;
    for (std::size_t i = 0; descriptions != nullptr && i < Count(count); ++i)
        list.emplace_back(descriptions[i] != nullptr ? descriptions[i] : "");
    Board::Instance().SetDevices(std::move(list));
}

void vsim_SetUnreadable(int index, const char *reason)
{
    Board::Instance().SetUnreadable(index, reason != nullptr ? reason : "");
}

void vsim_SetRealTime(int on)
{
    Board::Instance().SetRealTime(on != 0);
}

void vsim_SetBehaviour(int behaviour)
{
    Board::Instance().SetBehaviour(ToBehaviour(behaviour));
}

void vsim_QueueDeviceBytes(const unsigned char *data, int count)
{
    if (data != nullptr)
        Board::Instance().QueueDeviceBytes(data, Count(count));
}

void vsim_SetStream(int offset, int zeros)
{
    Board::Instance().SetStream(offset, zeros);
}

void vsim_SetNoPattern(int on)
{
    Board::Instance().SetNoPattern(on != 0);
}

void vsim_SetShortWrite(int maxBytes)
{
    Board::Instance().SetShortWrite(maxBytes);
}

void vsim_SetWriteError(int calls, int takeBytes)
{
    Board::Instance().SetWriteError(calls, takeBytes != 0);
}

void vsim_SetWriteStall(int on)
{
    Board::Instance().SetWriteStall(on != 0);
}

void vsim_SetWriteBudget(int bytes)
{
    Board::Instance().SetWriteBudget(bytes);
}

void vsim_SetReadError(int calls)
{
    Board::Instance().SetReadError(calls);
}

void vsim_SetOddRead(int calls)
{
    Board::Instance().SetOddRead(calls);
}

void vsim_SetUnplugged(int on)
{
    Board::Instance().SetUnplugged(on != 0);
}

void vsim_SetOverReport(unsigned bytes)
{
    Board::Instance().SetOverReport(bytes);
}

void vsim_SetTxCountHidden(int on)
{
    Board::Instance().SetTxCountHidden(on != 0);
}

int vsim_OpenCount(void)
{
    return Board::Instance().OpenCount();
}

int vsim_TakeHostBytes(unsigned char *buf, int cap)
{
    if (buf == nullptr)
        return 0;
    return static_cast<int>(Board::Instance().TakeHostBytes(buf, Count(cap)));
}

int vsim_GetChipState(VsimChipState *state)
{
    const auto chip = Board::Instance().LatestChip();
    if (!chip)
        return 0;
    if (state != nullptr)
        *state = chip->State();
    return 1;
}

int vsim_GetWriteLog(unsigned char *buf, int cap)
{
    const auto chip = Board::Instance().LatestChip();
    if (!chip || buf == nullptr)
        return 0;
    return static_cast<int>(chip->CopyWriteLog(buf, Count(cap)));
}
