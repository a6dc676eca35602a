// D2XX's entry points, as the program binds them from libftd2xx.so, over the simulated board
// (export/D2xxExport.h writes them). A handle is a chip among the board's live ones; the chip
// keeps its own lock, so calls on different chips never wait for each other.

#include "export/D2xxExport.h"
#include "sim/Board.h"
#include "sim/MpsseChip.h"

#include <memory>
#include <string>
#include <vector>

namespace
{

using vsim::TBoard;
using vsim::TChip;

struct TSimDriver {
    using TOpen = TChip;

    static d2xx::exports::THandles<TChip> &Live() { return TBoard::Instance().Live(); }

    static FT_STATUS Open(const std::string &key, bool bySerial, std::shared_ptr<TChip> &chip)
    {
        return TBoard::Instance().Open(key, bySerial, chip);
    }

    static std::shared_ptr<TChip> Remove(FT_HANDLE handle)
    {
        return TBoard::Instance().Remove(handle);
    }

    static FT_STATUS Close(TChip &chip)
    {
        chip.MarkClosed();
        return TBoard::Instance().ForCall().Unplugged ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
    }

    static FT_STATUS List(std::vector<d2xx::exports::TListed> &listed)
    {
        listed = TBoard::Instance().ListedDevices();
        return d2xx::FT_OK;
    }
};

} // namespace

VELMOR_D2XX_EXPORTS(TSimDriver)
