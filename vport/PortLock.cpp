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
constexpr char kMarker[] = "velmor-debug port lock\n";
constexpr std::size_t kMarkerLength = sizeof(kMarker) - 1;
constexpr mode_t kLockFileMode = 0600;
constexpr std::size_t kMaxRecordSize = 1024;

bool SameFile(const struct stat &A, const struct stat &B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

// Whether the name in the folder still leads to the open file: a holder that removes its lock
// file lets go of it after unlinking, and whoever locked the old file in between must not take
// it for the live one.
bool StillLinked(int FolderFd, const QByteArray &Entry, int Fd)
{
    struct stat open = {};
    struct stat named = {};
    return ::fstat(Fd, &open) == 0 &&
           ::fstatat(FolderFd, Entry.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(open, named);
}

bool WriteAll(int Fd, const char *Data, std::size_t Size)
{
    while (Size > 0) {
        const ssize_t done = ::write(Fd, Data, Size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        Data += done;
        Size -= static_cast<std::size_t>(done);
    }
    return true;
}

// The whole lock file, up to a size no record of ours reaches; empty on failure.
QByteArray ReadContents(int Fd)
{
    char buffer[kMaxRecordSize + 1];
    ssize_t got;
    do
        got = ::pread(Fd, buffer, sizeof(buffer), 0);
    while (got < 0 && errno == EINTR);
    return got > 0 && got <= static_cast<ssize_t>(kMaxRecordSize) ? QByteArray(buffer, got)
                                                                  : QByteArray();
}

bool HasMarker(int Fd)
{
    return ReadContents(Fd).startsWith(QByteArray::fromRawData(kMarker, kMarkerLength));
}

QByteArray Describe(const QByteArray &Target, const struct stat &Link)
{
    return QByteArray(kMarker) + "target " + Target + "\nlink " +
           QByteArray::number(static_cast<qulonglong>(Link.st_dev)) + ' ' +
           QByteArray::number(static_cast<qulonglong>(Link.st_ino)) + ' ' +
           QByteArray::number(static_cast<qlonglong>(Link.st_ctim.tv_sec)) + '.' +
           QByteArray::number(static_cast<qlonglong>(Link.st_ctim.tv_nsec)) + '\n';
}

} // namespace

TPortLock::TPortLock(TUniqueFd File, int FolderFd, QString Path, QByteArray Entry, bool CreatedHere)
    : FFile(std::move(File)), FFolderFd(FolderFd), FPath(std::move(Path)), FEntry(std::move(Entry)),
      FCreatedHere(CreatedHere)
{
}

std::optional<TPortLock> TPortLock::Acquire(int FolderFd, const QString &FolderPath,
                                            const QByteArray &LinkEntry, QString &Error)
{
    const QByteArray entry = '.' + LinkEntry + ".lock";
    const QString path =
        (FolderPath.endsWith(QLatin1Char('/')) ? FolderPath : FolderPath + QLatin1Char('/')) +
        QFile::decodeName(entry);

    TUniqueFd fresh(::openat(FolderFd, entry.constData(),
                             O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kLockFileMode));
    if (fresh.Valid()) {
        TPortLock lock(std::move(fresh), FolderFd, path, entry, true);
        // Another instance starting this very moment may hold it already; both then give up.
        if (::flock(lock.FFile.Get(), LOCK_EX | LOCK_NB) != 0) {
            Error = SystemErrorText(QStringLiteral("locking %1").arg(path), errno);
            lock.Abandon();
            return std::nullopt;
        }
        if (!WriteAll(lock.FFile.Get(), kMarker, kMarkerLength)) {
            Error = SystemErrorText(QStringLiteral("writing the lock file %1").arg(path), errno);
            lock.Abandon();
            return std::nullopt;
        }
        return lock;
    }
    if (errno != EEXIST) {
        Error = SystemErrorText(QStringLiteral("creating the lock file %1").arg(path), errno);
        return std::nullopt;
    }

    // The lock file is there: either held by a running instance, a left-over, or not ours.
    struct stat named = {};
    if (::fstatat(FolderFd, entry.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the lock file %1").arg(path), errno);
        return std::nullopt;
    }
    if (!S_ISREG(named.st_mode) || named.st_uid != ::geteuid()) {
        Error = QStringLiteral("%1 is in the way of the port's lock file").arg(path);
        return std::nullopt;
    }
    // O_NONBLOCK so that a FIFO swapped in after the check cannot hang the program.
    TUniqueFd found(
        ::openat(FolderFd, entry.constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!found.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening the lock file %1").arg(path), errno);
        return std::nullopt;
    }
    if (::flock(found.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            Error = QStringLiteral("the port is in use by another running instance (%1 is "
                                   "locked)")
                        .arg(path);
        else
            Error = SystemErrorText(QStringLiteral("locking %1").arg(path), errno);
        return std::nullopt;
    }
    if (!HasMarker(found.Get())) {
        Error = QStringLiteral("%1 is in the way of the port's lock file").arg(path);
        return std::nullopt;
    }
    if (!StillLinked(FolderFd, entry, found.Get())) {
        Error = QStringLiteral("the lock file %1 changed while it was being taken").arg(path);
        return std::nullopt;
    }
    return TPortLock(std::move(found), FolderFd, path, entry, false);
}

bool TPortLock::Record(const QByteArray &Target, const struct stat &Link, QString &Error)
{
    const QByteArray text = Describe(Target, Link);
    ssize_t done;
    do
        done = ::pwrite(FFile.Get(), text.constData(), static_cast<std::size_t>(text.size()), 0);
    while (done < 0 && errno == EINTR);
    int err = 0;
    if (done < 0)
        err = errno;
    else if (done != text.size())
        err = EIO;
    else if (::ftruncate(FFile.Get(), text.size()) != 0)
        err = errno;
    if (err != 0)
        Error = SystemErrorText(QStringLiteral("writing the lock file %1").arg(FPath), err);
    return err == 0;
}

bool TPortLock::Proves(const QByteArray &Target, const struct stat &Link) const
{
    return FFile.Valid() && ReadContents(FFile.Get()) == Describe(Target, Link);
}

bool TPortLock::Remove(QString &Error)
{
    bool ok = true;
    if (FFile.Valid() && StillLinked(FFolderFd, FEntry, FFile.Get()) &&
        ::unlinkat(FFolderFd, FEntry.constData(), 0) != 0 && errno != ENOENT) {
        Error = SystemErrorText(QStringLiteral("removing the lock file %1").arg(FPath), errno);
        ok = false;
    }
    FFile.Reset();
    return ok;
}

void TPortLock::Abandon()
{
    QString ignored;
    if (FCreatedHere)
        Remove(ignored);
    FFile.Reset();
}
