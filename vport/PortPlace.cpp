#include "vport/PortPlace.h"

#include "vport/SystemError.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char RuntimeFolderName[] = "velmor-debug";
constexpr char TmpFolderPrefix[] = "velmor-debug-";
constexpr mode_t PrivateFolderMode = 0700;
constexpr mode_t WritableByOthers = S_IWGRP | S_IWOTH;

// Empty when the name may be used; else why not.
QString NameProblem(const QString &Name)
{
    if (Name.isEmpty())
        return QStringLiteral("the port name is empty");
    if (Name.size() > TPortPlace::MaxNameLength)
        return QStringLiteral("the port name is longer than %1 characters")
            .arg(TPortPlace::MaxNameLength);
    if (!Name.isValidUtf16())
        return QStringLiteral("the port name is not valid Unicode");
    for (QChar Ch : Name)
        // A line break or other control character in a file name only serves to mislead
        // whoever lists the folder later.
        if (Ch.category() == QChar::Other_Control)
            return QStringLiteral("the port name contains a control character");
    if (Name.contains(QLatin1Char('/')) && !Name.startsWith(QLatin1Char('/')))
        return QStringLiteral("the port name contains '/' but is not a full path beginning "
                              "with '/'");
    return {};
}

bool IsUsableFileName(const QString &Entry)
{
    return !Entry.isEmpty() && Entry != QLatin1String(".") && Entry != QLatin1String("..");
}

} // namespace

TPortPlace::TPortPlace(TUniqueFd Folder, QString FolderText, QByteArray EntryName, QString FullPath)
    : Folder(std::move(Folder)), FolderText(std::move(FolderText)), EntryName(std::move(EntryName)),
      FullPath(std::move(FullPath))
{
}

std::optional<TPortPlace> TPortPlace::Resolve(const QString &Name, QString &Error)
{
    Error = NameProblem(Name);
    if (!Error.isEmpty())
        return std::nullopt;

    if (!Name.startsWith(QLatin1Char('/'))) {
        if (!IsUsableFileName(Name)) {
            Error = QStringLiteral("the port name \"%1\" is not a usable file name").arg(Name);
            return std::nullopt;
        }
        const QString FolderText =
            PerUserFolderPath(qgetenv("XDG_RUNTIME_DIR"), QStringLiteral("/tmp"));
        TUniqueFd Folder = OpenPerUserFolder(FolderText, Error);
        if (!Folder.Valid())
            return std::nullopt;
        return TPortPlace(std::move(Folder), FolderText, QFile::encodeName(Name),
                          FolderText + QLatin1Char('/') + Name);
    }

    const qsizetype Slash = Name.lastIndexOf(QLatin1Char('/'));
    const QString Entry = Name.mid(Slash + 1);
    if (!IsUsableFileName(Entry)) {
        Error = QStringLiteral("the port path %1 does not end in a file name").arg(Name);
        return std::nullopt;
    }
    const QString FolderText = Slash == 0 ? QStringLiteral("/") : Name.left(Slash);
    // The folder is the user's choice, symlinks on the way included; only the link's own
    // name is handled without following anything.
    TUniqueFd Folder(
        ::open(QFile::encodeName(FolderText).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!Folder.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening the folder %1").arg(FolderText), errno);
        return std::nullopt;
    }
    return TPortPlace(std::move(Folder), FolderText, QFile::encodeName(Entry), Name);
}

QString TPortPlace::PerUserFolderPath(const QByteArray &RuntimeDir, const QString &TmpRoot)
{
    // A relative XDG_RUNTIME_DIR is invalid and must be ignored.
    if (RuntimeDir.startsWith('/')) {
        QString Base = QFile::decodeName(RuntimeDir);
        while (Base.size() > 1 && Base.endsWith(QLatin1Char('/')))
            Base.chop(1);
        if (Base == QLatin1String("/"))
            Base.clear();
        return Base + QLatin1Char('/') + QLatin1String(RuntimeFolderName);
    }
    return TmpRoot + QLatin1Char('/') + QLatin1String(TmpFolderPrefix) +
           QString::number(::geteuid());
}

TUniqueFd TPortPlace::OpenPerUserFolder(const QString &Path, QString &Error)
{
    const QByteArray Encoded = QFile::encodeName(Path);
    if (::mkdir(Encoded.constData(), PrivateFolderMode) != 0 && errno != EEXIST) {
        Error = SystemErrorText(QStringLiteral("creating the port folder %1").arg(Path), errno);
        return {};
    }
    // O_NOFOLLOW: in a shared /tmp someone else may have put a link to a folder of theirs
    // under our folder's name.
    TUniqueFd Folder(::open(Encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!Folder.Valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            Error = QStringLiteral("the port folder %1 is not a folder").arg(Path);
        else
            Error = SystemErrorText(QStringLiteral("opening the port folder %1").arg(Path), errno);
        return {};
    }
    struct stat Info = {};
    if (::fstat(Folder.Get(), &Info) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the port folder %1").arg(Path), errno);
        return {};
    }
    if (Info.st_uid != ::geteuid()) {
        Error = QStringLiteral("the port folder %1 belongs to another user").arg(Path);
        return {};
    }
    if ((Info.st_mode & WritableByOthers) != 0) {
        Error = QStringLiteral("the port folder %1 is writable by other users").arg(Path);
        return {};
    }
    return Folder;
}
