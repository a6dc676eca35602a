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

constexpr char kRuntimeFolderName[] = "velmor-debug";
constexpr char kTmpFolderPrefix[] = "velmor-debug-";
constexpr char kSharedTmpRoot[] = "/tmp";
constexpr char kFreshFolderSuffix[] = "-XXXXXX";
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Default_Ignorable_Code_Point, as Unicode 15.0's DerivedCoreProperties.txt lists it: characters
// that text shows as nothing at all, so that a name holding one looks exactly like the name
// without it.
struct TCodeRange {
    char32_t First;
    char32_t Last;
};
constexpr TCodeRange kDefaultIgnorable[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x200B, 0x200F},   {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};
// Letters and symbols that are drawn as an empty cell: the Hangul fillers and the blank Braille
// pattern.
constexpr char32_t kBlankFillers[] = {0x115F, 0x1160, 0x3164, 0xFFA0, 0x2800};

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
    const QChar::Category kind = QChar::category(Code);
    // A line break or an escape sequence in a file name only serves to mislead whoever lists the
    // folder later.
    if (kind == QChar::Other_Control)
        return "a control character";
    if (std::find(std::begin(kBlankFillers), std::end(kBlankFillers), Code) !=
        std::end(kBlankFillers))
        return "a blank filler character";
    // Invisible characters, and those that reorder the text (a right-to-left override), make one
    // name look like another.
    if (kind == QChar::Other_Format ||
        IsIn(Code, std::begin(kDefaultIgnorable), std::end(kDefaultIgnorable)))
        return "an invisible formatting character";
    if (kind == QChar::Separator_Space && Code != U' ')
        return "a space other than the plain space";
    if (kind == QChar::Separator_Line || kind == QChar::Separator_Paragraph)
        return "a line or paragraph separator";
    // Neither has a look that everybody sees: one unassigned may yet become invisible, and a
    // private-use one is whatever the font makes of it.
    if (kind == QChar::Other_NotAssigned)
        return "a character not assigned in Unicode";
    if (kind == QChar::Other_PrivateUse)
        return "a private-use character";
    if (kind == QChar::Other_Surrogate)
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
    for (qsizetype at = 0; at < Name.size(); ++at) {
        const QChar unit = Name[at];
        if (unit.isHighSurrogate() && at + 1 < Name.size() && Name[at + 1].isLowSurrogate()) {
            Visit(QChar::surrogateToUcs4(unit, Name[at + 1]));
            ++at;
        } else {
            Visit(char32_t(unit.unicode()));
        }
    }
}

// Empty when the name may be used; else why not.
QString NameProblem(const QString &Name)
{
    if (Name.isEmpty())
        return QStringLiteral("the port name is empty");
    if (Name.size() > TPortPlace::kMaxNameLength)
        return QStringLiteral("the port name is longer than %1 characters")
            .arg(TPortPlace::kMaxNameLength);
    if (!Name.isValidUtf16())
        return QStringLiteral("the port name is not valid Unicode");
    QString problem;
    ForEachCode(Name, [&problem](char32_t Code) {
        if (const char *kind = RefusedKind(Code); kind != nullptr && problem.isEmpty())
            problem = QStringLiteral("%1 (%2) is not allowed in a port name")
                          .arg(CodeText(Code), QLatin1String(kind));
    });
    if (!problem.isEmpty())
        return problem;
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
    QString Root = QString::fromLatin1(kSharedTmpRoot);
    // The per-user folder that was not ours, why not, and the folder used instead.
    QString Taken;
    QString WhyTaken;
    QString Fresh;
};

TSharedTmp &SharedTmp()
{
    static auto *shared = new TSharedTmp;
    return *shared;
}

QString TmpRoot()
{
    TSharedTmp &shared = SharedTmp();
    std::lock_guard guard(shared.Mutex);
    return shared.Root;
}

// The per-user folder for this environment; Note says why the runtime folder was refused, and
// UnderTmp whether the folder is the one in the shared temporary folder.
QString PerUserFolderHere(QString *Note, bool *UnderTmp)
{
    QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (const QString problem = TPortPlace::RuntimeDirProblem(runtimeDir); !problem.isEmpty()) {
        runtimeDir.clear();
        if (Note != nullptr)
            *Note = problem;
    }
    if (UnderTmp != nullptr)
        *UnderTmp = !runtimeDir.startsWith('/');
    return TPortPlace::PerUserFolderPath(runtimeDir, TmpRoot());
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
    TSharedTmp &shared = SharedTmp();
    std::lock_guard guard(shared.Mutex);
    if (shared.Taken == Path) {
        // The fresh folder goes with its last port; under its own name it is made again, unless
        // someone has taken that name meanwhile.
        TUniqueFd folder = TPortPlace::OpenPerUserFolder(shared.Fresh, Error);
        if (folder.Valid()) {
            Note = Joined(Note, shared.WhyTaken);
            Path = shared.Fresh;
            return folder;
        }
    } else {
        TUniqueFd folder = TPortPlace::OpenPerUserFolder(Path, Error);
        if (folder.Valid())
            return folder;
        shared.WhyTaken = Error;
    }
    QByteArray freshTemplate = QFile::encodeName(Path + QLatin1String(kFreshFolderSuffix));
    if (::mkdtemp(freshTemplate.data()) == nullptr) {
        Error = Joined(
            shared.WhyTaken,
            SystemErrorText(QStringLiteral("creating a private port folder beside %1").arg(Path),
                            errno));
        return {};
    }
    const QString fresh = QFile::decodeName(freshTemplate);
    TUniqueFd folder = TPortPlace::OpenPerUserFolder(fresh, Error);
    if (!folder.Valid())
        return {};
    shared.Taken = Path;
    shared.Fresh = fresh;
    Note = Joined(Note, shared.WhyTaken);
    Path = fresh;
    return folder;
}

bool IsUsableFileName(const QString &Entry)
{
    return !Entry.isEmpty() && Entry != QLatin1String(".") && Entry != QLatin1String("..");
}

} // namespace

TPortPlace::TPortPlace(TUniqueFd Folder, QString FolderText, QByteArray EntryName, QString FullPath)
    : FFolder(std::move(Folder)), FFolderText(std::move(FolderText)),
      FEntryName(std::move(EntryName)), FFullPath(std::move(FullPath))
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
        QString note;
        bool underTmp = false;
        QString folderText = PerUserFolderHere(&note, &underTmp);
        TUniqueFd folder = underTmp ? OpenFolderUnderTmp(folderText, note, Error)
                                    : OpenPerUserFolder(folderText, Error);
        if (!folder.Valid())
            return std::nullopt;
        Error.clear();
        const qsizetype slash = folderText.lastIndexOf(QLatin1Char('/'));
        TUniqueFd parent(
            ::open(QFile::encodeName(slash == 0 ? QStringLiteral("/") : folderText.left(slash))
                       .constData(),
                   O_PATH | O_DIRECTORY | O_CLOEXEC));
        TPortPlace place(std::move(folder), folderText, QFile::encodeName(Name),
                         folderText + QLatin1Char('/') + Name);
        place.FParent = std::move(parent);
        place.FFolderName = QFile::encodeName(folderText.mid(slash + 1));
        if (!note.isEmpty())
            place.FNoteText = QStringLiteral("%1; the port is in %2 instead").arg(note, folderText);
        return place;
    }

    const qsizetype slash = Name.lastIndexOf(QLatin1Char('/'));
    const QString entry = Name.mid(slash + 1);
    if (!IsUsableFileName(entry)) {
        Error = QStringLiteral("the port path %1 does not end in a file name").arg(Name);
        return std::nullopt;
    }
    const QString folderText = slash == 0 ? QStringLiteral("/") : Name.left(slash);
    // The folder is the user's choice, symlinks on the way included; only the link's own
    // name is handled without following anything.
    TUniqueFd folder(
        ::open(QFile::encodeName(folderText).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening the folder %1").arg(folderText), errno);
        return std::nullopt;
    }
    struct stat info = {};
    if (::fstat(folder.Get(), &info) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the folder %1").arg(folderText), errno);
        return std::nullopt;
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        Error = QStringLiteral("the folder %1 belongs to another user, who could replace the "
                               "port's link")
                    .arg(folderText);
        return std::nullopt;
    }
    if ((info.st_mode & kWritableByOthers) != 0 && (info.st_mode & S_ISVTX) == 0) {
        Error = QStringLiteral("the folder %1 is writable by other users and not sticky (as "
                               "/tmp is): they could replace the port's link")
                    .arg(folderText);
        return std::nullopt;
    }
    return TPortPlace(std::move(folder), folderText, QFile::encodeName(entry), Name);
}

QString TPortPlace::Printable(const QString &Name)
{
    QString text;
    ForEachCode(Name, [&text](char32_t Code) {
        if (RefusedKind(Code) == nullptr) {
            text += QStringView(QChar::fromUcs4(Code));
            return;
        }
        switch (Code) {
        case U'\n':
            text += QLatin1String("\\n");
            return;
        case U'\r':
            text += QLatin1String("\\r");
            return;
        case U'\t':
            text += QLatin1String("\\t");
            return;
        default:
            break;
        }
        const auto hex = [Code](const char *Prefix, int Digits) {
            return QLatin1String(Prefix) +
                   QString::number(Code, 16).rightJustified(Digits, QLatin1Char('0'));
        };
        text += Code < 0x100 ? hex("\\x", 2) : Code < 0x10000 ? hex("\\u", 4) : hex("\\U", 8);
    });
    return text;
}

QString TPortPlace::PerUserFolderPath(const QByteArray &RuntimeDir, const QString &TmpRoot)
{
    // A relative XDG_RUNTIME_DIR is invalid and must be ignored.
    if (RuntimeDir.startsWith('/')) {
        QString base = QFile::decodeName(RuntimeDir);
        while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
            base.chop(1);
        if (base == QLatin1String("/"))
            base.clear();
        return base + QLatin1Char('/') + QLatin1String(kRuntimeFolderName);
    }
    return TmpRoot + QLatin1Char('/') + QLatin1String(kTmpFolderPrefix) +
           QString::number(::geteuid());
}

TUniqueFd TPortPlace::OpenPerUserFolder(const QString &Path, QString &Error)
{
    const QByteArray encoded = QFile::encodeName(Path);
    if (::mkdir(encoded.constData(), kPrivateFolderMode) != 0 && errno != EEXIST) {
        Error = SystemErrorText(QStringLiteral("creating the port folder %1").arg(Path), errno);
        return {};
    }
    // O_NOFOLLOW: in a shared /tmp someone else may have put a link to a folder of theirs
    // under our folder's name.
    TUniqueFd folder(::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.Valid()) {
        if (errno == ELOOP || errno == ENOTDIR)
            Error = QStringLiteral("the port folder %1 is not a folder").arg(Path);
        else
            Error = SystemErrorText(QStringLiteral("opening the port folder %1").arg(Path), errno);
        return {};
    }
    struct stat info = {};
    if (::fstat(folder.Get(), &info) != 0) {
        Error = SystemErrorText(QStringLiteral("checking the port folder %1").arg(Path), errno);
        return {};
    }
    if (info.st_uid != ::geteuid()) {
        Error = QStringLiteral("the port folder %1 belongs to another user").arg(Path);
        return {};
    }
    if ((info.st_mode & kWritableByOthers) != 0) {
        Error = QStringLiteral("the port folder %1 is writable by other users").arg(Path);
        return {};
    }
    return folder;
}

QString TPortPlace::CurrentPerUserFolder(QString *Note)
{
    return PerUserFolderHere(Note, nullptr);
}

void TPortPlace::SetTmpRoot(const QString &Root)
{
    TSharedTmp &shared = SharedTmp();
    std::lock_guard guard(shared.Mutex);
    shared.Root = Root;
}

QString TPortPlace::RuntimeDirProblem(const QByteArray &RuntimeDir)
{
    struct stat info = {};
    if (!RuntimeDir.startsWith('/') || ::stat(RuntimeDir.constData(), &info) != 0)
        return {};
    const QString path = QFile::decodeName(RuntimeDir);
    if (info.st_uid != ::geteuid())
        return QStringLiteral("the runtime folder %1 (XDG_RUNTIME_DIR) belongs to another user")
            .arg(path);
    if ((info.st_mode & kWritableByOthers) != 0)
        return QStringLiteral("the runtime folder %1 (XDG_RUNTIME_DIR) is writable by other users")
            .arg(path);
    return {};
}

void TPortPlace::RemoveOwnFolderIfEmpty() const
{
    if (!FParent.Valid() || FFolderName.isEmpty())
        return;
    struct stat open = {};
    struct stat named = {};
    if (::fstat(FFolder.Get(), &open) == 0 &&
        ::fstatat(FParent.Get(), FFolderName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        open.st_dev == named.st_dev && open.st_ino == named.st_ino)
        // Fails harmlessly while another port of the user's is still in it.
        ::unlinkat(FParent.Get(), FFolderName.constData(), AT_REMOVEDIR);
}
