#pragma once

#include "vport/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

// The lock file beside a port's link (".NAME.lock"). A running instance holds an exclusive
// flock on it for as long as it has the port. The flock dies with its holder, so a crash never
// leaves a port that looks taken.
//
// The file also records the link it stands for: its target and its own identity (device,
// inode, change time). A lock file that nobody holds proves a link beside it to be a left-over
// of ours only while both still match: after a crash another program may have put a link of its
// own at the same path, and that one is not ours to replace or remove.
class TPortLock
{
public:
    // Takes the lock for the link LinkEntry in the folder. Fails when another running instance
    // holds it, or when something that is not our lock file has that name.
    static std::optional<TPortLock> Acquire(int FolderFd, const QString &FolderPath,
                                            const QByteArray &LinkEntry, QString &Error);

    // True when the lock file was there already: only then may a link beside it be a left-over
    // of ours.
    bool FoundLeftOver() const { return !FCreatedHere; }

    // Records Link (as found by lstat) and its target as the link of this lock.
    bool Record(const QByteArray &Target, const struct stat &Link, QString &Error);
    // Whether the file records exactly this link with this target.
    bool Proves(const QByteArray &Target, const struct stat &Link) const;

    // Removes the lock file, if it still is the one held, and lets go of it.
    bool Remove(QString &Error);
    // Undoes Acquire after a failed creation: a lock file made by this attempt goes, one found
    // there stays as it was.
    void Abandon();

private:
    TPortLock(TUniqueFd File, int FolderFd, QString Path, QByteArray Entry, bool CreatedHere);

    TUniqueFd FFile;
    int FFolderFd = -1;
    QString FPath;
    QByteArray FEntry;
    bool FCreatedHere = false;
};
