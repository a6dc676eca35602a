#include "vport/PortPlace.h"

#include "vport/SystemError.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr char RuntimeFolderName[] = "velmor-debug";
constexpr char TmpFolderPrefix[] = "velmor-debug-";
constexpr char SharedTmpRoot[] = "/tmp";
constexpr char FreshFolderSuffix[] = "-XXXXXX";
constexpr mode_t PrivateFolderMode = 0700;
constexpr mode_t WritableByOthers = S_IWGRP | S_IWOTH;

// Default_Ignorable_Code_Point, as Unicode 15.0's DerivedCoreProperties.txt lists it: characters
// that text shows as nothing at all, so that a name holding one looks exactly like the name
// without it.
struct TCodeRange {
    char32_t First;
    char32_t Last;
};
constexpr TCodeRange DefaultIgnorable[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x200B, 0x200F},   {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};
// Letters and symbols that are drawn as an empty cell: the Hangul fillers and the blank Braille
// pattern.
constexpr char32_t BlankFillers[] = {0x115F, 0x1160, 0x3164, 0xFFA0, 0x2800};

bool IsIn(char32_t Code, const TCodeRange *First, const TCodeRange *Last)
{
    return std::any_of(First, Last, [Code](const TCodeRange &Range) {
        return Code >= Range.First && Code <= Range.Last;
    });
}

// What kind of character Code is when a port name must not hold it; nullptr when it may. The
// plain space stays allowed: it shows as a gap, and names such as "Port 1" are the user's own.
const char *RefusedKind(char32_t Code)
{
    const QChar::Category Kind = QChar::category(Code);
    // A line break or an escape sequence in a file name only serves to mislead whoever lists the
    // folder later.
    if (Kind == QChar::Other_Control)
        return "a control character";
    if (std::find(std::begin(BlankFillers), std::end(BlankFillers), Code) != std::end(BlankFillers))
        return "a blank filler character";
    // Invisible characters, and those that reorder the text (a right-to-left override), make one
    // name look like another.
    if (Kind == QChar::Other_Format ||
        IsIn(Code, std::begin(DefaultIgnorable), std::end(DefaultIgnorable)))
        return "an invisible formatting character";
    if (Kind == QChar::Separator_Space && Code != U' ')
        return "a space other than the plain space";
    if (Kind == QChar::Separator_Line || Kind == QChar::Separator_Paragraph)
        return "a line or paragraph separator";
    // Neither has a look that everybody sees: one unassigned may yet become invisible, and a
    // private-use one is whatever the font makes of it.
    if (Kind == QChar::Other_NotAssigned)
        return "a character not assigned in Unicode";
    if (Kind == QChar::Other_PrivateUse)
        return "a private-use character";
    if (Kind == QChar::Other_Surrogate)
        return "half of a broken character";
    return nullptr;
}

QString CodeText(char32_t Code)
{
    return QStringLiteral("U+") +
           QString::number(Code, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

// The name's characters one by one; a lone half of a surrogate pair comes as itself.
template <typename TVisit> void ForEachCode(const QString &Name, TVisit Visit)
{
    for (qsizetype At = 0; At < Name.size(); ++At) {
        const QChar Unit = Name[At];
        if (Unit.isHighSurrogate() && At + 1 < Name.size() && Name[At + 1].isLowSurrogate()) {
            Visit(QChar::surrogateToUcs4(Unit, Name[At + 1]));
            ++At;
        } else {
            Visit(char32_t(Unit.unicode()));
        }
    }
}

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
    QString Problem;
    ForEachCode(Name, [&Problem](char32_t Code) {
        if (const char *Kind = RefusedKind(Code); Kind != nullptr && Problem.isEmpty())
            Problem = QStringLiteral("%1 (%2) is not allowed in a port name")
                          .arg(CodeText(Code), QLatin1String(Kind));
    });
    if (!Problem.isEmpty())
        return Problem;
    if (Name.contains(QLatin1Char('/')) && !Name.startsWith(QLatin1Char('/')))
        return QStringLiteral("the port name contains '/' but is not a full path beginning "
                              "with '/'");
    return {};
}

// Where plain names go without a usable runtime folder, and the fresh folder this process took
// there when the per-user folder's name was taken by someone else. Never destroyed: a control's
// clean-up at exit may run after other statics are gone.
struct TSharedTmp {
    std::mutex Mutex;
    QString Root = QString::fromLatin1(SharedTmpRoot);
    // The per-user folder that was not ours, why not, and the folder used instead.
    QString Taken;
    QString WhyTaken;
    QString Fresh;
};

TSharedTmp &SharedTmp()
{
    static auto *Shared = new TSharedTmp;
    return *Shared;
}

QString TmpRoot()
{
    TSharedTmp &Shared = SharedTmp();
    std::lock_guard Guard(Shared.Mutex);
    return Shared.Root;
}

// The per-user folder for this environment; Note says why the runtime folder was refused, and
// UnderTmp whether the folder is the one in the shared temporary folder.
QString PerUserFolderHere(QString *Note, bool *UnderTmp)
{
    QByteArray RuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (const QString Problem = TPortPlace::RuntimeDirProblem(RuntimeDir); !Problem.isEmpty()) {
        RuntimeDir.clear();
        if (Note != nullptr)
            *Note = Problem;
    }
    if (UnderTmp != nullptr)
        *UnderTmp = !RuntimeDir.startsWith('/');
    return TPortPlace::PerUserFolderPath(RuntimeDir, TmpRoot());
}

QString Joined(const QString &First, const QString &Second)
{
    return First.isEmpty() ? Second : First + QStringLiteral("; ") + Second;
}

// Anyone can make a name in the shared temporary folder before us. When what stands at the
// per-user folder's name is not a private folder of ours, it is left alone and this process's
// ports go into a fresh folder of its own beside it, all of them into the same one. Path becomes
// the folder used, and Note says why it is not the usual one.
TUniqueFd OpenFolderUnderTmp(QString &Path, QString &Note, QString &Error)
{
    TSharedTmp &Shared = SharedTmp();
    std::lock_guard Guard(Shared.Mutex);
    if (Shared.Taken == Path) {
        // The fresh folder goes with its last port; under its own name it is made again, unless
        // someone has taken that name meanwhile.
        TUniqueFd Folder = TPortPlace::OpenPerUserFolder(Shared.Fresh, Error);
        if (Folder.Valid()) {
            Note = Joined(Note, Shared.WhyTaken);
            Path = Shared.Fresh;
            return Folder;
        }
    } else {
        TUniqueFd Folder = TPortPlace::OpenPerUserFolder(Path, Error);
        if (Folder.Valid())
            return Folder;
        Shared.WhyTaken = Error;
    }
    QByteArray Template = QFile::encodeName(Path + QLatin1String(FreshFolderSuffix));
    if (::mkdtemp(Template.data()) == nullptr) {
        Error = Joined(
            Shared.WhyTaken,
            SystemErrorText(QStringLiteral("creating a private port folder beside %1").arg(Path),
                            errno));
        return {};
    }
    const QString Fresh = QFile::decodeName(Template);
    TUniqueFd Folder = TPortPlace::OpenPerUserFolder(Fresh, Error);
    if (!Folder.Valid())
        return {};
    Shared.Taken = Path;
    Shared.Fresh = Fresh;
    Note = Joined(Note, Shared.WhyTaken);
    Path = Fresh;
    return Folder;
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
        bool UnderTmp = false;
        QString FolderText = PerUserFolderHere(&Note, &UnderTmp);
        TUniqueFd Folder = UnderTmp ? OpenFolderUnderTmp(FolderText, Note, Error)
                                    : OpenPerUserFolder(FolderText, Error);
        if (!Folder.Valid())
            return std::nullopt;
        Error.clear();
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

QString TPortPlace::Printable(const QString &Name)
{
    QString Text;
    ForEachCode(Name, [&Text](char32_t Code) {
        if (RefusedKind(Code) == nullptr) {
            Text += QStringView(QChar::fromUcs4(Code));
            return;
        }
        switch (Code) {
        case U'\n':
            Text += QLatin1String("\\n");
            return;
        case U'\r':
            Text += QLatin1String("\\r");
            return;
        case U'\t':
            Text += QLatin1String("\\t");
            return;
        default:
            break;
        }
        const auto Hex = [Code](const char *Prefix, int Digits) {
            return QLatin1String(Prefix) +
                   QString::number(Code, 16).rightJustified(Digits, QLatin1Char('0'));
        };
        Text += Code < 0x100 ? Hex("\\x", 2) : Code < 0x10000 ? Hex("\\u", 4) : Hex("\\U", 8);
    });
    return Text;
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
    return PerUserFolderHere(Note, nullptr);
}

void TPortPlace::SetTmpRoot(const QString &Root)
{
    TSharedTmp &Shared = SharedTmp();
    std::lock_guard Guard(Shared.Mutex);
    Shared.Root = Root;
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
