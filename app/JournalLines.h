// What the programs say on stderr, fit for where it goes. Under systemd stderr is often the
// journal: it stamps every line with its own time and takes a leading "<N>" as the line's syslog
// priority (sd-daemon(3)). systemd tells a program so by JOURNAL_STREAM=<device>:<inode>, the
// device and inode of the stream it connected; stderr is the journal exactly when fstat(2) of
// descriptor 2 gives those two, not merely when the variable is set (a child whose stderr was
// redirected inherits it too).
//
// To the journal a line is "<3>text": its priority and no time of its own. Anywhere else it is as
// it always was: velmor-bridge's "yyyy-MM-dd hh:mm:ss.zzz text", velmor-debug's plain text.
// The priority comes from what the line is: an error, a warning (something dropped, or what
// still works around a fault), a state, or a step of the handshake for whoever looks into it.
#pragma once

#include "device/LinkEvent.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

class TJournalLines
{
public:
    // syslog's numbers, as sd-daemon(3)'s SD_ERR, SD_WARNING, SD_INFO and SD_DEBUG.
    enum class TPriority { Error = 3, Warning = 4, Info = 6, Debug = 7 };
    // Whether a line off the journal starts with its time (velmor-bridge) or not (velmor-debug).
    enum class TStamp { Time, None };

    // The priority of a line the device link said: errors 3, its states and traffic summaries
    // 6, the handshake's steps 7.
    static TPriority Of(TLinkEventKind Kind);
    // Whether descriptor Fd is the stream that JournalStream ("device:inode", as systemd sets
    // JOURNAL_STREAM) names; false for a null, empty or malformed JournalStream.
    static bool IsJournalStream(int Fd, const char *JournalStream);
    // For this process's stderr, as JOURNAL_STREAM and descriptor 2 are now.
    static TJournalLines ForStderr(TStamp Stamp);

    TJournalLines(bool ToJournal, TStamp Stamp) : FToJournal(ToJournal), FStamp(Stamp) {}
    bool ToJournal() const { return FToJournal; }

    // The line as it goes out, with its end of line.
    QByteArray Line(TPriority Priority, const QString &Text,
                    const QDateTime &Now = QDateTime::currentDateTime()) const;
    // Writes the line to stderr at once, whole.
    void Say(TPriority Priority, const QString &Text) const;

private:
    bool FToJournal;
    TStamp FStamp;
};
