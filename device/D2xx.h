// FTDI's D2XX driver library as this program uses it: the types and constants of its API, one
// declaration of each of the nine entry points with the driver's own signature, and the
// process-wide table that the device link fills when it loads the library at run time.
//
// The library is libftd2xx.so on Linux (FTD2XX.DLL on Windows), found by the dynamic loader's
// normal search; when that cannot be loaded, the program's own libftd2xx-ftdi1.so (the same
// entry points over Debian's libftdi1, from ftdi/) in its library folder. Only the nine entry
// points below are ever bound; every one returns FT_STATUS, where 0 is success and any other value
// a failure. One more, FT_GetDeviceInfo, is bound where the library has it: it tells the chip's
// type, which the link's set-up needs for the H chips' clock, and its absence changes nothing else.
#pragma once

#include <cstdint>
#include <string>

namespace d2xx
{

using FT_HANDLE = void *;
using FT_STATUS = std::uint32_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;

// FT_STATUS values.
constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;

// FT_OpenEx flags and FT_ListDevices flags.
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr DWORD FT_OPEN_BY_LOCATION = 4;
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;

// FT_SetBitMode modes.
constexpr UCHAR FT_BITMODE_RESET = 0x00;
constexpr UCHAR FT_BITMODE_MPSSE = 0x02;

// FT_GetDeviceInfo's chip types that the link tells apart: the H chips, whose MPSSE clock has
// settings of its own (divide-by-5, three-phase and adaptive clocking) that another program may
// leave behind. FT_DEVICE_2232C is also the FT2232D.
using FT_DEVICE = std::uint32_t;
constexpr FT_DEVICE FT_DEVICE_2232C = 4;
constexpr FT_DEVICE FT_DEVICE_2232H = 6;
constexpr FT_DEVICE FT_DEVICE_4232H = 7;
constexpr FT_DEVICE FT_DEVICE_232H = 8;
constexpr bool IsHighSpeedChip(FT_DEVICE Type)
{
    return Type == FT_DEVICE_2232H || Type == FT_DEVICE_4232H || Type == FT_DEVICE_232H;
}

// The buffers that FT_ListDevices fills with one description and one serial number; by location
// it fills a DWORD.
constexpr std::size_t kDescriptionSize = 64;
constexpr std::size_t kSerialNumberSize = 16;

// The nine entry points, in the order in which they are looked up, each with the driver's own
// signature: X(name, parameter list). Everything that names them (the table, the binding, the
// simulated driver's exports, the tests' loader) expands this one list.
#define VELMOR_D2XX_ENTRY_POINTS(X)                                                                \
    X(FT_OpenEx, (void *pArg1, DWORD Flags, FT_HANDLE *pHandle))                                   \
    X(FT_SetLatencyTimer, (FT_HANDLE ftHandle, UCHAR ucLatency))                                   \
    X(FT_SetTimeouts, (FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout))                 \
    X(FT_SetBitMode, (FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable))                           \
    X(FT_GetStatus,                                                                                \
      (FT_HANDLE ftHandle, DWORD * dwRxBytes, DWORD * dwTxBytes, DWORD * dwEventDWord))            \
    X(FT_ListDevices, (void *pArg1, void *pArg2, DWORD Flags))                                     \
    X(FT_Read, (FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToRead, DWORD *lpBytesReturned))  \
    X(FT_Write, (FT_HANDLE ftHandle, void *lpBuffer, DWORD dwBytesToWrite, DWORD *lpBytesWritten)) \
    X(FT_Close, (FT_HANDLE ftHandle))

extern "C" {
#define VELMOR_D2XX_POINTER_TYPE(Name, Parameters) using Name##_t = FT_STATUS(*) Parameters;
VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_POINTER_TYPE)
#undef VELMOR_D2XX_POINTER_TYPE
// Bound where the library has it (see above).
using FT_GetDeviceInfo_t = FT_STATUS (*)(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice, DWORD *lpdwID,
                                         char *SerialNumber, char *Description, void *Dummy);
}

// The bound entry points. Empty at start; filled by the device link's Init on the user-interface
// thread; shared by every link; not cleared when a link unloads the library.
struct TD2xxTable {
#define VELMOR_D2XX_TABLE_ENTRY(Name, Parameters) Name##_t Name = nullptr;
    VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_TABLE_ENTRY)
#undef VELMOR_D2XX_TABLE_ENTRY
    FT_GetDeviceInfo_t FT_GetDeviceInfo = nullptr; // where the library has it
};

extern TD2xxTable Table;

// The file that the link loads: libftd2xx.so unless a test has pointed the binding elsewhere
// (an empty name points it back).
std::string LibraryFile();
void SetLibraryFile(const std::string &file);

// The program's own driver, libftd2xx-ftdi1.so in its library folder, found relative to the
// running executable; empty if the executable's path is unknown.
std::string OwnDriverFile();

// Loads the driver: the file a test set, as it stands; else libftd2xx.so and, when that cannot
// be loaded, OwnDriverFile(). On success `file` names the file loaded, by its full path when the
// loader searched for it; on failure, with nullptr returned, the files tried ("libftd2xx.so or
// /usr/local/lib/velmor-debug/libftd2xx-ftdi1.so"), and `why` (when given) the loader's reason
// for each, "; " between them.
void *LoadDriver(std::string &file, std::string *why = nullptr);

// Why `file` is not tried as the driver library: a path to something that is not a regular file
// (a FIFO would block the loader's open for ever, a device or a folder cannot be a library); empty
// when it can be tried. Looked at without opening it; a symbolic link is followed. A name without
// a slash is the loader's to search, and a file that is not there is left for the loader to say.
std::string RefusedLibraryFile(const std::string &file);

// Loads the library file; nullptr on failure, and for a file RefusedLibraryFile refuses. `why`
// (when given) then says why: the loader's own text, or the refusal.
void *LoadLibrary(const std::string &file, std::string *why = nullptr);

// The full path of a loaded library, as the loader found it; empty when it cannot tell.
std::string LoadedPath(void *library);
void UnloadLibrary(void *library);

// Looks up the nine entry points of `library` in table order, each by its plain name and then with
// a leading underscore, and fills `into` (Table when not given) as it goes. Returns an empty string
// when all were found, else the name of the first entry point that is missing (later ones are not
// looked up).
std::string BindEntryPoints(void *library, TD2xxTable &into);
std::string BindEntryPoints(void *library);

// The driver library as one device link holds it: loaded, its entry points bound into a table of
// its own, unloaded when the handle lets it go or is destroyed. The link calls the driver only
// through Entries(), so no call reaches a library after its unload, whatever another link has
// done to the process-wide Table meanwhile.
class TD2xxLibrary
{
public:
    TD2xxLibrary() = default;
    ~TD2xxLibrary() { Unload(); }
    TD2xxLibrary(const TD2xxLibrary &) = delete;
    TD2xxLibrary &operator=(const TD2xxLibrary &) = delete;

    // Lets go of the library held, if any, then loads the driver as LoadDriver does (`File` and
    // `Why` as there).
    void Load(std::string &File, std::string *Why);
    bool Loaded() const { return FHandle != nullptr; }
    // Binds the entry points (BindEntryPoints) into Entries() and into the process-wide Table,
    // which the program itself no longer calls through; the first missing name, or empty.
    std::string Bind();
    // Unloads the library; Entries() is empty again, Table stays as it was.
    void Unload();
    const TD2xxTable &Entries() const { return FEntries; }

private:
    void *FHandle = nullptr;
    TD2xxTable FEntries;
};

} // namespace d2xx
