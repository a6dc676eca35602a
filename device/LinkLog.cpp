#include "device/LinkLog.h"

Q_LOGGING_CATEGORY(lcLink, "velmor.link", QtWarningMsg)

void TLinkLog::Add(const std::string &Text)
{
    const QString text = QString::fromLocal8Bit(Text);
    if (!FEntries.empty() && FEntries.back().Text == text) {
        TEntry &last = FEntries.back();
        ++last.Repeats;
        // The log says a repeated text again at 10, 100, 1000, ... times, not at every tick.
        int power = 10;
        while (power < last.Repeats)
            power *= 10;
        if (last.Repeats == power)
            qCInfo(lcLink).noquote() << QStringLiteral("%1 (%2 times)").arg(text).arg(last.Repeats);
    } else {
        qCInfo(lcLink).noquote() << text;
        FEntries.push_back({QDateTime::currentDateTime(), text, 1});
        if (FEntries.size() > kKept)
            FEntries.pop_front();
    }
    if (Changed)
        Changed();
}

QString TLinkLog::Lines() const
{
    QString lines;
    for (const TEntry &entry : FEntries) {
        lines += entry.Time.toString(QStringLiteral("hh:mm:ss.zzz  ")) + entry.Text;
        if (entry.Repeats > 1)
            lines += QStringLiteral("  (%1 times)").arg(entry.Repeats);
        lines += QLatin1Char('\n');
    }
    return lines;
}
