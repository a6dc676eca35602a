// The simulated D2XX driver, loaded for a test or benchmark.
//
// A SimLibrary dlopens the built libftd2xx.so (the path comes from the compile definition
// VELMOR_SIM_PATH, which the `sim_library` CMake target provides), binds every D2XX entry point and
// every vsim_ control function by name into members named exactly like the functions, calls
// vsim_Reset() and keeps the library loaded until it is destroyed. Because it holds its own handle,
// the simulator's settings survive while the code under test loads and unloads the same file.
//
//     SimLibrary sim;
//     sim.vsim_SetRealTime(0);
//     d2xx::FT_HANDLE handle = nullptr;
//     sim.FT_OpenEx(const_cast<char *>("SSC Simulator"), d2xx::FT_OPEN_BY_DESCRIPTION, &handle);
//
// A missing file or function fails the running GoogleTest test (ADD_FAILURE) and leaves the
// members null; Loaded() tells. Define VELMOR_SIM_WITHOUT_GTEST before including this header in a
// program without GoogleTest: failures are then printed to stderr and abort the program.
#pragma once

#include "device/D2xx.h"
#include "sim/SimControl.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#ifndef VELMOR_SIM_WITHOUT_GTEST
#include <gtest/gtest.h>
#else
#include <cstdio>
#include <cstdlib>
#endif

#ifndef VELMOR_SIM_PATH
#error "VELMOR_SIM_PATH must name the built simulator module (link the sim_library target)"
#endif

class SimLibrary
{
public:
    // The full path of the simulator module, whose folder goes into LD_LIBRARY_PATH for a
    // program that loads "libftd2xx.so" by name.
    static std::string Path() { return VELMOR_SIM_PATH; }
    static std::string Folder()
    {
        const std::string path = Path();
        return path.substr(0, path.find_last_of('/'));
    }

    SimLibrary()
    {
        FLibrary = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (FLibrary == nullptr) {
            const char *why = dlerror();
            Fail("cannot load the simulated driver " + Path() + ": " + (why ? why : "?"));
            return;
        }
#define VELMOR_SIM_BIND(Name, Parameters) Bind(Name, #Name);
        VELMOR_D2XX_ENTRY_POINTS(VELMOR_SIM_BIND)
#undef VELMOR_SIM_BIND
        Bind(vsim_Reset, "vsim_Reset");
        Bind(vsim_SetDevices, "vsim_SetDevices");
        Bind(vsim_SetUnreadable, "vsim_SetUnreadable");
        Bind(vsim_SetRealTime, "vsim_SetRealTime");
        Bind(vsim_SetBehaviour, "vsim_SetBehaviour");
        Bind(vsim_QueueDeviceBytes, "vsim_QueueDeviceBytes");
        Bind(vsim_SetStream, "vsim_SetStream");
        Bind(vsim_SetNoPattern, "vsim_SetNoPattern");
        Bind(vsim_SetShortWrite, "vsim_SetShortWrite");
        Bind(vsim_SetWriteError, "vsim_SetWriteError");
        Bind(vsim_SetWriteStall, "vsim_SetWriteStall");
        Bind(vsim_SetWriteBudget, "vsim_SetWriteBudget");
        Bind(vsim_SetReadError, "vsim_SetReadError");
        Bind(vsim_SetOddRead, "vsim_SetOddRead");
        Bind(vsim_SetUnplugged, "vsim_SetUnplugged");
        Bind(vsim_SetOverReport, "vsim_SetOverReport");
        Bind(vsim_SetTxCountHidden, "vsim_SetTxCountHidden");
        Bind(vsim_OpenCount, "vsim_OpenCount");
        Bind(vsim_TakeHostBytes, "vsim_TakeHostBytes");
        Bind(vsim_GetChipState, "vsim_GetChipState");
        Bind(vsim_GetWriteLog, "vsim_GetWriteLog");
        if (Loaded())
            vsim_Reset();
    }

    ~SimLibrary()
    {
        if (FLibrary != nullptr)
            dlclose(FLibrary);
    }

    SimLibrary(const SimLibrary &) = delete;
    SimLibrary &operator=(const SimLibrary &) = delete;

    // True when the file was loaded and every function was found.
    bool Loaded() const
    {
        return FLibrary != nullptr && FError.empty();
    }
    // What failed, empty if nothing did.
    const std::string &Error() const
    {
        return FError;
    }
    void *Handle() const
    {
        return FLibrary;
    }

    // The entry points as the program's table holds them.
    d2xx::TD2xxTable Table() const
    {
        d2xx::TD2xxTable table;
#define VELMOR_SIM_ENTRY(Name, Parameters) table.Name = Name;
        VELMOR_D2XX_ENTRY_POINTS(VELMOR_SIM_ENTRY)
#undef VELMOR_SIM_ENTRY
        return table;
    }

    // The simulated chip most recently opened (zeroed if none was).
    VsimChipState ChipState() const
    {
        VsimChipState state{};
        if (vsim_GetChipState != nullptr)
            vsim_GetChipState(&state);
        return state;
    }

#define VELMOR_SIM_MEMBER(Name, Parameters) d2xx::Name##_t Name = nullptr;
    VELMOR_D2XX_ENTRY_POINTS(VELMOR_SIM_MEMBER)
#undef VELMOR_SIM_MEMBER

    decltype(&::vsim_Reset) vsim_Reset = nullptr;
    decltype(&::vsim_SetDevices) vsim_SetDevices = nullptr;
    decltype(&::vsim_SetUnreadable) vsim_SetUnreadable = nullptr;
    decltype(&::vsim_SetRealTime) vsim_SetRealTime = nullptr;
    decltype(&::vsim_SetBehaviour) vsim_SetBehaviour = nullptr;
    decltype(&::vsim_QueueDeviceBytes) vsim_QueueDeviceBytes = nullptr;
    decltype(&::vsim_SetStream) vsim_SetStream = nullptr;
    decltype(&::vsim_SetNoPattern) vsim_SetNoPattern = nullptr;
    decltype(&::vsim_SetShortWrite) vsim_SetShortWrite = nullptr;
    decltype(&::vsim_SetWriteError) vsim_SetWriteError = nullptr;
    decltype(&::vsim_SetWriteStall) vsim_SetWriteStall = nullptr;
    decltype(&::vsim_SetWriteBudget) vsim_SetWriteBudget = nullptr;
    decltype(&::vsim_SetReadError) vsim_SetReadError = nullptr;
    decltype(&::vsim_SetOddRead) vsim_SetOddRead = nullptr;
    decltype(&::vsim_SetUnplugged) vsim_SetUnplugged = nullptr;
    decltype(&::vsim_SetOverReport) vsim_SetOverReport = nullptr;
    decltype(&::vsim_SetTxCountHidden) vsim_SetTxCountHidden = nullptr;
    decltype(&::vsim_OpenCount) vsim_OpenCount = nullptr;
    decltype(&::vsim_TakeHostBytes) vsim_TakeHostBytes = nullptr;
    decltype(&::vsim_GetChipState) vsim_GetChipState = nullptr;
    decltype(&::vsim_GetWriteLog) vsim_GetWriteLog = nullptr;

private:
    template <typename Function> void Bind(Function &function, const char *name)
    {
        function = reinterpret_cast<Function>(dlsym(FLibrary, name));
        if (function == nullptr && FError.empty())
            Fail("the simulated driver " + Path() + " does not export " + name);
    }

    void Fail(const std::string &what)
    {
        if (FError.empty())
            FError = what;
#ifndef VELMOR_SIM_WITHOUT_GTEST
        ADD_FAILURE() << what;
#else
        std::fprintf(stderr, "%s\n", what.c_str());
        std::abort();
#endif
    }

    void *FLibrary = nullptr;
    std::string FError;
};
