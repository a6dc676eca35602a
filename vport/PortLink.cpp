#include "vport/PortLink.h"

#include "vport/PortLock.h"
#include "vport/PortPlace.h"
#include "vport/SystemError.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr char kPtySlavePrefix[] = "/dev/pts/";
constexpr int kTemporarySuffixLength = 4;
constexpr int kTemporaryAttempts = 32;
constexpr char kTemporaryAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool LooksLikePtyLink(const QByteArray &Target)
{
    if (!Target.startsWith(kPtySlavePrefix))
        return false;
    const QByteArray number = Target.mid(sizeof(kPtySlavePrefix) - 1);
    return !number.isEmpty() &&
           std::all_of(number.begin(), number.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// A link that an instance of ours left behind: the lock beside it was there already, nobody held
// it (we hold it now), and it records exactly this link with this target. Anything else at the
// path, a link another program made there after a crash included, is not ours.
bool IsLeftOverLink(const TPortPlace &Place, const TPortLock &Lock, const struct stat &Found)
{
    if (!Lock.FoundLeftOver() || !S_ISLNK(Found.st_mode) || Found.st_uid != ::geteuid())
        return false;
    const std::optional<QByteArray> target = portlink::ReadLinkAt(Place.FolderFd(), Place.Entry());
    return target && LooksLikePtyLink(*target) && Lock.Proves(*target, Found);
}

// The link's name for a lock file's name (".NAME.lock"); empty for anything else.
QByteArray LinkOfLockEntry(const QByteArray &Entry)
{
    if (Entry.size() <= 6 || !Entry.startsWith('.') || !Entry.endsWith(".lock"))
        return {};
    return Entry.mid(1, Entry.size() - 6);
}

QByteArray TemporaryEntry(const QByteArray &Entry)
{
    unsigned char random[kTemporarySuffixLength] = {};
    if (::getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random)))
        return {};
    QByteArray name = '.' + Entry + '.';
    for (const unsigned char byte : random)
        name += kTemporaryAlphabet[byte % (sizeof(kTemporaryAlphabet) - 1)];
    return name;
}

// Whether Name has the form of a temporary link for the link Entry.
bool IsTemporaryEntryOf(const QByteArray &Name, const QByteArray &Entry)
{
    const QByteArray prefix = '.' + Entry + '.';
    if (Name.size() != prefix.size() + kTemporarySuffixLength || !Name.startsWith(prefix))
        return false;
    const QByteArray suffix = Name.mid(prefix.size());
    return std::all_of(suffix.begin(), suffix.end(), [](char C) {
        return std::strchr(kTemporaryAlphabet, C) != nullptr && C != '\0';
    });
}

} // namespace

namespace portlink
{

std::optional<QByteArray> ReadLinkAt(int FolderFd, const QByteArray &Entry)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(FolderFd, Entry.constData(), target, sizeof(target));
    if (size < 0 || size == static_cast<ssize_t>(sizeof(target)))
        return std::nullopt;
    return QByteArray(target, size);
}

bool PlaceLink(const TPortPlace &Place, const TPortLock &Lock, const QByteArray &Target,
               QString &Error)
{
    const int folder = Place.FolderFd();
    const char *entry = Place.Entry().constData();
    struct stat found = {};
    if (::fstatat(folder, entry, &found, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!IsLeftOverLink(Place, Lock, found)) {
            Error = QStringLiteral("%1 already exists and is not a port of this program")
                        .arg(Place.Path());
            return false;
        }
        if (::unlinkat(folder, entry, 0) != 0) {
            Error = SystemErrorText(
                QStringLiteral("removing the left-over link %1").arg(Place.Path()), errno);
            return false;
        }
    } else if (errno != ENOENT) {
        Error = SystemErrorText(QStringLiteral("checking %1").arg(Place.Path()), errno);
        return false;
    }
    // symlinkat never replaces: whatever appeared meanwhile makes it fail with EEXIST.
    if (::symlinkat(Target.constData(), folder, entry) != 0) {
        Error = SystemErrorText(QStringLiteral("creating the link %1").arg(Place.Path()), errno);
        return false;
    }
    return true;
}

bool MoveLink(const TPortPlace &Place, const QByteArray &Target,
              const std::function<void(const QByteArray &Temporary)> &BeforeMaking, QString &Error)
{
    // Made where nothing is, then renamed over the link in one step: applications never find
    // the path missing, and nobody else's file at the temporary name is ever touched.
    const int folder = Place.FolderFd();
    QByteArray temporary;
    int attempt = 0;
    for (; attempt < kTemporaryAttempts; ++attempt) {
        temporary = TemporaryEntry(Place.Entry());
        if (temporary.isEmpty()) {
            Error = SystemErrorText(QStringLiteral("choosing a name for the new link"), errno);
            return false;
        }
        BeforeMaking(temporary);
        if (::symlinkat(Target.constData(), folder, temporary.constData()) == 0)
            break;
        if (errno != EEXIST) {
            Error = SystemErrorText(
                QStringLiteral("making the new link beside %1").arg(Place.Path()), errno);
            return false;
        }
    }
    if (attempt == kTemporaryAttempts) {
        Error = QStringLiteral("making the new link beside %1: every name tried was taken")
                    .arg(Place.Path());
        return false;
    }
    if (::renameat(folder, temporary.constData(), folder, Place.Entry().constData()) != 0) {
        Error = SystemErrorText(
            QStringLiteral("moving the link %1 to a fresh pseudo-terminal").arg(Place.Path()),
            errno);
        ::unlinkat(folder, temporary.constData(), 0);
        return false;
    }
    return true;
}

bool StatLink(const TPortPlace &Place, struct stat &Link)
{
    return ::fstatat(Place.FolderFd(), Place.Entry().constData(), &Link, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           S_ISLNK(Link.st_mode);
}

void ClearTemporaries(int FolderFd, const QByteArray &Entry)
{
    DIR *listing = ::fdopendir(::dup(FolderFd));
    if (listing == nullptr)
        return;
    std::vector<QByteArray> stale;
    while (const dirent *found = ::readdir(listing))
        if (IsTemporaryEntryOf(found->d_name, Entry))
            stale.emplace_back(found->d_name);
    ::closedir(listing);
    for (const QByteArray &name : stale) {
        struct stat found = {};
        const std::optional<QByteArray> target = ReadLinkAt(FolderFd, name);
        if (::fstatat(FolderFd, name.constData(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(found.st_mode) && found.st_uid == ::geteuid() && target &&
            LooksLikePtyLink(*target))
            ::unlinkat(FolderFd, name.constData(), 0);
    }
}

void ClearLeftOvers()
{
    const QString folderPath = TPortPlace::CurrentPerUserFolder();
    // Only a folder that exists already: clearing never makes one.
    struct stat info = {};
    if (::lstat(QFile::encodeName(folderPath).constData(), &info) != 0)
        return;
    QString ignored;
    const TUniqueFd folder = TPortPlace::OpenPerUserFolder(folderPath, ignored);
    if (!folder.Valid())
        return;
    DIR *listing = ::fdopendir(::dup(folder.Get()));
    if (listing == nullptr)
        return;
    std::vector<QByteArray> links;
    while (const dirent *entry = ::readdir(listing))
        if (QByteArray link = LinkOfLockEntry(entry->d_name); !link.isEmpty())
            links.push_back(link);
    ::closedir(listing);
    for (const QByteArray &link : links) {
        // A lock held by a running instance, or a file that is not our lock, stays.
        std::optional<TPortLock> lock = TPortLock::Acquire(folder.Get(), folderPath, link, ignored);
        if (!lock)
            continue;
        struct stat found = {};
        const bool linkThere =
            ::fstatat(folder.Get(), link.constData(), &found, AT_SYMLINK_NOFOLLOW) == 0;
        const std::optional<QByteArray> target =
            linkThere ? ReadLinkAt(folder.Get(), link) : std::nullopt;
        if (linkThere && !(S_ISLNK(found.st_mode) && found.st_uid == ::geteuid() && target &&
                           lock->Proves(*target, found))) {
            lock->Abandon();
            continue;
        }
        if (linkThere)
            ::unlinkat(folder.Get(), link.constData(), 0);
        ClearTemporaries(folder.Get(), link);
        lock->Remove(ignored);
    }
}

} // namespace portlink
