#include "device/D2xx.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <system_error>

namespace d2xx
{

TD2xxTable Table;

namespace
{

#ifdef _WIN32
constexpr const char *kDefaultLibraryFile = "FTD2XX.DLL";
#else
constexpr const char *kDefaultLibraryFile = "libftd2xx.so";
#endif

#ifndef VELMOR_OWN_DRIVER
#define VELMOR_OWN_DRIVER "../lib/velmor-debug/libftd2xx-ftdi1.so"
#endif

std::mutex FileMutex;
std::string File = kDefaultLibraryFile;
bool FileSet = false;

// Looks `name` up as it stands, then with the leading underscore that some builds of the driver
// put before every exported name.
void *Resolve(void *library, const char *name)
{
    if (void *entry = dlsym(library, name))
        return entry;
    const std::string underscored = std::string("_") + name;
    return dlsym(library, underscored.c_str());
}

template <typename TEntry>
bool Bind(void *library, const char *name, TEntry &slot, std::string &missing)
{
    void *entry = Resolve(library, name);
    if (!entry) {
        missing = name;
        return false;
    }
    slot = reinterpret_cast<TEntry>(entry);
    return true;
}

} // namespace

std::string LibraryFile()
{
    std::lock_guard guard(FileMutex);
    return File;
}

void SetLibraryFile(const std::string &file)
{
    std::lock_guard guard(FileMutex);
    File = file.empty() ? kDefaultLibraryFile : file;
    FileSet = !file.empty();
}

std::string OwnDriverFile()
{
    // VELMOR_OWN_DRIVER is the driver's path relative to the executable's folder, as installed
    // (and as the build tree lays it out).
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || executable.empty())
        return {};
    return (executable.parent_path() / VELMOR_OWN_DRIVER).lexically_normal().string();
}

void *LoadDriver(std::string &file, std::string *why)
{
    bool fallback = false;
    {
        std::lock_guard guard(FileMutex);
        file = File;
        fallback = !FileSet;
    }
    std::string reason;
    if (void *library = LoadLibrary(file, &reason)) {
        // A bare name is the loader's to search: say where it found it.
        if (file.find('/') == std::string::npos)
            if (const std::string path = LoadedPath(library); !path.empty())
                file = path;
        return library;
    }
    const std::string own = fallback ? OwnDriverFile() : std::string();
    if (!own.empty()) {
        std::string ownReason;
        if (void *library = LoadLibrary(own, &ownReason)) {
            file = own;
            return library;
        }
        file += " or " + own;
        reason += "; " + ownReason;
    }
    if (why)
        *why = reason;
    return nullptr;
}

std::string RefusedLibraryFile(const std::string &file)
{
    struct stat found = {};
    if (file.find('/') == std::string::npos || ::stat(file.c_str(), &found) != 0 ||
        S_ISREG(found.st_mode))
        return {};
    const char *kind = S_ISFIFO(found.st_mode)   ? "a FIFO"
                       : S_ISDIR(found.st_mode)  ? "a folder"
                       : S_ISCHR(found.st_mode)  ? "a character device"
                       : S_ISBLK(found.st_mode)  ? "a block device"
                       : S_ISSOCK(found.st_mode) ? "a socket"
                                                 : "an unknown kind of file";
    return file + " is " + kind + ", not a regular file";
}

void *LoadLibrary(const std::string &file, std::string *why)
{
    if (std::string refused = RefusedLibraryFile(file); !refused.empty()) {
        if (why)
            *why = std::move(refused);
        return nullptr;
    }
    // dlerror's text is the loader's last, and says which file it could not open and why.
    void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && why) {
        const char *error = dlerror();
        *why = error ? error : file + ": cannot be loaded";
    }
    return library;
}

std::string LoadedPath(void *library)
{
    const link_map *map = nullptr;
    if (!library || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return {};
    // A folder of LD_LIBRARY_PATH may be relative to where the program was started.
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(map->l_name, error);
    return error ? std::string(map->l_name) : path.lexically_normal().string();
}

void UnloadLibrary(void *library)
{
    if (library)
        dlclose(library);
}

std::string BindEntryPoints(void *library, TD2xxTable &into)
{
    std::string missing;
    // The lookup order is the table's order; the first gap ends the binding.
#define VELMOR_D2XX_BIND(Name, Parameters)                                                         \
    if (missing.empty())                                                                           \
        Bind(library, #Name, into.Name, missing);
    VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_BIND)
#undef VELMOR_D2XX_BIND
    if (missing.empty()) {
        std::string absent;
        // A driver without it leaves the loader's message of the failed lookup behind. The first
        // dlerror takes it and the second lets it go, here, rather than whoever calls the loader
        // next (a sanitizer's symbolizer, say).
        if (!Bind(library, "FT_GetDeviceInfo", into.FT_GetDeviceInfo, absent)) {
            dlerror();
            dlerror();
        }
    }
    return missing;
}

std::string BindEntryPoints(void *library)
{
    return BindEntryPoints(library, Table);
}

void TD2xxLibrary::Load(std::string &File, std::string *Why)
{
    Unload();
    FHandle = LoadDriver(File, Why);
}

std::string TD2xxLibrary::Bind()
{
    FEntries = {};
    std::string missing = BindEntryPoints(FHandle, FEntries);
    // Table gets what was found, as if bound in place: entries after a gap stay as they were.
#define VELMOR_D2XX_PUBLISH(Name, Parameters)                                                      \
    if (FEntries.Name)                                                                             \
        Table.Name = FEntries.Name;
    VELMOR_D2XX_ENTRY_POINTS(VELMOR_D2XX_PUBLISH)
#undef VELMOR_D2XX_PUBLISH
    Table.FT_GetDeviceInfo = FEntries.FT_GetDeviceInfo;
    return missing;
}

void TD2xxLibrary::Unload()
{
    FEntries = {};
    UnloadLibrary(FHandle);
    FHandle = nullptr;
}

} // namespace d2xx
