#include "app/TrafficFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

} // namespace

std::unique_ptr<TTrafficFile> TTrafficFile::Open(const QString &Path, QString &Error)
{
    Error.clear();
    const QByteArray name = QFile::encodeName(Path);
    // Only a regular file is opened at all: opening a device or a FIFO does things of its own.
    struct stat found = {};
    if (::lstat(name.constData(), &found) == 0) {
        Error = Refusal(Path, found.st_mode);
        if (!Error.isEmpty())
            return nullptr;
    }
    // Whatever may have taken its place since is neither followed (a link), waited for (a FIFO
    // without a reader) nor made the controlling terminal; the descriptor's own file is checked.
    const int fd = ::open(
        name.constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int error = errno;
        if (::lstat(name.constData(), &found) == 0)
            Error = Refusal(Path, found.st_mode);
        if (Error.isEmpty())
            Error = QStringLiteral("%1: %2").arg(Path, SystemError(error));
        return nullptr;
    }
    if (::fstat(fd, &found) != 0 || !S_ISREG(found.st_mode)) {
        Error = Refusal(Path, found.st_mode);
        if (Error.isEmpty())
            Error = QStringLiteral("%1: %2").arg(Path, SystemError(errno));
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    return std::unique_ptr<TTrafficFile>(new TTrafficFile(fd, Path));
}

TTrafficFile::~TTrafficFile()
{
    ::close(FFd);
}

QString TTrafficFile::Write(TTrafficLog::Clock::time_point Now, bool All)
{
    // A line cut by a failed write is ended first, so that the next begins a line of its own.
    const std::size_t ending = FCut ? 1 : 0;
    std::string text(ending, '\n');
    std::uint64_t lines = 0;
    bool allComplete = true;
    FLog.VisitFrom(FNext, [&](const TTrafficLine &Line) {
        if (!All && FLog.Growing(Line, Now)) {
            allComplete = false;
            return false;
        }
        text += TrafficLineText(Line);
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

    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(FFd, text.data() + done, text.size() - done);
        if (written > 0) {
            done += std::size_t(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        const int error = written < 0 ? errno : ENOSPC;
        if (done > 0)
            FCut = text[done - 1] != '\n';
        // The lines not written whole, a cut one included.
        const bool first = FLost == 0;
        FLost += std::uint64_t(
            std::count(text.begin() + std::ptrdiff_t(std::max(done, ending)), text.end(), '\n'));
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
