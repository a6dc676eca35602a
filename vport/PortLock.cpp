#include "vport/PortLock.h"

#include "vport/SystemError.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Identifies our lock files, so that a file of the user's that happens to carry the name is
// neither taken over nor removed.
constexpr char Marker[] = "velmor-debug port lock\n";
constexpr std::size_t MarkerLength = sizeof(Marker) - 1;
constexpr mode_t LockFileMode = 0600;
constexpr std::size_t MaxRecordSize = 1024;

bool SameFile(const struct stat &A, const struct stat &B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

// Whether the name in the folder still leads to the open file: a holder that removes its lock
// file lets go of it after unlinking, and whoever locked the old file in between must not take
// it for the live one.
bool StillLinked(int FolderFd, const QByteArray &Entry, int Fd)
{
    struct stat Open = {};
    struct stat Named = {};
    return ::fstat(Fd, &Open) == 0 &&
           ::fstatat(FolderFd, Entry.constData(), &Named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(Open, Named);
}

bool WriteAll(int Fd, const char *Data, std::size_t Size)
{
    while (Size > 0) {
        const ssize_t Done = ::write(Fd, Data, Size);
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done <= 0)
            return false;
        Data += Done;
        Size -= static_cast<std::size_t>(Done);
    }
    return true;
}

// The whole lock file, up to a size no record of ours reaches; empty on failure.
QByteArray ReadContents(int Fd)
{
    char Buffer[MaxRecordSize + 1];
    ssize_t Got;
    do
        Got = ::pread(Fd, Buffer, sizeof(Buffer), 0);
    while (Got < 0 && errno == EINTR);
    return Got > 0 && Got <= static_cast<ssize_t>(MaxRecordSize) ? QByteArray(Buffer, Got)
                                                                 : QByteArray();
}

bool HasMarker(int Fd)
{
    return ReadContents(Fd).startsWith(QByteArray::fromRawData(Marker, MarkerLength));
}

QByteArray Describe(const QByteArray &Target, const struct stat &Link)
{
    return QByteArray(Marker) + "target " + Target + "\nlink " +
           QByteArray::number(static_cast<qulonglong>(Link.st_dev)) + ' ' +
           QByteArray::number(static_cast<qulonglong>(Link.st_ino)) + ' ' +
           QByteArray::number(static_cast<qlonglong>(Link.st_ctim.tv_sec)) + '.' +
           QByteArray::number(static_cast<qlonglong>(Link.st_ctim.tv_nsec)) + '\n';
}

} // namespace

TPortLock::TPortLock(TUniqueFd File, int FolderFd, QString Path, QByteArray Entry, bool CreatedHere)
    : File(std::move(File)), FolderFd(FolderFd), Path(std::move(Path)), Entry(std::move(Entry)),
      CreatedHere(CreatedHere)
{
}

std::optional<TPortLock> TPortLock::Acquire(int FolderFd, const QString &FolderPath,
                                            const QByteArray &LinkEntry, QString &Error)
{
    const QByteArray Entry = '.' + LinkEntry + ".lock";
    const QString Path =
        (FolderPath.endsWith(QLatin1Char('/')) ? FolderPath : FolderPath + QLatin1Char('/')) +
        QFile::decodeName(Entry);

    TUniqueFd Fresh(::openat(FolderFd, Entry.constData(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, LockFileMode));
    if (Fresh.Valid()) {
        TPortLock Lock(std::move(Fresh), FolderFd, Path, Entry, true);
        // Another instance starting this very moment may hold it already; both then give up.
        if (::flock(Lock.File.Get(), LOCK_EX | LOCK_NB) != 0) {
            Error = SystemErrorText(QStringLiteral("locking %1").arg(Path), errno);
            Lock.Abandon();
            return std::nullopt;
        }
        if (!WriteAll(Lock.File.Get(), Marker, MarkerLength)) {
            Error = SystemErrorText(QStringLiteral("writing the lock file %1").arg(Path), errno);
            Lock.Abandon();
            return std::nullopt;
        }
        return Lock;
    }
    if (errno != EEXIST) {
        Error = SystemErrorText(QStringLiteral("creating the lock file %1").arg(Path), errno);
        return std::nullopt;
    }

    // The lock file is there: either held by a running instance, a left-over, or not ours.
    struct stat Named = {};
    if (::fstatat(FolderFd, Entry.constData(), &Named, AT_SYMLINK_NOFOLLOW) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the lock file %1").arg(Path), errno);
        return std::nullopt;
    }
    if (!S_ISREG(Named.st_mode) || Named.st_uid != ::geteuid()) {
        Error = QStringLiteral("%1 is in the way of the port's lock file").arg(Path);
        return std::nullopt;
    }
    // O_NONBLOCK so that a FIFO swapped in after the check cannot hang the program.
    TUniqueFd Found(
        ::openat(FolderFd, Entry.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!Found.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening the lock file %1").arg(Path), errno);
        return std::nullopt;
    }
    if (::flock(Found.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            Error = QStringLiteral("the port is in use by another running instance (%1 is "
                                   "locked)")
                        .arg(Path);
        else
            Error = SystemErrorText(QStringLiteral("locking %1").arg(Path), errno);
        return std::nullopt;
    }
    if (!HasMarker(Found.Get())) {
        Error = QStringLiteral("%1 is in the way of the port's lock file").arg(Path);
        return std::nullopt;
    }
    if (!StillLinked(FolderFd, Entry, Found.Get())) {
        Error = QStringLiteral("the lock file %1 changed while it was being taken").arg(Path);
        return std::nullopt;
    }
    return TPortLock(std::move(Found), FolderFd, Path, Entry, false);
}

bool TPortLock::Record(const QByteArray &Target, const struct stat &Link, QString &Error)
{
    const QByteArray Text = Describe(Target, Link);
    ssize_t Done;
    do
        Done = ::pwrite(File.Get(), Text.constData(), static_cast<std::size_t>(Text.size()), 0);
    while (Done < 0 && errno == EINTR);
    int Err = 0;
    if (Done < 0)
        Err = errno;
    else if (Done != Text.size())
        Err = EIO;
    else if (::ftruncate(File.Get(), Text.size()) != 0)
        Err = errno;
    if (Err != 0)
        Error = SystemErrorText(QStringLiteral("writing the lock file %1").arg(Path), Err);
    return Err == 0;
}

bool TPortLock::Proves(const QByteArray &Target, const struct stat &Link) const
{
    return File.Valid() && ReadContents(File.Get()) == Describe(Target, Link);
}

bool TPortLock::Remove(QString &Error)
{
    bool Ok = true;
    if (File.Valid() && StillLinked(FolderFd, Entry, File.Get()) &&
        ::unlinkat(FolderFd, Entry.constData(), 0) != 0 && errno != ENOENT) {
        Error = SystemErrorText(QStringLiteral("removing the lock file %1").arg(Path), errno);
        Ok = false;
    }
    File.Reset();
    return Ok;
}

void TPortLock::Abandon()
{
    QString Ignored;
    if (CreatedHere)
        Remove(Ignored);
    File.Reset();
}
