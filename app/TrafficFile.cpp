#include "app/TrafficFile.h"

#include "traffic/LineTime.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace
{

QString SystemError(int Error)
{
    return QString::fromLocal8Bit(std::strerror(Error));
}

// Why a file of this mode is refused; empty for a regular file.
QString Refusal(const QString &Path, mode_t Mode)
{
    if (S_ISREG(Mode))
        return {};
    const char *kind = S_ISLNK(Mode)    ? "a symbolic link"
                       : S_ISFIFO(Mode) ? "a FIFO"
                       : S_ISDIR(Mode)  ? "a folder"
                       : S_ISCHR(Mode)  ? "a character device"
                       : S_ISBLK(Mode)  ? "a block device"
                       : S_ISSOCK(Mode) ? "a socket"
                                        : "an unknown kind of file";
    return QStringLiteral("%1 is %2, not a regular file").arg(Path, QLatin1String(kind));
}

// Why a file that was there before is refused; empty when it is the user's alone to write.
QString NotOwnRefusal(const QString &Path, const struct stat &Found)
{
    if (Found.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user (uid %2); only a file of your own is "
                              "appended to")
            .arg(Path)
            .arg(Found.st_uid);
    if ((Found.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("%1 may be written by its group or others (mode %2); only a file "
                              "that you alone may write is appended to")
            .arg(Path)
            .arg(Found.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

// Why the open of Path failed with Error: its kind when it is not a regular file, else the
// system's reason.
QString OpenRefusal(const QString &Path, const QByteArray &Name, int Error)
{
    struct stat found = {};
    QString refused;
    if (::lstat(Name.constData(), &found) == 0)
        refused = Refusal(Path, found.st_mode);
    return refused.isEmpty() ? QStringLiteral("%1: %2").arg(Path, SystemError(Error)) : refused;
}

// The file at Path opened to append to, by the rules in TrafficFile.h; -1, with the reason in
// Error, when it is refused. Found gets what the descriptor leads to.
int OpenLogFile(const QString &Path, QString &Error, struct stat &Found)
{
    Error.clear();
    const QByteArray name = QFile::encodeName(Path);
    // Only a regular file is opened at all: opening a device or a FIFO does things of its own.
    if (::lstat(name.constData(), &Found) == 0) {
        Error = Refusal(Path, Found.st_mode);
        if (!Error.isEmpty())
            return -1;
    }
    // Whatever may have taken its place since is neither followed (a link), waited for (a FIFO
    // without a reader) nor made the controlling terminal; the descriptor's own file is checked.
    // Made here, or there before: only then are the owner and mode asked for.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = -1;
    bool created = false;
    for (int tries = 0; fd < 0 && tries < 3; ++tries) {
        fd = ::open(name.constData(), kFlags | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            created = true;
            break;
        }
        if (errno != EEXIST) {
            Error = OpenRefusal(Path, name, errno);
            return -1;
        }
        fd = ::open(name.constData(), kFlags);
        // Gone again between the two: made anew at the next try.
        if (fd < 0 && errno != ENOENT) {
            Error = OpenRefusal(Path, name, errno);
            return -1;
        }
    }
    if (fd < 0) {
        Error = QStringLiteral("%1 keeps appearing and going; refused").arg(Path);
        return -1;
    }
    if (::fstat(fd, &Found) != 0) {
        Error = QStringLiteral("%1: %2").arg(Path, SystemError(errno));
    } else {
        Error = Refusal(Path, Found.st_mode);
        if (Error.isEmpty() && !created)
            Error = NotOwnRefusal(Path, Found);
    }
    if (!Error.isEmpty()) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return fd;
}

} // namespace

std::unique_ptr<TTrafficFile> TTrafficFile::Open(const QString &Path, QString &Error)
{
    struct stat found = {};
    const int fd = OpenLogFile(Path, Error, found);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<TTrafficFile> file(new TTrafficFile(fd, Path));
    file->FDevice = found.st_dev;
    file->FInode = found.st_ino;
    return file;
}

TTrafficFile::TTrafficFile(int Fd, QString Path)
    : FFd(Fd), FPath(std::move(Path)), FNextWatch(TWatchClock::now() + kWatchPause)
{
}

TTrafficFile::~TTrafficFile()
{
    ::close(FFd);
}

std::string TTrafficFile::RunLine(TTrafficLog::Clock::time_point Now) const
{
    return IsoTime(Now) + " # " + FRun.toUtf8().toStdString() + '\n';
}

QString TTrafficFile::Begin(const QString &Run, TTrafficLog::Clock::time_point Now)
{
    FRun = Run;
    return Put(RunLine(Now));
}

QString TTrafficFile::Write(TTrafficLog::Clock::time_point Now, bool All)
{
    std::string text;
    std::uint64_t lines = 0;
    bool allComplete = true;
    FLog.VisitFrom(FNext, [&](const TTrafficLine &Line) {
        if (!All && FLog.Growing(Line, Now)) {
            allComplete = false;
            return false;
        }
        text += TrafficLineText(Line, TTrafficTime::Iso);
        text += '\n';
        FNext = Line.Sequence + 1;
        ++lines;
        return true;
    });
    if (lines == 0)
        return {};
    // Written means finished: a clock turned back must not let bytes join a line in the file.
    if (allComplete)
        FLog.CloseNewest();
    return Put(std::move(text));
}

QString TTrafficFile::Put(std::string Text)
{
    // A line cut by a failed write is ended first, so that the next begins a line of its own.
    const std::size_t ending = FCut ? 1 : 0;
    if (FCut)
        Text.insert(Text.begin(), '\n');
    std::size_t done = 0;
    while (done < Text.size()) {
        const ssize_t written = ::write(FFd, Text.data() + done, Text.size() - done);
        if (written > 0) {
            done += std::size_t(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        const int error = written < 0 ? errno : ENOSPC;
        if (done > 0)
            FCut = Text[done - 1] != '\n';
        // The lines not written whole, a cut one included.
        const bool first = FLost == 0;
        FLost += std::uint64_t(
            std::count(Text.begin() + std::ptrdiff_t(std::max(done, ending)), Text.end(), '\n'));
        if (!first)
            return {};
        return QStringLiteral("writing the traffic to %1 failed: %2; still trying")
            .arg(FPath, SystemError(error));
    }
    FCut = false;
    if (FLost == 0)
        return {};
    const QString said = QStringLiteral("writing the traffic to %1 works again; %2 lines were lost")
                             .arg(FPath)
                             .arg(FLost);
    FLost = 0;
    return said;
}

QString TTrafficFile::Reopen()
{
    return ReopenSaying(QStringLiteral("the traffic log %1 was opened again").arg(FPath));
}

QString TTrafficFile::Watch(TWatchClock::time_point Now)
{
    if (Now < FNextWatch)
        return {};
    FNextWatch = Now + kWatchPause;
    struct stat there = {};
    if (::lstat(QFile::encodeName(FPath).constData(), &there) == 0 && there.st_dev == FDevice &&
        there.st_ino == FInode)
        return {};
    return ReopenSaying(
        QStringLiteral("the traffic log %1 was moved away, deleted or replaced; the lines go "
                       "on in the file now there")
            .arg(FPath));
}

QString TTrafficFile::ReopenSaying(const QString &Why)
{
    QString error;
    struct stat found = {};
    const int fd = OpenLogFile(FPath, error, found);
    if (fd < 0) {
        if (std::exchange(FReopenFailing, true))
            return {};
        return QStringLiteral("the traffic log cannot be opened again: %1; the lines go on to "
                              "the file it had, and it is tried again each second")
            .arg(error);
    }
    const bool sameFile = found.st_dev == FDevice && found.st_ino == FInode;
    ::close(FFd);
    FFd = fd;
    FDevice = found.st_dev;
    FInode = found.st_ino;
    FReopenFailing = false;
    if (sameFile)
        return Why;
    // A new file: what a failed write cut was in the old one, and the new one says whose it is.
    FCut = false;
    if (FRun.isEmpty())
        return Why;
    const QString failed = Put(RunLine(TTrafficLog::Clock::now()));
    return failed.isEmpty() ? Why : Why + QStringLiteral("; ") + failed;
}
