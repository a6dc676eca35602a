#pragma once

#include "vport/PortLock.h"
#include "vport/PortPlace.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <sys/inotify.h>

class TPortWatcher;

// The port's entry in its folder, as the control holds it: the place the user's name resolves
// to, the link there with its lock file, the slot that lets a fatal signal's handler remove them
// (vport/PortExit.h), and the folder's watch. Where the link leads is the pairs' business
// (vport/PtyPairs.h): members that look at it are told the linked pair's slave. Every member is
// called with the control's lock held.
class TPortEntry
{
public:
    // The place for PortName, locked; null with the reason in Error.
    static std::unique_ptr<TPortEntry> Acquire(const QString &PortName, TPortWatcher &Watcher,
                                               QString &Error);
    TPortEntry(const TPortEntry &) = delete;
    TPortEntry &operator=(const TPortEntry &) = delete;

    // Makes the link to Target, published for the signals before it exists; true when it is
    // there.
    bool PlaceLink(const QByteArray &Target, QString &Error);
    // After a failed creation: see TPortLock::Abandon.
    void Abandon() { FLock.Abandon(); }
    // Starts watching the folder.
    void Watch();
    // Clears what a crash in the middle of a move left.
    void ClearTemporaries() const;
    // Records the link (now to Target) in its lock file and publishes it; false with the reason
    // in Error when the record failed.
    bool Record(const QByteArray &Target, QString &Error);
    // What a fatal signal's handler removes: the link (to Target, or still to Previous while it
    // moves), the temporary link of a move, the lock file.
    void Publish(const QByteArray &Target, const QByteArray &Previous = {},
                 const QByteArray &Temporary = {}) const;
    // Moves the link from Previous on to Target; false with the reason in Error.
    bool MoveLink(const QByteArray &Target, const QByteArray &Previous, QString &Error);
    // Ours is a symlink to Linked, whoever made it; readlink fails on anything else.
    bool IsOurs(const QByteArray &Linked) const;
    // IsOurs, read again only after the folder's watch has reported a change at the name.
    bool KnownOurs(const QByteArray &Linked);
    // The link is read again at the next KnownOurs.
    void Forget() { FKnownOurs = false; }
    // What a watcher's event means for the link; true when it was the folder's.
    bool TakeEvent(const inotify_event &Event);

    // The signals no longer remove it.
    void Release();
    // Stops watching, removes the link if it leads to Linked and the lock file; Leaving: the
    // program's own folder too when empty. False with the (last) reason in Error.
    bool Remove(const QByteArray &Linked, bool Leaving, QString &Error);

    const QString &Path() const { return FPlace.Path(); }
    // Why the port is not where the user would look first ("" when it is).
    const QString &Note() const { return FPlace.Note(); }

private:
    TPortEntry(TPortPlace Place, TPortLock Lock, TPortWatcher &Watcher);

    TPortPlace FPlace;
    // Refers to FPlace's folder, so it must go first.
    TPortLock FLock;
    TPortWatcher &FWatcher;
    int FExitSlot = -1;
    // The folder, watched for entries that come and go: while no event has named the link since
    // it was last read and found ours, it still is, and PortCreated need not read it again at
    // every tick.
    int FFolderWatch = -1;
    bool FKnownOurs = false;
};
