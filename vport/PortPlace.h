#pragma once

#include "vport/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <optional>

// Where a port's link lives: its folder, held open so that every later step (lock, link,
// removal) acts on the very folder that was checked, and the link's file name inside it.
//
// A plain name (no '/') goes into the program's per-user port folder; a name that begins with
// '/' is the link's full path. Names are never shortened or rewritten: a port under a name the
// user did not choose is worse than a refusal.
//
// A link is only as safe as its folder: whoever can write to the folder can rename the link away
// and put one to their own pty in its place, and then receives what the user types. So the
// runtime folder is used only when it is the user's and nobody else can write to it (as the XDG
// base directory rules require of it), else the per-user folder under /tmp is; and a full path
// is refused in a folder that others can write to unless the folder is sticky (as /tmp is), and
// in a folder of another user (root's excepted), who can change it at will.
class TPortPlace
{
public:
    static constexpr qsizetype kMaxNameLength = 127;

    // Checks the name and opens its folder (making the per-user folder when needed).
    static std::optional<TPortPlace> Resolve(const QString &Name, QString &Error);

    // The per-user folder for plain names: under $XDG_RUNTIME_DIR when that is an absolute
    // path, else a folder of the user's own under TmpRoot.
    static QString PerUserFolderPath(const QByteArray &RuntimeDir, const QString &TmpRoot);
    // The per-user folder for this process's environment; Note (if given) says why it is not
    // under the runtime folder when that was refused. Under /tmp, when something not ours
    // stands at its name, Resolve puts the ports into a fresh private folder beside it instead
    // (one per process, named in the port's Note); this stays the usual folder's path.
    static QString CurrentPerUserFolder(QString *Note = nullptr);
    // The shared temporary folder that holds the per-user folder without a usable runtime
    // folder: /tmp, unless a test gives a folder of its own.
    static void SetTmpRoot(const QString &Root);
    // Makes the folder (mode 0700) if missing, then accepts it only as a real folder of this
    // user that nobody else can write to.
    static TUniqueFd OpenPerUserFolder(const QString &Path, QString &Error);
    // Why the runtime folder must not hold the port folder; "" when it may (or does not exist,
    // which the attempt to use it then reports).
    static QString RuntimeDirProblem(const QByteArray &RuntimeDir);

    // The name as text that is safe to show anywhere (a terminal, a tooltip): each character a
    // name must not hold as an escape (\x1b, \n, \u202e, \U000e0001), the others as they are.
    static QString Printable(const QString &Name);

    int FolderFd() const { return FFolder.Get(); }
    const QString &FolderPath() const { return FFolderText; }
    const QByteArray &Entry() const { return FEntryName; }
    // The full path at which applications open the port.
    const QString &Path() const { return FFullPath; }
    // Why the port is not where the user would look first ("" when it is).
    const QString &Note() const { return FNoteText; }
    // The program's own folder (the per-user one) in its parent; -1 and "" for a full path.
    int ParentFd() const { return FParent.Get(); }
    const QByteArray &FolderEntry() const { return FFolderName; }

    // Removes the program's own folder if it is empty and still the one opened; a full path's
    // folder is the user's and stays.
    void RemoveOwnFolderIfEmpty() const;

private:
    TPortPlace(TUniqueFd Folder, QString FolderText, QByteArray EntryName, QString FullPath);

    TUniqueFd FFolder;
    TUniqueFd FParent;
    QByteArray FFolderName;
    QString FNoteText;
    QString FFolderText;
    QByteArray FEntryName;
    QString FFullPath;
};
