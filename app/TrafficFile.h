// velmor-bridge's --log FILE: the traffic lines (app/TrafficLog.h) appended to a file as they are
// complete. A line is complete once another follows it, it is full, or kLineSpan has passed
// since its first byte; each tick writes what is complete, and the end of the bridge writes the
// rest. The file is opened once, before the bridge starts: appended to when it is a regular file,
// created (mode 0600) when nothing is there, and refused when it is anything else, a symbolic
// link included, which is neither followed nor touched.
#pragma once

#include "app/TrafficLog.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <string>

class TTrafficFile
{
public:
    // The file at Path opened for appending; null, with the reason in Error, when it is refused.
    static std::unique_ptr<TTrafficFile> Open(const QString &Path, QString &Error);
    ~TTrafficFile();
    TTrafficFile(const TTrafficFile &) = delete;
    TTrafficFile &operator=(const TTrafficFile &) = delete;

    // What the bridge records into.
    TTrafficLog &Log() { return FLog; }
    const QString &Path() const { return FPath; }

    // Writes the lines complete at Now, or every line not written yet when All. Returns what to
    // tell the user: why writing failed, the first time it does, and how many lines were lost
    // once it works again; empty otherwise.
    QString Write(TTrafficLog::Clock::time_point Now, bool All = false);

private:
    TTrafficFile(int Fd, QString Path) : FFd(Fd), FPath(std::move(Path)) {}

    int FFd;
    QString FPath;
    TTrafficLog FLog;
    // The sequence of the first line not written yet.
    std::uint64_t FNext = 0;
    // Lines that could not be written since the last write that worked.
    std::uint64_t FLost = 0;
    // A failed write left the file's last line unfinished.
    bool FCut = false;
};
