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
constexpr char SharedTmpRoot[] = "/tmp";
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
    for (QChar Ch : Name) {
        // A line break or other control character in a file name only serves to mislead
        // whoever lists the folder later.
        if (Ch.category() == QChar::Other_Control)
            return QStringLiteral("the port name contains a control character");
        // Invisible characters that reorder or break the text (a right-to-left override, a
        // line or paragraph separator) make one name look like another.
        const QChar::Category Kind = Ch.category();
        if (Kind == QChar::Other_Format || Kind == QChar::Separator_Line ||
            Kind == QChar::Separator_Paragraph)
            return QStringLiteral("the port name contains the invisible formatting character "
                                  "U+%1, which can make it look like another name")
                .arg(QString::number(Ch.unicode(), 16)
                         .toUpper()
                         .rightJustified(4, QLatin1Char('0')));
    }
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
        QString Note;
        const QString FolderText = CurrentPerUserFolder(&Note);
        TUniqueFd Folder = OpenPerUserFolder(FolderText, Error);
        if (!Folder.Valid())
            return std::nullopt;
        const qsizetype Slash = FolderText.lastIndexOf(QLatin1Char('/'));
        TUniqueFd Parent(
            ::open(QFile::encodeName(Slash == 0 ? QStringLiteral("/") : FolderText.left(Slash))
                       .constData(),
                   O_PATH | O_DIRECTORY | O_CLOEXEC));
        TPortPlace Place(std::move(Folder), FolderText, QFile::encodeName(Name),
                         FolderText + QLatin1Char('/') + Name);
        Place.Parent = std::move(Parent);
        Place.FolderName = QFile::encodeName(FolderText.mid(Slash + 1));
        if (!Note.isEmpty())
            Place.NoteText = QStringLiteral("%1; the port is in %2 instead").arg(Note, FolderText);
        return Place;
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
    struct stat Info = {};
    if (::fstat(Folder.Get(), &Info) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the folder %1").arg(FolderText), errno);
        return std::nullopt;
    }
    if (Info.st_uid != ::geteuid() && Info.st_uid != 0) {
        Error = QStringLiteral("the folder %1 belongs to another user, who could replace the "
                               "port's link")
                    .arg(FolderText);
        return std::nullopt;
    }
    if ((Info.st_mode & WritableByOthers) != 0 && (Info.st_mode & S_ISVTX) == 0) {
        Error = QStringLiteral("the folder %1 is writable by other users and not sticky (as "
                               "/tmp is): they could replace the port's link")
                    .arg(FolderText);
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

QString TPortPlace::CurrentPerUserFolder(QString *Note)
{
    QByteArray RuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (const QString Problem = RuntimeDirProblem(RuntimeDir); !Problem.isEmpty()) {
        RuntimeDir.clear();
        if (Note != nullptr)
            *Note = Problem;
    }
    return PerUserFolderPath(RuntimeDir, QString::fromLatin1(SharedTmpRoot));
}

QString TPortPlace::RuntimeDirProblem(const QByteArray &RuntimeDir)
{
    struct stat Info = {};
    if (!RuntimeDir.startsWith('/') || ::stat(RuntimeDir.constData(), &Info) != 0)
        return {};
    const QString Path = QFile::decodeName(RuntimeDir);
    if (Info.st_uid != ::geteuid())
        return QStringLiteral("the runtime folder %1 (XDG_RUNTIME_DIR) belongs to another user")
            .arg(Path);
    if ((Info.st_mode & WritableByOthers) != 0)
        return QStringLiteral("the runtime folder %1 (XDG_RUNTIME_DIR) is writable by other users")
            .arg(Path);
    return {};
}

void TPortPlace::RemoveOwnFolderIfEmpty() const
{
    if (!Parent.Valid() || FolderName.isEmpty())
        return;
    struct stat Open = {};
    struct stat Named = {};
    if (::fstat(Folder.Get(), &Open) == 0 &&
        ::fstatat(Parent.Get(), FolderName.constData(), &Named, AT_SYMLINK_NOFOLLOW) == 0 &&
        Open.st_dev == Named.st_dev && Open.st_ino == Named.st_ino)
        // Fails harmlessly while another port of the user's is still in it.
        ::unlinkat(Parent.Get(), FolderName.constData(), AT_REMOVEDIR);
}
