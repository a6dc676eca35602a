#include "device/LinkLog.h"

#include <algorithm>

Q_LOGGING_CATEGORY(lcLink, "velmor.link", QtWarningMsg)

TLinkLog::TEntry *TLinkLog::Repeating(const QString &Text)
{
    const std::size_t size = FEntries.size();
    if (FCycle > 0 && FCycle <= size) {
        TEntry &next = FEntries[size - FCycle + FNext];
        if (next.Text == Text) {
            FNext = (FNext + 1) % FCycle;
            return &next;
        }
    }
    for (std::size_t length = 1; length <= std::min(kLongestCycle, size); ++length) {
        TEntry &earlier = FEntries[size - length];
        if (earlier.Text == Text) {
            FCycle = length;
            FNext = 1 % length;
            return &earlier;
        }
    }
    FCycle = 0;
    FNext = 0;
    return nullptr;
}

namespace
{
// Details are kept apart from the rest: a kind counts against its own group's hundred.
bool IsDetail(TLinkEventKind Kind)
{
    return Kind == TLinkEventKind::Detail;
}
} // namespace

QString ShownDetail(const QString &Text)
{
    if (Text == QLatin1String("Error in FT_OpenEx DeviceDescr:"))
        return QString::fromLatin1(ssc::kListingNote);
    const bool number = !Text.isEmpty() && std::all_of(Text.begin(), Text.end(), [](QChar Each) {
        return Each >= QLatin1Char('0') && Each <= QLatin1Char('9');
    });
    return number ? QStringLiteral("attempts left: ") + Text : Text;
}

bool TLinkLog::Add(TLinkEventKind Kind, const std::string &Text)
{
    const QString text = Kind == TLinkEventKind::Detail ? ShownDetail(QString::fromLocal8Bit(Text))
                                                        : QString::fromLocal8Bit(Text);
    ++FRevision;
    FLastKind = Kind;
    TEntry *repeated = Repeating(text);
    if (repeated) {
        ++repeated->Repeats;
        ++FRepeated;
        // The log says a repeated text again at 10, 100, 1000, ... times, not at every tick.
        int power = 10;
        while (power < repeated->Repeats)
            power *= 10;
        if (repeated->Repeats == power)
            qCInfo(lcLink).noquote()
                << QStringLiteral("%1 (%2 times)").arg(text).arg(repeated->Repeats);
    } else {
        qCInfo(lcLink).noquote() << text;
        FEntries.push_back({QDateTime::currentDateTime(), text, 1, Kind});
        const auto ofGroup = [Kind](const TEntry &Entry) {
            return IsDetail(Entry.Kind) == IsDetail(Kind);
        };
        if (std::size_t(std::count_if(FEntries.begin(), FEntries.end(), ofGroup)) > kKept) {
            FEntries.erase(std::find_if(FEntries.begin(), FEntries.end(), ofGroup));
        }
    }
    if (Changed)
        Changed();
    return repeated == nullptr;
}

QString TLinkLog::Lines(bool WithDetails) const
{
    QString lines;
    for (const TEntry &entry : FEntries) {
        if (!WithDetails && IsDetail(entry.Kind))
            continue;
        lines += entry.Time.toString(QStringLiteral("hh:mm:ss.zzz  ")) + entry.Text;
        if (entry.Repeats > 1)
            lines += QStringLiteral("  (%1 times)").arg(entry.Repeats);
        lines += QLatin1Char('\n');
    }
    return lines;
}

void TLinkLog::Clear()
{
    FEntries.clear();
    FCycle = 0;
    FNext = 0;
    ++FRevision;
    if (Changed)
        Changed();
}

bool TLinkLogLines::Says(TLinkEventKind Kind) const
{
    switch (FVerbosity) {
    case TVerbosity::Quiet:
        return Kind == TLinkEventKind::Error;
    case TVerbosity::Normal:
        return Kind != TLinkEventKind::Detail;
    case TVerbosity::Verbose:
        return true;
    }
    return true;
}

QStringList TLinkLogLines::Take(const TLinkLog &Log, Clock::time_point Now)
{
    QStringList lines;
    if (!Says(Log.LastKind())) {
        FSeen = Log.Repeated();
        return lines;
    }
    if (Log.Repeated() != FSeen) {
        FPending += Log.Repeated() - FSeen;
        FSeen = Log.Repeated();
        FCycle = Log.Cycle();
        if (Now >= FNextNote)
            lines << Note(Now);
        return lines;
    }
    if (FPending > 0)
        lines << Note(Now);
    if (!Log.Entries().empty())
        lines << Log.Entries().back().Text;
    // The first note on what this text starts comes a second after it.
    FNextNote = Now + kNotePause;
    return lines;
}

QString TLinkLogLines::Note(Clock::time_point Now)
{
    QString note;
    if (FCycle > 1)
        note = QStringLiteral("(the last %1 lines repeated, %2 in all)")
                   .arg(FCycle)
                   .arg(FPending == 1 ? QStringLiteral("1 line")
                                      : QStringLiteral("%1 lines").arg(FPending));
    else
        note = QStringLiteral("(repeated %1)")
                   .arg(FPending == 1 ? QStringLiteral("once")
                                      : QStringLiteral("%1 times").arg(FPending));
    FPending = 0;
    FNextNote = Now + kNotePause;
    return note;
}
