// The control interface declared in SimControl.h: thin C wrappers over the board.

#include "sim/Board.h"
#include "sim/MpsseChip.h"
#include "sim/SimControl.h"

#include <string>
#include <vector>

using vsim::TBoard;

namespace
{

std::size_t Count(int count)
{
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

vsim::TBehaviour ToBehaviour(int behaviour)
{
    switch (behaviour) {
    case VSIM_SEND:
        return vsim::TBehaviour::Send;
    case VSIM_SILENT:
        return vsim::TBehaviour::Silent;
    case VSIM_COUNTER:
        return vsim::TBehaviour::Counter;
    default:
        return vsim::TBehaviour::Echo;
    }
}

} // namespace

void vsim_Reset(void)
{
    TBoard::Instance().Reset();
}

void vsim_SetDevices(const char *const *descriptions, int count)
{
    std::vector<std::string> list;
    for (std::size_t i = 0; descriptions != nullptr && i < Count(count); ++i)
        list.emplace_back(descriptions[i] != nullptr ? descriptions[i] : "");
    TBoard::Instance().SetDevices(std::move(list));
}

void vsim_SetUnreadable(int index, const char *reason)
{
    TBoard::Instance().SetUnreadable(index, reason != nullptr ? reason : "");
}

void vsim_SetRealTime(int on)
{
    TBoard::Instance().SetRealTime(on != 0);
}

void vsim_SetBehaviour(int behaviour)
{
    TBoard::Instance().SetBehaviour(ToBehaviour(behaviour));
}

void vsim_QueueDeviceBytes(const unsigned char *data, int count)
{
    if (data != nullptr)
        TBoard::Instance().QueueDeviceBytes(data, Count(count));
}

void vsim_SetStream(int offset, int zeros)
{
    TBoard::Instance().SetStream(offset, zeros);
}

void vsim_SetNoPattern(int on)
{
    TBoard::Instance().SetNoPattern(on != 0);
}

void vsim_SetShortWrite(int maxBytes)
{
    TBoard::Instance().SetShortWrite(maxBytes);
}

void vsim_SetWriteError(int calls, int takeBytes)
{
    TBoard::Instance().SetWriteError(calls, takeBytes != 0);
}

void vsim_SetWriteStall(int on)
{
    TBoard::Instance().SetWriteStall(on != 0);
}

void vsim_SetWriteBudget(int bytes)
{
    TBoard::Instance().SetWriteBudget(bytes);
}

void vsim_SetReadError(int calls)
{
    TBoard::Instance().SetReadError(calls);
}

void vsim_SetOddRead(int calls)
{
    TBoard::Instance().SetOddRead(calls);
}

void vsim_SetUnplugged(int on)
{
    TBoard::Instance().SetUnplugged(on != 0);
}

void vsim_SetOverReport(unsigned bytes)
{
    TBoard::Instance().SetOverReport(bytes);
}

void vsim_SetTxCountHidden(int on)
{
    TBoard::Instance().SetTxCountHidden(on != 0);
}

int vsim_OpenCount(void)
{
    return TBoard::Instance().OpenCount();
}

int vsim_TakeHostBytes(unsigned char *buf, int cap)
{
    if (buf == nullptr)
        return 0;
    return static_cast<int>(TBoard::Instance().TakeHostBytes(buf, Count(cap)));
}

int vsim_GetChipState(VsimChipState *state)
{
    const auto chip = TBoard::Instance().LatestChip();
    if (!chip)
        return 0;
    if (state != nullptr)
        *state = chip->State();
    return 1;
}

int vsim_GetWriteLog(unsigned char *buf, int cap)
{
    const auto chip = TBoard::Instance().LatestChip();
    if (!chip || buf == nullptr)
        return 0;
    return static_cast<int>(chip->CopyWriteLog(buf, Count(cap)));
}
