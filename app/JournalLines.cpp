#include "app/JournalLines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

TJournalLines::TPriority TJournalLines::Of(TLinkEventKind Kind)
{
    switch (Kind) {
    case TLinkEventKind::Error:
        return TPriority::Error;
    case TLinkEventKind::Detail:
        return TPriority::Debug;
    case TLinkEventKind::State:
    case TLinkEventKind::Traffic:
        return TPriority::Info;
    }
    return TPriority::Info;
}

bool TJournalLines::IsJournalStream(int Fd, const char *JournalStream)
{
    if (!JournalStream)
        return false;
    // Both numbers whole and unsigned, as systemd writes them: "8:123456".
    const char *colon = std::strchr(JournalStream, ':');
    if (!colon || colon == JournalStream || colon[1] == '\0')
        return false;
    for (const char *c = JournalStream; *c; ++c)
        if (c != colon && (*c < '0' || *c > '9'))
            return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long device = std::strtoull(JournalStream, &end, 10);
    if (errno != 0 || end != colon)
        return false;
    const unsigned long long inode = std::strtoull(colon + 1, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    struct stat found = {};
    if (::fstat(Fd, &found) != 0)
        return false;
    return static_cast<unsigned long long>(found.st_dev) == device &&
           static_cast<unsigned long long>(found.st_ino) == inode;
}

TJournalLines TJournalLines::ForStderr(TStamp Stamp)
{
    return TJournalLines(IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM")), Stamp);
}

QByteArray TJournalLines::Line(TPriority Priority, const QString &Text, const QDateTime &Now) const
{
    QByteArray line;
    if (FToJournal) {
        line = '<' + QByteArray::number(int(Priority)) + '>';
    } else if (FStamp == TStamp::Time) {
        line = Now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toLocal8Bit();
        line += ' ';
    }
    line += Text.toLocal8Bit();
    line += '\n';
    return line;
}

void TJournalLines::Say(TPriority Priority, const QString &Text) const
{
    // One write a line: lines of two threads or two programs never mix, and nothing is held in
    // a buffer for later.
    const QByteArray line = Line(Priority, Text);
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t written =
            ::write(STDERR_FILENO, line.constData() + done, std::size_t(line.size() - done));
        if (written > 0)
            done += written;
        else if (written < 0 && errno == EINTR)
            continue;
        else
            return;
    }
}
