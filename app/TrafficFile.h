// velmor-bridge's --log FILE: the traffic lines (traffic/TrafficLog.h) appended to a file as they
// are complete, each with its full date and time (ISO 8601, local time and its offset):
//
//     2026-12-08T12:03:04.123+01:00 # velmor-bridge 1.0.0; driver library ...; device ...; port ...
//     2026-12-08T12:03:04.301+01:00 > 70 69 6e 67  ping
//     2026-12-08T12:03:04.350+01:00 < 70 69 6e 67  ping
//
// A "#" line begins each run, and each file the run opens again, so that runs tell apart and a
// rotated file says whose it is. A line is complete once another follows it, it is full, or
// kLineSpan has passed since its first byte; each tick writes what is complete, and the end of
// the bridge writes the rest.
//
// The file is created (mode 0600) when nothing is there, and appended to when it is a regular
// file that belongs to the user and that only the user may write; anything else is refused: a
// symbolic link (neither followed nor touched), a FIFO or device, another user's file, a file its
// group or others may write. The same rules hold whenever it is opened again: on Reopen
// (SIGUSR1, as logrotate's postrotate sends it), and when Watch, at most once a second, finds
// that the path no longer leads to the open file (moved away, deleted, replaced). While it
// cannot be opened again the lines go on to the file it had, and it is tried again each second.
#pragma once

#include "traffic/TrafficLog.h"

#include <QString>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class TTrafficFile
{
public:
    using TWatchClock = std::chrono::steady_clock;
    // How often Watch looks at the path.
    static constexpr std::chrono::seconds kWatchPause{1};

    // The file at Path opened for appending; null, with the reason in Error, when it is refused.
    static std::unique_ptr<TTrafficFile> Open(const QString &Path, QString &Error);
    ~TTrafficFile();
    TTrafficFile(const TTrafficFile &) = delete;
    TTrafficFile &operator=(const TTrafficFile &) = delete;

    // What the bridge records into.
    TTrafficLog &Log() { return FLog; }
    const QString &Path() const { return FPath; }

    // The run's line (what runs, on what), written now and at the head of every file opened
    // again later. Returns what to tell the user, as Write does.
    QString Begin(const QString &Run, TTrafficLog::Clock::time_point Now);
    // Writes the lines complete at Now, or every line not written yet when All. Returns what to
    // tell the user: why writing failed, the first time it does, and how many lines were lost
    // once it works again; empty otherwise.
    QString Write(TTrafficLog::Clock::time_point Now, bool All = false);

    // Opens the path again, as it is now. Returns what to tell the user: that it was reopened,
    // or why it could not be (once, until it can).
    QString Reopen();
    // At most once each kWatchPause: reopens the path when it no longer leads to the open file.
    // Returns what to tell the user; empty when nothing happened.
    QString Watch(TWatchClock::time_point Now = TWatchClock::now());
    // The last reopening failed: the lines still go to the file opened before.
    bool ReopenFailing() const { return FReopenFailing; }

private:
    TTrafficFile(int Fd, QString Path);
    // Reopens, saying Why when it works.
    QString ReopenSaying(const QString &Why);
    // Writes Text whole, or counts the lines lost.
    QString Put(std::string Text);
    // The run's line, timed Now, with its end.
    std::string RunLine(TTrafficLog::Clock::time_point Now) const;

    int FFd;
    dev_t FDevice = 0;
    ino_t FInode = 0;
    QString FPath;
    TTrafficLog FLog;
    QString FRun;
    // The sequence of the first line not written yet.
    std::uint64_t FNext = 0;
    // Lines that could not be written since the last write that worked.
    std::uint64_t FLost = 0;
    // A failed write left the file's last line unfinished.
    bool FCut = false;
    bool FReopenFailing = false;
    TWatchClock::time_point FNextWatch{};
};
