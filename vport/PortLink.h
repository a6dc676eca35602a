#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <sys/stat.h>

class TPortLock;
class TPortPlace;

// The port's link and whose it is: placing it, moving it on, proving it ours, and clearing what
// instances killed with -9 left behind. Nothing here removes an entry it cannot prove to be a
// link of ours: a file of the user's, or a link another program put at the name after a crash,
// stays where it is.
//
// The link is moved on by making the new one beside it under ".NAME.XXXX" (no longer than the
// lock file's name, so any name that has a lock file has room for it), then renaming it over the
// old one in one step: applications never find the path missing. The four characters are
// random, and the temporary link is made only where nothing is: whatever stands at one such name
// costs one more try, never the move.
namespace portlink
{

// The target of the link Entry in the folder; none for anything that is not a link.
std::optional<QByteArray> ReadLinkAt(int FolderFd, const QByteArray &Entry);

// Makes the link to Target at the place, taking over a left-over of ours found there; never
// replaces anything else. True when the link is there.
bool PlaceLink(const TPortPlace &Place, const TPortLock &Lock, const QByteArray &Target,
               QString &Error);

// Moves the link on to Target through a temporary link beside it. BeforeMaking is told each
// temporary name before it is made, so that it can be published for a fatal signal's handler.
// True when the link leads to Target.
bool MoveLink(const TPortPlace &Place, const QByteArray &Target,
              const std::function<void(const QByteArray &Temporary)> &BeforeMaking, QString &Error);

// The link's own identity, for its lock file.
bool StatLink(const TPortPlace &Place, struct stat &Link);

// Temporary links of ours for the link Entry that a crash left behind in the middle of a move.
// The caller holds the link's lock, so no other instance of ours is moving it now.
void ClearTemporaries(int FolderFd, const QByteArray &Entry);

// Left-overs of instances killed with -9 in the per-user folder: links with their lock files
// that nobody holds, where the lock file proves the link ours.
void ClearLeftOvers();

} // namespace portlink
