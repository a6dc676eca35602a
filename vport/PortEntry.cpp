#include "vport/PortEntry.h"

#include "vport/PortExit.h"
#include "vport/PortLink.h"
#include "vport/PortWatcher.h"
#include "vport/SystemError.h"

#include <cerrno>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<TPortEntry> TPortEntry::Acquire(const QString &PortName, TPortWatcher &Watcher,
                                                QString &Error)
{
    std::optional<TPortPlace> place = TPortPlace::Resolve(PortName, Error);
    if (!place)
        return nullptr;
    std::optional<TPortLock> lock =
        TPortLock::Acquire(place->FolderFd(), place->FolderPath(), place->Entry(), Error);
    if (!lock)
        return nullptr;
    return std::unique_ptr<TPortEntry>(
        new TPortEntry(std::move(*place), std::move(*lock), Watcher));
}

TPortEntry::TPortEntry(TPortPlace Place, TPortLock Lock, TPortWatcher &Watcher)
    : FPlace(std::move(Place)), FLock(std::move(Lock)), FWatcher(Watcher)
{
}

bool TPortEntry::PlaceLink(const QByteArray &Target, QString &Error)
{
    // Published before the link exists, so that a signal at any moment from here on takes it
    // (and the lock file) along.
    FExitSlot = portexit::Claim();
    Publish(Target);
    if (portlink::PlaceLink(FPlace, FLock, Target, Error))
        return true;
    Release();
    return false;
}

void TPortEntry::Watch()
{
    FFolderWatch = FWatcher.WatchFolder(FPlace.FolderFd());
    FKnownOurs = false;
}

void TPortEntry::ClearTemporaries() const
{
    portlink::ClearTemporaries(FPlace.FolderFd(), FPlace.Entry());
}

bool TPortEntry::Record(const QByteArray &Target, QString &Error)
{
    struct stat link = {};
    const bool recorded = portlink::StatLink(FPlace, link) && FLock.Record(Target, link, Error);
    if (!recorded && Error.isEmpty())
        Error = SystemErrorText(QStringLiteral("checking the link %1").arg(FPlace.Path()), errno);
    Publish(Target);
    return recorded;
}

void TPortEntry::Publish(const QByteArray &Target, const QByteArray &Previous,
                         const QByteArray &Temporary) const
{
    portexit::Publish(FExitSlot, FPlace.FolderFd(), FPlace.Entry(), Target,
                      '.' + FPlace.Entry() + ".lock", FPlace.ParentFd(), FPlace.FolderEntry(),
                      Previous, Temporary);
}

bool TPortEntry::MoveLink(const QByteArray &Target, const QByteArray &Previous, QString &Error)
{
    return portlink::MoveLink(
        FPlace, Target,
        [&](const QByteArray &Temporary) {
            // A signal from here until the move is recorded finds either link.
            Publish(Target, Previous, Temporary);
        },
        Error);
}

bool TPortEntry::IsOurs(const QByteArray &Linked) const
{
    const std::optional<QByteArray> target =
        portlink::ReadLinkAt(FPlace.FolderFd(), FPlace.Entry());
    return target && *target == Linked;
}

bool TPortEntry::KnownOurs(const QByteArray &Linked)
{
    if (FKnownOurs)
        return true;
    const bool ours = IsOurs(Linked);
    // Without the folder's watch nothing would tell when the link changes: it is read each time.
    FKnownOurs = ours && FFolderWatch >= 0;
    return ours;
}

bool TPortEntry::TakeEvent(const inotify_event &Event)
{
    // Events the queue had no room for are lost: the link is read again.
    if ((Event.mask & IN_Q_OVERFLOW) != 0) {
        FKnownOurs = false;
        return false;
    }
    if (Event.wd != FFolderWatch || FFolderWatch < 0)
        return false;
    // The folder itself moved or went, or something came or went at the link's name (our own
    // moves included): the link is read again.
    if ((Event.mask & IN_IGNORED) != 0)
        FFolderWatch = -1;
    if (Event.len == 0 || FPlace.Entry() == Event.name)
        FKnownOurs = false;
    return true;
}

void TPortEntry::Release()
{
    portexit::Release(FExitSlot);
    FExitSlot = portexit::kNoSlot;
}

bool TPortEntry::Remove(const QByteArray &Linked, bool Leaving, QString &Error)
{
    FWatcher.Unwatch(FFolderWatch);
    FFolderWatch = -1;
    FKnownOurs = false;
    bool ok = true;
    // Only our own link goes: if something else has taken its place, it stays.
    if (IsOurs(Linked) && ::unlinkat(FPlace.FolderFd(), FPlace.Entry().constData(), 0) != 0 &&
        errno != ENOENT) {
        Error = SystemErrorText(QStringLiteral("removing the link %1").arg(FPlace.Path()), errno);
        ok = false;
    }
    QString lockError;
    if (!FLock.Remove(lockError)) {
        Error = lockError;
        ok = false;
    }
    if (Leaving)
        FPlace.RemoveOwnFolderIfEmpty();
    return ok;
}
