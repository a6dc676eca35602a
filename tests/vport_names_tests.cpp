// Names the control must refuse, and the places it must not touch. Each case runs against a
// folder that the test fills with files, folders and links of "other people"; afterwards every
// one of them must be as it was, and nothing may be left that the control made.
#include "vport/PortPlace.h"
#include "vport/VSPortLib_TLB.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace
{

constexpr uid_t OtherUser = 65534;
constexpr char PortFolderName[] = "velmor-debug";

// One line per entry under Root: everything that a change to it would show, except a folder's
// times (creating and removing our own link in a folder is allowed to touch those).
using TSnapshot = QMap<QString, QString>;

TSnapshot Snapshot(const QString &Root)
{
    TSnapshot Entries;
    QDirIterator It(Root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (It.hasNext()) {
        const QString Path = It.next();
        struct stat Info = {};
        if (::lstat(QFile::encodeName(Path).constData(), &Info) != 0) {
            Entries.insert(Path, QStringLiteral("vanished"));
            continue;
        }
        QString Line = QStringLiteral("mode %1 uid %2 inode %3")
                           .arg(Info.st_mode, 0, 8)
                           .arg(Info.st_uid)
                           .arg(Info.st_ino);
        if (S_ISLNK(Info.st_mode)) {
            Line += QStringLiteral(" -> ") + QFileInfo(Path).symLinkTarget();
            char Raw[PATH_MAX];
            const ssize_t Size = ::readlink(QFile::encodeName(Path).constData(), Raw, sizeof(Raw));
            Line += QStringLiteral(" raw ") + QString::fromLocal8Bit(Raw, Size);
        } else if (S_ISREG(Info.st_mode)) {
            QFile File(Path);
            File.open(QIODevice::ReadOnly);
            Line += QStringLiteral(" size %1 mtime %2.%3 sha %4")
                        .arg(Info.st_size)
                        .arg(Info.st_mtim.tv_sec)
                        .arg(Info.st_mtim.tv_nsec)
                        .arg(QString::fromLatin1(
                            QCryptographicHash::hash(File.readAll(), QCryptographicHash::Sha256)
                                .toHex()));
        }
        Entries.insert(Path, Line);
    }
    return Entries;
}

// Differences between two snapshots, as text for the failure message; "" when none. The port
// folder under the runtime folder may have been made by the control: it is the one thing
// allowed to be new, and only while empty.
QString Differences(const TSnapshot &Before, const TSnapshot &After, const QString &MayMake)
{
    QString Text;
    for (auto It = Before.cbegin(); It != Before.cend(); ++It) {
        if (!After.contains(It.key()))
            Text += QStringLiteral("removed: %1\n").arg(It.key());
        else if (After.value(It.key()) != It.value())
            Text += QStringLiteral("changed: %1\n  was %2\n  now %3\n")
                        .arg(It.key(), It.value(), After.value(It.key()));
    }
    for (auto It = After.cbegin(); It != After.cend(); ++It)
        if (!Before.contains(It.key()) && It.key() != MayMake)
            Text += QStringLiteral("left behind: %1 (%2)\n").arg(It.key(), It.value());
    return Text;
}

bool WriteFile(const QString &Path, const QByteArray &Bytes)
{
    QFile File(Path);
    return File.open(QIODevice::WriteOnly) && File.write(Bytes) == Bytes.size();
}

bool MakeLink(const QString &Target, const QString &Path)
{
    return ::symlink(QFile::encodeName(Target).constData(), QFile::encodeName(Path).constData()) ==
           0;
}

// Opens the port as an application would and sees one byte through. The control then gives the
// port a fresh pair (a new link and lock record); the last call waits for that, so that the
// folder stays still for whoever looks at it next.
bool PortWorks(TVSPortAx &Port)
{
    const int Fd = ::open(QFile::encodeName(Port.PortPath()).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return false;
    bool Ok = Port.PortOpened() && Port.Write("x", 1) == 1;
    char Got = 0;
    for (int Round = 0; Ok && Round < 10000 && ::read(Fd, &Got, 1) != 1; ++Round)
        ::usleep(1000);
    ::close(Fd);
    Port.PortOpened();
    return Ok && Got == 'x';
}

class VPortNames : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Temp.isValid());
        Root = Temp.path();
        QDir Dir(Root);
        ASSERT_TRUE(Dir.mkpath(QStringLiteral("run")));
        ASSERT_TRUE(Dir.mkpath(QStringLiteral("ports/folder")));
        ASSERT_TRUE(Dir.mkpath(QStringLiteral("cwd/sub")));
        RuntimeDir = Root + QStringLiteral("/run");
        ASSERT_EQ(::chmod(QFile::encodeName(RuntimeDir).constData(), 0700), 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir));
        PortFolder = RuntimeDir + QLatin1Char('/') + QLatin1String(PortFolderName);
        Ports = Root + QStringLiteral("/ports");

        ASSERT_TRUE(WriteFile(Ports + QStringLiteral("/file"), "precious"));
        ASSERT_TRUE(MakeLink(Ports + QStringLiteral("/file"), Ports + QStringLiteral("/link")));
        ASSERT_TRUE(MakeLink(QStringLiteral("nowhere"), Ports + QStringLiteral("/dangling")));
        // A link to a pty that another program made: no lock file of ours beside it.
        ASSERT_TRUE(MakeLink(QStringLiteral("/dev/pts/0"), Ports + QStringLiteral("/ptylink")));
        // A file of the user's that happens to have a lock file's name.
        ASSERT_TRUE(WriteFile(Ports + QStringLiteral("/.mine.lock"), "the user's notes"));
        // A lock file's name taken by a link, and by a FIFO (which must not hang the control).
        ASSERT_TRUE(
            MakeLink(Ports + QStringLiteral("/file"), Ports + QStringLiteral("/.linked.lock")));
        ASSERT_EQ(
            ::mkfifo(QFile::encodeName(Ports + QStringLiteral("/.fifo.lock")).constData(), 0600),
            0);

        ASSERT_EQ(::getcwd(OldCwd, sizeof(OldCwd)), OldCwd);
        ASSERT_EQ(::chdir(QFile::encodeName(Root + QStringLiteral("/cwd/sub")).constData()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(::chdir(OldCwd), 0);
        qputenv("XDG_RUNTIME_DIR", OldRuntimeDir);
        TPortPlace::SetTmpRoot(QStringLiteral("/tmp"));
    }

    // The name must be refused, with a reason, and change nothing at all.
    void ExpectRefused(const QString &Name)
    {
        const TSnapshot Before = Snapshot(Root);
        TVSPortAx Port;
        EXPECT_FALSE(Port.CreatePort(Name)) << "created " << Port.PortPath().toStdString();
        EXPECT_FALSE(Port.LastError().isEmpty());
        EXPECT_FALSE(Port.PortCreated());
        EXPECT_EQ(Port.PortPath(), QString());
        EXPECT_TRUE(Port.Delete());
        EXPECT_TRUE(Port.ResetBus());
        const QString Changes = Differences(Before, Snapshot(Root), PortFolder);
        EXPECT_TRUE(Changes.isEmpty()) << Changes.toStdString();
    }

    // The name must give a working port exactly at Path, and Delete must leave the folder as
    // it was.
    void ExpectCreatedAt(const QString &Name, const QString &Path)
    {
        const TSnapshot Before = Snapshot(Root);
        TVSPortAx Port;
        ASSERT_TRUE(Port.CreatePort(Name)) << Port.LastError().toStdString();
        EXPECT_EQ(Port.PortPath(), Path);
        EXPECT_TRUE(QFileInfo(Path).isSymLink());
        EXPECT_TRUE(QFileInfo(Path).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));
        EXPECT_TRUE(PortWorks(Port));
        EXPECT_TRUE(Port.Delete());
        const QString Changes = Differences(Before, Snapshot(Root), PortFolder);
        EXPECT_TRUE(Changes.isEmpty()) << Changes.toStdString();
    }

    const QByteArray OldRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir Temp;
    QString Root;
    QString RuntimeDir;
    QString PortFolder;
    QString Ports;
    char OldCwd[PATH_MAX] = {};
};

// --- Names ------------------------------------------------------------------------------------

TEST_F(VPortNames, EmptyIsRefused)
{
    ExpectRefused(QString());
}

TEST_F(VPortNames, LengthCountsTheNameAsGivenAndNeverCutsIt)
{
    ExpectCreatedAt(QString(127, QLatin1Char('a')),
                    PortFolder + QLatin1Char('/') + QString(127, QLatin1Char('a')));
    ExpectRefused(QString(128, QLatin1Char('a')));
    ExpectRefused(QString(1000, QLatin1Char('a')));

    QString FullPath = Ports + QLatin1Char('/');
    FullPath += QString(127 - FullPath.size(), QLatin1Char('p'));
    ExpectCreatedAt(FullPath, FullPath);
    ExpectRefused(FullPath + QLatin1Char('p'));
}

TEST_F(VPortNames, RelativePathsAndDotNamesAreRefused)
{
    ExpectRefused(QStringLiteral("../x"));
    ExpectRefused(QStringLiteral("sub/x"));
    ExpectRefused(QStringLiteral(".."));
    ExpectRefused(QStringLiteral("."));
    ExpectRefused(QStringLiteral("/"));
    ExpectRefused(Ports + QStringLiteral("/."));
    ExpectRefused(Ports + QStringLiteral("/.."));
    ExpectRefused(Ports + QStringLiteral("/folder/"));
}

TEST_F(VPortNames, ControlCharactersAndBrokenUnicodeAreRefused)
{
    ExpectRefused(QStringLiteral("a\nb"));
    ExpectRefused(QStringLiteral("tty\n"));
    ExpectRefused(QStringLiteral("a\tb"));
    ExpectRefused(QStringLiteral("a") + QChar(0) + QStringLiteral("b"));
    ExpectRefused(Ports + QStringLiteral("/new\nline"));
    ExpectRefused(QStringLiteral("lone") + QChar(0xD800));
}

TEST_F(VPortNames, InvisibleAndBlankLookingCharactersAreRefusedByCodePointAndNamed)
{
    // Each makes a name look like another: invisible, reordering, blank or space-like
    // characters, those outside the Basic Multilingual Plane included, and characters whose
    // look nobody can know (unassigned, private use).
    for (const char32_t Refused :
         {U'\u202e',         U'\u200b',         U'\u2028',         U'\u2029',
          U'\u00ad',         U'\u034f',         U'\u115f',         U'\u1160',
          U'\u3164',         U'\uffa0',         U'\u2800',         U'\ufeff',
          U'\u00a0',         U'\u3000',         U'\ufe0f',         char32_t(0xE0001),
          char32_t(0xE0100), char32_t(0x1D173), char32_t(0x1BCA0), char32_t(0x0378),
          char32_t(0xE000),  char32_t(0x10FFFD)}) {
        const QString Char = QStringView(QChar::fromUcs4(Refused)).toString();
        const QString Code = QStringLiteral("U+%1").arg(
            QString::number(Refused, 16).toUpper().rightJustified(4, QLatin1Char('0')));
        SCOPED_TRACE(Code.toStdString());
        ExpectRefused(QStringLiteral("COM8") + Char);
        ExpectRefused(Char + QStringLiteral("COM8"));
        ExpectRefused(Ports + QStringLiteral("/tty") + Char);
        TVSPortAx Port;
        EXPECT_FALSE(Port.CreatePort(QStringLiteral("COM") + Char + QStringLiteral("8")));
        EXPECT_TRUE(Port.LastError().contains(Code)) << Port.LastError().toStdString();
    }
    // The plain space and visible characters outside the Basic Multilingual Plane stay allowed.
    for (const QString &Allowed : {QStringLiteral("Port 1"), QStringLiteral("COM\U0001F600")})
        ExpectCreatedAt(Allowed, PortFolder + QLatin1Char('/') + Allowed);
}

TEST_F(VPortNames, NonAsciiNamesAreTakenExactly)
{
    const QString Plain = QStringLiteral("Port-\u00e4\u00f6\u00fc-\u7aef\u53e3");
    ExpectCreatedAt(Plain, PortFolder + QLatin1Char('/') + Plain);
    const QString Full = Ports + QStringLiteral("/\u00fcber");
    ExpectCreatedAt(Full, Full);
    // 127 characters, but 381 bytes: more than a file name may have. Refused, not shortened.
    ExpectRefused(QString(127, QChar(0x7aef)));
}

// --- What is already there --------------------------------------------------------------------

TEST_F(VPortNames, ExistingFilesFoldersAndForeignLinksAreNeverReplaced)
{
    ExpectRefused(Ports + QStringLiteral("/file"));
    ExpectRefused(Ports + QStringLiteral("/folder"));
    ExpectRefused(Ports + QStringLiteral("/link"));
    ExpectRefused(Ports + QStringLiteral("/dangling"));
    ExpectRefused(Ports + QStringLiteral("/ptylink"));
    ExpectRefused(Root + QStringLiteral("/missing/x"));
}

TEST_F(VPortNames, FilesInTheLockFilesPlaceAreNeverTakenOver)
{
    ExpectRefused(Ports + QStringLiteral("/mine"));
    ExpectRefused(Ports + QStringLiteral("/linked"));
    ExpectRefused(Ports + QStringLiteral("/fifo"));
}

TEST_F(VPortNames, ALivePortOfAnotherControlIsNeverTakenOver)
{
    const QString Live = Ports + QStringLiteral("/live");
    TVSPortAx Owner;
    ASSERT_TRUE(Owner.CreatePort(Live));
    ExpectRefused(Live);
    EXPECT_TRUE(Owner.PortCreated());
    EXPECT_TRUE(PortWorks(Owner));

    // The same by a plain name in the per-user folder.
    TVSPortAx PlainOwner;
    ASSERT_TRUE(PlainOwner.CreatePort(QStringLiteral("shared")));
    ExpectRefused(QStringLiteral("shared"));
    EXPECT_TRUE(PlainOwner.PortCreated());
    EXPECT_TRUE(PortWorks(PlainOwner));
}

TEST_F(VPortNames, ALeftOverOfOursIsTakenOver)
{
    const QString Path = Ports + QStringLiteral("/old");
    {
        TVSPortAx Gone;
        ASSERT_TRUE(Gone.CreatePort(Path));
    }
    ASSERT_TRUE(QFileInfo(Path).isSymLink());
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(Path)) << Port.LastError().toStdString();
    EXPECT_TRUE(PortWorks(Port));
    EXPECT_TRUE(Port.Delete());
    EXPECT_FALSE(QFileInfo::exists(Path) || QFileInfo(Path).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(Ports + QStringLiteral("/.old.lock")));
}

TEST_F(VPortNames, ALinkAnotherProgramMadeWhereALeftOverWasIsNeverTakenOver)
{
    // Our left-over, as after kill -9: the link and its unheld lock file.
    const QString Path = Ports + QStringLiteral("/shared");
    {
        TVSPortAx Gone;
        ASSERT_TRUE(Gone.CreatePort(Path));
    }
    ASSERT_TRUE(QFileInfo::exists(Ports + QStringLiteral("/.shared.lock")));
    // Another program (socat, say) then made its own link there, to a live pty of its own.
    const int Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(Master, 0);
    ASSERT_EQ(::grantpt(Master), 0);
    ASSERT_EQ(::unlockpt(Master), 0);
    ASSERT_TRUE(QFile::remove(Path));
    ASSERT_TRUE(MakeLink(QString::fromLatin1(::ptsname(Master)), Path));

    ExpectRefused(Path);
    ::close(Master);
}

// --- The per-user folder ----------------------------------------------------------------------

TEST_F(VPortNames, PerUserFolderIsUnderTheRuntimeDirOrAPrivateOneUnderTmp)
{
    EXPECT_EQ(TPortPlace::PerUserFolderPath("/run/user/1000", QStringLiteral("/tmp")),
              QStringLiteral("/run/user/1000/velmor-debug"));
    EXPECT_EQ(TPortPlace::PerUserFolderPath("/run/user/1000/", QStringLiteral("/tmp")),
              QStringLiteral("/run/user/1000/velmor-debug"));
    const QString Private = QStringLiteral("/tmp/velmor-debug-%1").arg(::geteuid());
    EXPECT_EQ(TPortPlace::PerUserFolderPath(QByteArray(), QStringLiteral("/tmp")), Private);
    EXPECT_EQ(TPortPlace::PerUserFolderPath("relative/dir", QStringLiteral("/tmp")), Private)
        << "a relative XDG_RUNTIME_DIR is to be ignored";

    // The fallback made under a root of the test's own instead of /tmp.
    const QString Made = TPortPlace::PerUserFolderPath(QByteArray(), Root);
    QString Error;
    EXPECT_TRUE(TPortPlace::OpenPerUserFolder(Made, Error).Valid()) << Error.toStdString();
    struct stat Info = {};
    ASSERT_EQ(::lstat(QFile::encodeName(Made).constData(), &Info), 0);
    EXPECT_TRUE(S_ISDIR(Info.st_mode));
    EXPECT_EQ(Info.st_mode & 0777, 0700u);
}

TEST_F(VPortNames, APerUserFolderOthersCanWriteToIsRefused)
{
    ASSERT_TRUE(QDir().mkpath(PortFolder));
    ASSERT_EQ(::chmod(QFile::encodeName(PortFolder).constData(), 0777), 0);
    ExpectRefused(QStringLiteral("ttyV0"));
    ASSERT_EQ(::chmod(QFile::encodeName(PortFolder).constData(), 0720), 0);
    ExpectRefused(QStringLiteral("ttyV0"));
}

TEST_F(VPortNames, ARuntimeFolderOthersCanWriteToIsNotUsed)
{
    // Another user could rename the port folder away and put one of theirs in its place.
    ASSERT_EQ(::chmod(QFile::encodeName(RuntimeDir).constData(), 0777), 0);
    const QString Private = QStringLiteral("/tmp/velmor-debug-%1").arg(::geteuid());
    const TSnapshot Before = Snapshot(Root);
    {
        TVSPortAx Port;
        Port.SetDeleteOnExit(true);
        ASSERT_TRUE(Port.CreatePort(QStringLiteral("ttyVsafe"))) << Port.LastError().toStdString();
        EXPECT_EQ(Port.PortPath(), Private + QStringLiteral("/ttyVsafe"));
        EXPECT_TRUE(PortWorks(Port));
        // The panel shows this as the status's tooltip.
        EXPECT_TRUE(Port.LastError().contains(RuntimeDir)) << Port.LastError().toStdString();
        EXPECT_TRUE(Port.LastError().contains(QStringLiteral("writable by other users")));
    }
    const QString Changes = Differences(Before, Snapshot(Root), QString());
    EXPECT_TRUE(Changes.isEmpty()) << Changes.toStdString();
    EXPECT_FALSE(QFileInfo::exists(Private + QStringLiteral("/ttyVsafe")));
}

TEST_F(VPortNames, AFullPathInAFolderOthersCanWriteToIsRefusedUnlessItIsSticky)
{
    const QString Open = Ports + QStringLiteral("/open");
    ASSERT_TRUE(QDir().mkpath(Open));
    ASSERT_EQ(::chmod(QFile::encodeName(Open).constData(), 0777), 0);
    ExpectRefused(Open + QStringLiteral("/ttyV0"));
    TVSPortAx Port;
    EXPECT_FALSE(Port.CreatePort(Open + QStringLiteral("/ttyV0")));
    EXPECT_TRUE(Port.LastError().contains(QStringLiteral("writable by other users")))
        << Port.LastError().toStdString();

    ASSERT_EQ(::chmod(QFile::encodeName(Open).constData(), 01777), 0);
    ExpectCreatedAt(Open + QStringLiteral("/ttyV0"), Open + QStringLiteral("/ttyV0"));
}

TEST_F(VPortNames, APerUserFolderOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the test's folder to another user";
    ASSERT_TRUE(QDir().mkpath(PortFolder));
    ASSERT_EQ(::chmod(QFile::encodeName(PortFolder).constData(), 0700), 0);
    ASSERT_EQ(::chown(QFile::encodeName(PortFolder).constData(), OtherUser, OtherUser), 0);
    ExpectRefused(QStringLiteral("ttyV0"));
}

TEST_F(VPortNames, APerUserFolderThatIsALinkOrAFileIsRefused)
{
    ASSERT_TRUE(MakeLink(Ports + QStringLiteral("/folder"), PortFolder));
    ExpectRefused(QStringLiteral("ttyV0"));
    ASSERT_TRUE(QFile::remove(PortFolder));
    ASSERT_TRUE(WriteFile(PortFolder, "not a folder"));
    ExpectRefused(QStringLiteral("ttyV0"));
}

TEST_F(VPortNames, WhatOthersPutAtTheFolderNameUnderTmpIsLeftAloneAndAFreshFolderUsed)
{
    qunsetenv("XDG_RUNTIME_DIR");
    const QString Tmp = Root + QStringLiteral("/tmp");
    ASSERT_TRUE(QDir().mkpath(Tmp));
    ASSERT_EQ(::chmod(QFile::encodeName(Tmp).constData(), 01777), 0);
    TPortPlace::SetTmpRoot(Tmp);
    const QString Usual = TPortPlace::PerUserFolderPath(QByteArray(), Tmp);
    const QByteArray UsualBytes = QFile::encodeName(Usual);
    auto FolderWithMode = [&](mode_t Mode) {
        return ::mkdir(UsualBytes.constData(), 0700) == 0 &&
               ::chmod(UsualBytes.constData(), Mode) == 0;
    };
    const std::pair<const char *, std::function<bool()>> Squats[] = {
        {"a file", [&] { return WriteFile(Usual, "someone else's"); }},
        {"a link to a folder", [&] { return MakeLink(Ports + QStringLiteral("/folder"), Usual); }},
        {"a dangling link", [&] { return MakeLink(Root + QStringLiteral("/nowhere"), Usual); }},
        {"a folder anyone can write to", [&] { return FolderWithMode(0777); }},
        {"a folder its group can write to", [&] { return FolderWithMode(0770); }},
    };
    for (const auto &[What, Make] : Squats) {
        SCOPED_TRACE(What);
        ASSERT_TRUE(Make());
        const TSnapshot Before = Snapshot(Root);
        QString Fresh;
        {
            TVSPortAx First;
            TVSPortAx Second;
            First.SetDeleteOnExit(true);
            Second.SetDeleteOnExit(true);
            ASSERT_TRUE(First.CreatePort(QStringLiteral("ttyVone")))
                << First.LastError().toStdString();
            ASSERT_TRUE(Second.CreatePort(QStringLiteral("ttyVtwo")))
                << Second.LastError().toStdString();
            Fresh = QFileInfo(First.PortPath()).path();
            EXPECT_TRUE(Fresh.startsWith(Usual + QLatin1Char('-'))) << Fresh.toStdString();
            EXPECT_EQ(QFileInfo(Second.PortPath()).path(), Fresh) << "one folder for a process";
            struct stat Info = {};
            ASSERT_EQ(::lstat(QFile::encodeName(Fresh).constData(), &Info), 0);
            EXPECT_TRUE(S_ISDIR(Info.st_mode));
            EXPECT_EQ(Info.st_uid, ::geteuid());
            EXPECT_EQ(Info.st_mode & 0777, 0700u);
            EXPECT_TRUE(PortWorks(First));
            // The panel shows this as the status's tooltip, velmor-bridge on stderr.
            EXPECT_TRUE(First.LastError().contains(Fresh)) << First.LastError().toStdString();
        }
        EXPECT_FALSE(QFileInfo::exists(Fresh)) << "the fresh folder goes with its last port";
        const QString Changes = Differences(Before, Snapshot(Root), QString());
        EXPECT_TRUE(Changes.isEmpty()) << Changes.toStdString();
        ASSERT_EQ(::remove(UsualBytes.constData()), 0);
    }
}

TEST_F(VPortNames, AMissingRuntimeDirIsNotMade)
{
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(Root + QStringLiteral("/no-such-run")));
    ExpectRefused(QStringLiteral("ttyV0"));
    EXPECT_FALSE(QFileInfo::exists(Root + QStringLiteral("/no-such-run")));
}

} // namespace
