// The device link's messages, kept for the user: each goes to the Qt logging category velmor.link
// (QT_LOGGING_RULES="velmor.link=true" shows them on stderr) and the last hundred are kept for the
// window, and apart from them the last hundred details, so that a handshake's chatter never pushes
// a state or an error out. A text that repeats one of the last few is counted, not kept again, so
// that a link reporting the same failure at every tick, or the same few texts in turn (a handshake
// that keeps missing says "SYNCH ---> AA" and "SYNCH ---> 55" over and over), neither floods the
// log nor pushes the older messages out.
#pragma once

#include "device/LinkEvent.h"

#include <QDateTime>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

namespace ssc
{
// How the log shows the open of a link that only binds the library to list the devices: the
// driver's failure for the empty description, said as the step it is.
inline constexpr char kListingNote[] = "Note: driver bound to list the devices; the empty "
                                       "description opens none (Error in FT_OpenEx DeviceDescr:)";
} // namespace ssc

// A detail as the log shows it: the link's own words, with the context a reader needs where
// they are a bare number (the attempts the handshake had left) or look like a fault (the
// listing step's open without a description).
QString ShownDetail(const QString &Text);

class TLinkLog
{
public:
    static constexpr std::size_t kKept = 100;
    // The most texts that, said again in the same turn, count as repeats rather than new lines.
    static constexpr std::size_t kLongestCycle = 4;

    struct TEntry {
        QDateTime Time; // of the first time it was said
        QString Text;
        int Repeats = 1;
        TLinkEventKind Kind = TLinkEventKind::State;
    };

    // True when Text was kept as a new entry; false when it was counted as a repeat.
    bool Add(TLinkEventKind Kind, const std::string &Text);
    const std::deque<TEntry> &Entries() const { return FEntries; }
    // The kind of what was added last.
    TLinkEventKind LastKind() const { return FLastKind; }
    // One line an entry, oldest first: time, text and how often it was said; the details and
    // traffic summaries only when asked for.
    QString Lines(bool WithDetails = true) const;
    // Forgets every entry; the counts go on.
    void Clear();

    // Texts counted as repeats since the log began.
    std::uint64_t Repeated() const { return FRepeated; }
    // How many entries the texts being repeated now go round (1 for one text said again and
    // again); 0 when the last text was new.
    std::size_t Cycle() const { return FCycle; }
    // Moves on at every Add: a view compares it with what it last showed.
    std::uint64_t Revision() const { return FRevision; }

    // Called after every Add.
    std::function<void()> Changed;

private:
    // The entry Text repeats, if any: the next of the cycle being repeated, else the nearest of
    // the last kLongestCycle entries, which starts a cycle of its own.
    TEntry *Repeating(const QString &Text);

    std::deque<TEntry> FEntries;
    TLinkEventKind FLastKind = TLinkEventKind::State;
    std::size_t FCycle = 0;
    // Which entry of the cycle comes next, counted from the cycle's first.
    std::size_t FNext = 0;
    std::uint64_t FRepeated = 0;
    std::uint64_t FRevision = 0;
};

// The log as an output of one line a message (velmor-bridge's stderr) says it: each new text at
// once, and what was repeated summed up in a note, at most once a second while the repeats go on
// and before the next new text. A device that never synchronises then costs a line a second.
class TLinkLogLines
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kNotePause{1};

    // Which kinds are said: errors only; states and errors; everything.
    enum class TVerbosity { Quiet, Normal, Verbose };
    explicit TLinkLogLines(TVerbosity Verbosity = TVerbosity::Normal) : FVerbosity(Verbosity) {}
    bool Says(TLinkEventKind Kind) const;

    // After each Add to Log: the lines to say now, oldest first.
    QStringList Take(const TLinkLog &Log, Clock::time_point Now = Clock::now());

private:
    QString Note(Clock::time_point Now);

    TVerbosity FVerbosity;
    std::uint64_t FSeen = 0;
    std::uint64_t FPending = 0;
    std::size_t FCycle = 0;
    Clock::time_point FNextNote{};
};
