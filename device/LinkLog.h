// The device link's messages, kept for the user: each goes to the Qt logging category velmor.link
// (QT_LOGGING_RULES="velmor.link=true" shows them on stderr) and the last hundred are kept for the
// window. A text that repeats the one before is counted, not kept again, so that a link reporting
// the same failure at every tick neither floods the log nor pushes the older messages out.
#pragma once

#include <QDateTime>
#include <QLoggingCategory>
#include <QString>

#include <deque>
#include <functional>
#include <string>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

class TLinkLog
{
public:
    static constexpr std::size_t kKept = 100;

    struct TEntry {
        QDateTime Time; // of the first time it was said
        QString Text;
        int Repeats = 1;
    };

    void Add(const std::string &Text);
    const std::deque<TEntry> &Entries() const { return FEntries; }
    // One line an entry, oldest first: time, text and how often it was said in a row.
    QString Lines() const;

    // Called after every Add.
    std::function<void()> Changed;

private:
    std::deque<TEntry> FEntries;
};
