#include "tests/ReliabilityPath.h"

#include "tests/SimPath.h"
#ifdef VELMOR_RELIABILITY_CHIPS
#include "tests/ChipPath.h"
#endif

namespace reliability
{

std::string PathName(TPathKind Kind)
{
    switch (Kind) {
    case TPathKind::Sim:
        return "Sim";
    case TPathKind::FT2232D:
        return "FT2232D";
    case TPathKind::FT2232H:
        return "FT2232H";
    }
    return "Unknown";
}

std::unique_ptr<TReliabilityPath> MakePath(TPathKind Kind, SimLibrary &Sim)
{
    switch (Kind) {
    case TPathKind::Sim:
        return std::make_unique<TSimPath>(Sim);
#ifdef VELMOR_RELIABILITY_CHIPS
    case TPathKind::FT2232D:
        return std::make_unique<TChipPath>(usbemu::TChipType::FT2232D);
    case TPathKind::FT2232H:
        return std::make_unique<TChipPath>(usbemu::TChipType::FT2232H);
#else
    case TPathKind::FT2232D:
    case TPathKind::FT2232H:
        break;
#endif
    }
    return nullptr;
}

} // namespace reliability
