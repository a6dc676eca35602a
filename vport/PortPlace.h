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
class TPortPlace
{
public:
    static constexpr qsizetype MaxNameLength = 127;

    // Checks the name and opens its folder (making the per-user folder when needed).
    static std::optional<TPortPlace> Resolve(const QString &Name, QString &Error);

    // The per-user folder for plain names: under $XDG_RUNTIME_DIR when that is an absolute
    // path, else a folder of the user's own under TmpRoot.
    static QString PerUserFolderPath(const QByteArray &RuntimeDir, const QString &TmpRoot);
    // Makes the folder (mode 0700) if missing, then accepts it only as a real folder of this
    // user that nobody else can write to.
    static TUniqueFd OpenPerUserFolder(const QString &Path, QString &Error);

    int FolderFd() const { return Folder.Get(); }
    const QString &FolderPath() const { return FolderText; }
    const QByteArray &Entry() const { return EntryName; }
    // The full path at which applications open the port.
    const QString &Path() const { return FullPath; }

private:
    TPortPlace(TUniqueFd Folder, QString FolderText, QByteArray EntryName, QString FullPath);

    TUniqueFd Folder;
    QString FolderText;
    QByteArray EntryName;
    QString FullPath;
};
