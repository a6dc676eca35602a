// The virtual port control against real clients: the tests open the port's link as a serial
// application does (O_NOCTTY, termios) and check what arrives on either side.
#include "vport/ClosedWrites.h"
#include "vport/VSPortLib_TLB.h"

#include "tests/PtyClient.h"
#include "tests/Wait.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace
{

using namespace std::chrono_literals;

constexpr char PortName[] = "ttyVTEST";
constexpr long ControlBufferSize = 4096;
constexpr std::size_t SlowReadSize = 512;
constexpr std::size_t StreamSize = 64 * 1024;
constexpr char SystemPython[] = "/usr/bin/python3";
constexpr char SetPriv[] = "/usr/bin/setpriv";
constexpr char OtherUserId[] = "65534";
constexpr char RenewedWhenNotRoot[] =
    "VPortControl.AnExclusivePortIsRenewedWhenTheControlIsNotRoot";

QByteArray AllByteValues()
{
    QByteArray Bytes(256, '\0');
    for (int Value = 0; Value < 256; ++Value)
        Bytes[Value] = static_cast<char>(Value);
    return Bytes;
}

QByteArray Pattern(std::size_t Size)
{
    QByteArray Bytes(static_cast<qsizetype>(Size), '\0');
    for (std::size_t I = 0; I < Size; ++I)
        Bytes[static_cast<qsizetype>(I)] = static_cast<char>((I * 7 + I / 251) & 0xFF);
    return Bytes;
}

using TClient = test::TPtyClient;

// What a client read, as the bytes the tests compare.
QByteArray AsBytes(const std::string &Read)
{
    return QByteArray::fromStdString(Read);
}

QByteArray ReadFromControl(IVSPortAx &Port, qsizetype Count)
{
    QByteArray Got;
    test::WaitUntil([&] {
        char Buffer[ControlBufferSize];
        long Capacity = ControlBufferSize;
        const long Now = Port.Read(Buffer, &Capacity);
        Got.append(Buffer, Now);
        return Got.size() >= Count;
    });
    return Got;
}

// Everything the control can still hand over after Count bytes were expected: nothing, if the
// control is right.
QByteArray ReadRestFromControl(IVSPortAx &Port)
{
    QByteArray Got;
    for (int Round = 0; Round < 50; ++Round) {
        char Buffer[ControlBufferSize];
        long Capacity = ControlBufferSize;
        Got.append(Buffer, Port.Read(Buffer, &Capacity));
        std::this_thread::sleep_for(1ms);
    }
    return Got;
}

long WriteToControl(IVSPortAx &Port, const QByteArray &Bytes)
{
    return Port.Write(Bytes.constData(), static_cast<long>(Bytes.size()));
}

// Runs Argv, with its output into OutputPath when given and Environment (or ours) as its
// environment; returns its wait status, or -1.
int RunProgram(const std::vector<QByteArray> &Argv, const QString &OutputPath = QString(),
               const std::vector<QByteArray> &Environment = {})
{
    std::vector<char *> Env;
    for (const QByteArray &Variable : Environment)
        Env.push_back(const_cast<char *>(Variable.constData()));
    Env.push_back(nullptr);
    std::vector<char *> Args;
    for (const QByteArray &Arg : Argv)
        Args.push_back(const_cast<char *>(Arg.constData()));
    Args.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    const QByteArray Output = QFile::encodeName(OutputPath);
    if (!OutputPath.isEmpty()) {
        posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, Output.constData(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&Actions, STDOUT_FILENO, STDERR_FILENO);
    }
    pid_t Pid = 0;
    const int Spawned = ::posix_spawn(&Pid, Args[0], &Actions, nullptr, Args.data(),
                                      Environment.empty() ? environ : Env.data());
    posix_spawn_file_actions_destroy(&Actions);
    if (Spawned != 0)
        return -1;
    int Status = -1;
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    return Status;
}

// A sanitizer's options as another user can use them: a suppressions file named there is copied
// into Folder, which that user can read, as the checkout may be in a folder only its owner enters.
QByteArray ReadableByOthers(const QByteArray &Variable, const QString &Folder)
{
    static const QByteArray Key = "suppressions=";
    const qsizetype At = Variable.indexOf(Key);
    if (!Variable.contains("SAN_OPTIONS=") || At < 0)
        return Variable;
    const qsizetype From = At + Key.size();
    qsizetype To = Variable.indexOf(':', From);
    if (To < 0)
        To = Variable.size();
    const QString File = QFile::decodeName(Variable.mid(From, To - From));
    const QString Copy = Folder + QLatin1Char('/') + QFileInfo(File).fileName();
    QFile::remove(Copy);
    if (!QFile::copy(File, Copy))
        return Variable;
    ::chmod(QFile::encodeName(Copy).constData(), 0644);
    return Variable.left(From) + QFile::encodeName(Copy) + Variable.mid(To);
}

bool Succeeded(int Status)
{
    return Status >= 0 && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

// The command line prefix that runs a program as an unprivileged user; empty when the test
// cannot do that.
std::vector<QByteArray> AsOtherUser()
{
    if (::geteuid() != 0 || ::access(SetPriv, X_OK) != 0)
        return {};
    return {SetPriv, QByteArray("--reuid=") + OtherUserId, QByteArray("--regid=") + OtherUserId,
            "--clear-groups"};
}

QStringList FolderEntries(const QString &Path)
{
    return QDir(Path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                QDir::NoDotAndDotDot);
}

class VPortControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Root.isValid());
        ASSERT_TRUE(QDir(Root.path()).mkdir(QStringLiteral("run")));
        RuntimeDir = Root.filePath(QStringLiteral("run"));
        ASSERT_EQ(::chmod(QFile::encodeName(RuntimeDir).constData(), 0700), 0);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir));
        PortFolder = RuntimeDir + QStringLiteral("/velmor-debug");
        ExpectedPath = PortFolder + QLatin1Char('/') + QLatin1String(PortName);
    }
    void TearDown() override { qputenv("XDG_RUNTIME_DIR", OldRuntimeDir); }

    // A control with its port in place and a client that has opened it.
    void CreateAndOpen(TVSPortAx &Port, std::unique_ptr<TClient> &Client,
                       TClient::TSetup Setup = TClient::TSetup::Raw)
    {
        ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName))) << Port.LastError().toStdString();
        ASSERT_EQ(Port.PortPath(), ExpectedPath);
        Client = std::make_unique<TClient>(Port.PortPath(), Setup);
        ASSERT_TRUE(Client->IsOpen()) << strerror(errno);
        ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    }

    const QByteArray OldRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir Root;
    QString RuntimeDir;
    QString PortFolder;
    QString ExpectedPath;
};

// --- Bytes both ways ---------------------------------------------------------------------

TEST_F(VPortControl, AllByteValuesPassUnchangedToAClientThatSetsNothing)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client, TClient::TSetup::None);

    const QByteArray Bytes = AllByteValues();
    EXPECT_EQ(WriteToControl(Port, Bytes), Bytes.size());
    EXPECT_EQ(AsBytes(Client->ReadExactly(Bytes.size())), Bytes);
    ASSERT_TRUE(Client->Write(Bytes.toStdString()));
    EXPECT_EQ(ReadFromControl(Port, Bytes.size()), Bytes);
    // No echo, no CR/LF expansion: nothing more than was sent on either side.
    EXPECT_EQ(ReadRestFromControl(Port), QByteArray());
    EXPECT_EQ(AsBytes(Client->ReadSome()), QByteArray());
}

TEST_F(VPortControl, AllByteValuesPassUnchangedToARawClient)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);

    QByteArray Bytes = AllByteValues();
    std::reverse(Bytes.begin(), Bytes.end());
    ASSERT_TRUE(Client->Write(Bytes.toStdString()));
    EXPECT_EQ(ReadFromControl(Port, Bytes.size()), Bytes);
    EXPECT_EQ(WriteToControl(Port, Bytes), Bytes.size());
    EXPECT_EQ(AsBytes(Client->ReadExactly(Bytes.size())), Bytes);
}

TEST_F(VPortControl, PythonSerialExchangesAllByteValues)
{
    const char *Probe[] = {SystemPython, "-c", "import serial", nullptr};
    pid_t ProbePid = 0;
    int ProbeStatus = 0;
    if (::access(SystemPython, X_OK) != 0 ||
        ::posix_spawn(&ProbePid, SystemPython, nullptr, nullptr, const_cast<char **>(Probe),
                      environ) != 0 ||
        ::waitpid(ProbePid, &ProbeStatus, 0) != ProbePid || !WIFEXITED(ProbeStatus) ||
        WEXITSTATUS(ProbeStatus) != 0)
        GTEST_SKIP() << SystemPython << " has no serial module (python3-serial)";

    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    const QByteArray Path = QFile::encodeName(Port.PortPath());
    const char *Script[] = {SystemPython, VPORT_SERIAL_CLIENT, Path.constData(), nullptr};
    pid_t Pid = 0;
    ASSERT_EQ(
        ::posix_spawn(&Pid, SystemPython, nullptr, nullptr, const_cast<char **>(Script), environ),
        0);

    // The client says when it is ready; bytes written before then would be dropped.
    EXPECT_EQ(ReadFromControl(Port, 1), QByteArray("R"));
    const QByteArray Bytes = AllByteValues();
    EXPECT_EQ(WriteToControl(Port, Bytes), Bytes.size());
    QByteArray Reversed = Bytes;
    std::reverse(Reversed.begin(), Reversed.end());
    EXPECT_EQ(ReadFromControl(Port, Reversed.size()), Reversed);
    EXPECT_EQ(WriteToControl(Port, QByteArray("Q")), 1);

    int Status = 0;
    ASSERT_TRUE(test::WaitUntil([&] { return ::waitpid(Pid, &Status, WNOHANG) == Pid; }));
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "client status " << Status;
    EXPECT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));
}

// --- Open state, settings and what one client leaves to the next -------------------------

TEST_F(VPortControl, PortOpenedIsTrueExactlyWhileAClientHoldsThePort)
{
    TVSPortAx Port;
    EXPECT_FALSE(Port.PortOpened()) << "no port at all";
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_FALSE(Port.PortOpened()) << "a fresh port that nobody has opened yet";

    auto First = std::make_unique<TClient>(Port.PortPath());
    ASSERT_TRUE(First->IsOpen());
    EXPECT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    auto Second = std::make_unique<TClient>(Port.PortPath());
    ASSERT_TRUE(Second->IsOpen());
    First.reset();
    EXPECT_TRUE(Port.PortOpened()) << "the second client still holds it";
    Second.reset();
    EXPECT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));

    TClient Again(Port.PortPath());
    EXPECT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
}

TEST_F(VPortControl, RawSettingsComeBackAfterAClientChangedThem)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);

    termios Cooked{};
    ASSERT_EQ(::tcgetattr(Client->Handle(), &Cooked), 0);
    Cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    Cooked.c_iflag |= ICRNL | IXON;
    Cooked.c_oflag |= OPOST | ONLCR;
    Cooked.c_cflag = (Cooked.c_cflag & ~CSIZE) | CS7 | PARENB;
    ASSERT_EQ(::tcsetattr(Client->Handle(), TCSANOW, &Cooked), 0);
    Client.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));

    TClient Next(Port.PortPath(), TClient::TSetup::None);
    ASSERT_TRUE(Next.IsOpen());
    termios Found{};
    ASSERT_EQ(::tcgetattr(Next.Handle(), &Found), 0);
    EXPECT_EQ(Found.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(Found.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
    EXPECT_EQ(Found.c_oflag & OPOST, 0u);
    EXPECT_EQ(Found.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(Found.c_cflag & PARENB, 0u);

    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    const QByteArray LineEnds("\r\n\r\x03\x11\x13\xff", 7);
    EXPECT_EQ(WriteToControl(Port, LineEnds), LineEnds.size());
    EXPECT_EQ(AsBytes(Next.ReadExactly(LineEnds.size())), LineEnds);
    ASSERT_TRUE(Next.Write(LineEnds.toStdString()));
    EXPECT_EQ(ReadFromControl(Port, LineEnds.size()), LineEnds);
    EXPECT_EQ(ReadRestFromControl(Port), QByteArray()) << "echoed";
}

TEST_F(VPortControl, WhatTheLastClientLeftUnreadNeverReachesTheNext)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);
    // More than the pty holds, so that the control's own queue has some too.
    const QByteArray Stale = Pattern(40 * 1024);
    EXPECT_EQ(WriteToControl(Port, Stale), Stale.size());
    EXPECT_LT(Port.WriteRoom(), static_cast<long>(TVSPortAx::WriteQueueCapacity));
    Client.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));

    TClient Next(Port.PortPath());
    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    EXPECT_EQ(Port.WriteRoom(), static_cast<long>(TVSPortAx::WriteQueueCapacity));
    EXPECT_EQ(WriteToControl(Port, QByteArray("fresh")), 5);
    QByteArray Got = AsBytes(Next.ReadExactly(5));
    std::this_thread::sleep_for(20ms);
    Got += AsBytes(Next.ReadSome());
    EXPECT_EQ(Got, QByteArray("fresh"));
}

TEST_F(VPortControl, BytesWrittenWhileNobodyHoldsThePortAreDropped)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_EQ(WriteToControl(Port, QByteArray("lost")), 4) << "taken, as a line takes them";
    EXPECT_EQ(Port.WriteRoom(), static_cast<long>(TVSPortAx::WriteQueueCapacity));

    TClient Client(Port.PortPath());
    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    EXPECT_EQ(WriteToControl(Port, QByteArray("kept")), 4);
    QByteArray Got = AsBytes(Client.ReadExactly(4));
    std::this_thread::sleep_for(20ms);
    Got += AsBytes(Client.ReadSome());
    EXPECT_EQ(Got, QByteArray("kept"));
}

TEST_F(VPortControl, BytesAClientWroteJustBeforeClosingAreStillRead)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);
    ASSERT_TRUE(Client->Write("bye"));
    Client.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));
    EXPECT_EQ(ReadFromControl(Port, 3), QByteArray("bye"));
    char Buffer[ControlBufferSize];
    long Capacity = ControlBufferSize;
    EXPECT_EQ(Port.Read(Buffer, &Capacity), 0);
}

// A write that has returned to its program is counted whole at once, although the kernel hands
// it to the port a moment later: a stop waits for it, and a port that goes says all it drops.
TEST_F(VPortControl, WhatAFinishedWriteLeftIsCountedAtOnce)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);
    const QByteArray Bytes = Pattern(3000);
    for (int Round = 0; Round < 200; ++Round) {
        ASSERT_TRUE(Client->Write(Bytes.toStdString()));
        ASSERT_GT(Port.PendingForDevice(), 0) << "round " << Round;
        ASSERT_EQ(Port.DropPendingForDevice(), Bytes.size()) << "round " << Round;
    }
    EXPECT_EQ(Port.PendingForDevice(), 0);
}

// Two programs that hold the port at once are read in turn: one that keeps writing never keeps
// the other's bytes from the device, however small the reads. What the device sent for the first
// and it never read is counted as that, not as sent to nobody, while the second holds the port.
TEST_F(VPortControl, TwoClientsAtOnceAreReadInTurnAndTheirDropsCountedByWhy)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> First;
    CreateAndOpen(Port, First);
    TClient Second(Port.PortPath());
    ASSERT_TRUE(Second.IsOpen()) << strerror(errno);
    ASSERT_TRUE(First->Write(std::string(2000, 'a')));
    ASSERT_TRUE(Second.Write(std::string(2000, 'b')));
    QByteArray Got;
    ASSERT_TRUE(test::WaitUntil([&] {
        char Buffer[7];
        long Capacity = sizeof(Buffer);
        Got.append(Buffer, Port.Read(Buffer, &Capacity));
        return Got.size() >= 700;
    }));
    EXPECT_GE(Got.count('b'), 280) << "the second program gets its share";
    EXPECT_GE(Got.count('a'), 280) << "and the first keeps its own";

    const QByteArray Chunk(ControlBufferSize, 'd');
    for (long Taken = 0;
         Taken < 200 * ControlBufferSize && WriteToControl(Port, Chunk) == Chunk.size();)
        Taken += Chunk.size();
    First.reset();
    ASSERT_TRUE(test::WaitUntil([&] {
        Port.PortOpened();
        return Port.Drops().NotRead > 0;
    }));
    EXPECT_EQ(Port.Drops().NobodyHeld, 0);
    Second.Close();
    ASSERT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));
    WriteToControl(Port, "gone");
    EXPECT_EQ(Port.Drops().NobodyHeld, 4);
}

// What a program wrote before it closed still goes to the device, as a UART's output at close:
// for the closing wait, and no more than the port keeps for closed programs; the rest is
// dropped and counted by why.
TEST_F(VPortControl, WhatClosedClientsLeftIsKeptForTheClosingWaitAndBounded)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName))) << Port.LastError().toStdString();
    // Each program on a pair of its own: the next waits for the link to move on.
    auto visit = [&](const std::string &Bytes) {
        const QString Pair = QFile::symLinkTarget(Port.PortPath());
        TClient Client(Port.PortPath());
        ASSERT_TRUE(Client.IsOpen()) << strerror(errno);
        ASSERT_TRUE(Client.Write(Bytes)) << strerror(errno);
        ASSERT_TRUE(test::WaitUntil([&] {
            Port.PortOpened();
            return QFile::symLinkTarget(Port.PortPath()) != Pair;
        }));
    };

    // Five programs fill more than the port keeps; the oldest bytes go first, whole.
    const QByteArray Stream = Pattern(5 * 4000);
    for (int Visit = 0; Visit < 5; ++Visit)
        visit(Stream.mid(Visit * 4000, 4000).toStdString());
    const long long Beyond = 20000 - static_cast<long long>(TClosedWrites::kKept);
    ASSERT_TRUE(test::WaitUntil([&] {
        Port.PortOpened(); // a look closes the pairs their programs left
        return Port.Drops().OverKept == Beyond;
    })) << Port.Drops().OverKept;
    EXPECT_EQ(Port.PendingForDevice(), static_cast<long long>(TClosedWrites::kKept));
    EXPECT_EQ(ReadFromControl(Port, TClosedWrites::kKept), Stream.left(TClosedWrites::kKept));
    EXPECT_TRUE(ReadRestFromControl(Port).isEmpty());

    // Past the closing wait nothing is left of a visit; with none, nothing is kept at all.
    for (const auto Wait : {300ms, 0ms}) {
        Port.SetClosingWait(Wait);
        const long long Before = Port.Drops().ClosingWait;
        visit("late");
        ASSERT_TRUE(test::WaitUntil([&] {
            Port.PortOpened();
            return Port.Drops().ClosingWait == Before + 4;
        })) << Wait.count();
        EXPECT_TRUE(ReadRestFromControl(Port).isEmpty()) << Wait.count();
    }
}

// A lock is honoured as on a serial port: while a program holds the port locked, the link leads
// to its pseudo-terminal, so that another program's flock fails and its open meets TIOCEXCL
// (EBUSY, unless it may override the mode, as root may); once the lock or the program has gone,
// the next program gets a fresh pseudo-terminal again.
TEST_F(VPortControl, ALockedHolderKeepsOthersOutAndTheNextGetsAFreshPort)
{
    enum class TLock { Flock, Exclusive };
    for (const TLock Lock : {TLock::Flock, TLock::Exclusive}) {
        SCOPED_TRACE(Lock == TLock::Flock ? "flock" : "TIOCEXCL");
        TVSPortAx Port;
        std::unique_ptr<TClient> Holder;
        CreateAndOpen(Port, Holder);
        const QString Own = QString::fromLocal8Bit(::ttyname(Holder->Handle()));
        ASSERT_EQ(Lock == TLock::Flock ? ::flock(Holder->Handle(), LOCK_EX | LOCK_NB)
                                       : ::ioctl(Holder->Handle(), TIOCEXCL),
                  0);
        ASSERT_TRUE(test::WaitUntil([&] {
            Port.PortOpened();
            return QFile::symLinkTarget(Port.PortPath()) == Own;
        }));
        {
            TClient Other(Port.PortPath());
            if (Lock == TLock::Flock) {
                ASSERT_TRUE(Other.IsOpen()) << strerror(errno);
                EXPECT_NE(::flock(Other.Handle(), LOCK_EX | LOCK_NB), 0);
                EXPECT_EQ(errno, EWOULDBLOCK);
                // pyserial's exclusive=True is refused at open, as on a serial port.
                const int Status =
                    RunProgram({SystemPython, "-c",
                                "import serial, sys\n"
                                "try:\n    serial.Serial(sys.argv[1], exclusive=True)\n"
                                "except serial.SerialException:\n    sys.exit(3)\n",
                                QFile::encodeName(Port.PortPath())});
                EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 3) << Status;
            } else if (::geteuid() != 0) {
                EXPECT_FALSE(Other.IsOpen());
                EXPECT_EQ(errno, EBUSY);
            } else {
                ASSERT_TRUE(Other.IsOpen());
                EXPECT_EQ(QString::fromLocal8Bit(::ttyname(Other.Handle())), Own);
            }
        }
        // The flock is let go, the exclusive holder leaves: a fresh pair for the next.
        if (Lock == TLock::Flock)
            ASSERT_EQ(::flock(Holder->Handle(), LOCK_UN), 0);
        else
            Holder.reset();
        ASSERT_TRUE(test::WaitUntil([&] {
            Port.PortOpened();
            return QFile::symLinkTarget(Port.PortPath()) != Own;
        }));
        TClient Next(Port.PortPath());
        ASSERT_TRUE(Next.IsOpen()) << strerror(errno);
        EXPECT_NE(QString::fromLocal8Bit(::ttyname(Next.Handle())), Own);
        EXPECT_EQ(::flock(Next.Handle(), LOCK_EX | LOCK_NB), 0);
    }
}

// Every visit is seen, however short: once the last client has closed, the next one finds the
// port as a fresh one, whether or not the control was called while the visit lasted. The
// control gives the port a fresh pair then, so the link's new target is the sign to wait for.

TEST_F(VPortControl, EveryVisitIsSeenHoweverShort)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    auto Cook = [](int Fd) {
        termios Cooked{};
        ::tcgetattr(Fd, &Cooked);
        Cooked.c_lflag |= ICANON | ECHO | ISIG;
        Cooked.c_iflag |= ICRNL;
        return ::tcsetattr(Fd, TCSANOW, &Cooked) == 0;
    };
    auto ExpectRaw = [](const TClient &Client) {
        termios Found{};
        ASSERT_EQ(::tcgetattr(Client.Handle(), &Found), 0);
        EXPECT_EQ(Found.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(Found.c_iflag & ICRNL, 0u);
    };

    // A visit that the control makes no call during: open, cook the line, close.
    QString Target = QFileInfo(ExpectedPath).symLinkTarget();
    {
        TClient Visitor(ExpectedPath, TClient::TSetup::None);
        ASSERT_TRUE(Visitor.IsOpen());
        ASSERT_TRUE(Cook(Visitor.Handle()));
    }
    ASSERT_TRUE(test::WaitUntil([&] { return QFileInfo(ExpectedPath).symLinkTarget() != Target; }))
        << "the control never noticed the visit";
    auto Next = std::make_unique<TClient>(ExpectedPath, TClient::TSetup::None);
    ASSERT_TRUE(Next->IsOpen());
    ExpectRaw(*Next);

    // A client that leaves bytes unread and cooked settings, then goes between two ticks: the
    // next one, opening at once, finds a fresh port all the same.
    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    EXPECT_EQ(WriteToControl(Port, QByteArray("stale\n")), 6);
    ASSERT_TRUE(Cook(Next->Handle()));
    Next.reset();
    TClient Third(ExpectedPath, TClient::TSetup::None);
    ASSERT_TRUE(Third.IsOpen());
    ExpectRaw(Third);
    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    EXPECT_EQ(WriteToControl(Port, QByteArray("fresh")), 5);
    QByteArray Got = AsBytes(Third.ReadExactly(5));
    std::this_thread::sleep_for(20ms);
    Got += AsBytes(Third.ReadSome());
    EXPECT_EQ(Got, QByteArray("fresh"));
}

// However soon after a close the next client opens the port, the open succeeds and finds the
// port fresh: raw, not exclusive, nothing to read. Each client leaves all of that behind.
TEST_F(VPortControl, BackToBackClientsEachFindAFreshPort)
{
    constexpr int Visits = 300;
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    std::map<std::string, int> Faults;
    for (int Visit = 0; Visit < Visits; ++Visit) {
        TClient Client(ExpectedPath, TClient::TSetup::None);
        if (!Client.IsOpen()) {
            ++Faults[std::string("open: ") + strerror(errno)];
            continue;
        }
        termios Found{};
        int Exclusive = 0;
        pollfd Readable = {Client.Handle(), POLLIN, 0};
        if (::tcgetattr(Client.Handle(), &Found) != 0 || (Found.c_lflag & (ICANON | ECHO)) != 0)
            ++Faults["settings"];
        if (::ioctl(Client.Handle(), TIOCGEXCL, &Exclusive) != 0 || Exclusive != 0)
            ++Faults["exclusive"];
        if (::poll(&Readable, 1, 0) != 0)
            ++Faults["unread bytes"];

        const QByteArray Byte(1, static_cast<char>('a' + Visit % 26));
        ASSERT_TRUE(Client.Write(Byte.toStdString()));
        if (ReadFromControl(Port, 1) != Byte)
            ++Faults["bytes to the control"];
        ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
        // Left behind: bytes it never reads, cooked settings and the exclusive mode.
        EXPECT_EQ(WriteToControl(Port, QByteArray("stale")), 5);
        Readable.revents = 0;
        if (::poll(&Readable, 1, 10000) != 1)
            ++Faults["bytes to the client"];
        Found.c_lflag |= ICANON | ECHO;
        ASSERT_EQ(::tcsetattr(Client.Handle(), TCSANOW, &Found), 0);
        ASSERT_EQ(::ioctl(Client.Handle(), TIOCEXCL), 0);
    }
    EXPECT_EQ(Faults, (std::map<std::string, int>{}));
    EXPECT_EQ(Port.LastError(), QString());
}

// The link moves through a temporary link beside it: whatever another user or a crash left
// beside the link never stops that, and only a left-over of ours goes.
TEST_F(VPortControl, WhatStandsBesideTheLinkNeverStopsItsMoves)
{
    const QString Beside = PortFolder + QStringLiteral("/.") + PortName;
    ASSERT_TRUE(QDir().mkpath(PortFolder));
    QFile Squatter(Beside + QStringLiteral(".new"));
    ASSERT_TRUE(Squatter.open(QIODevice::WriteOnly));
    Squatter.close();
    QFile NotALink(Beside + QStringLiteral(".Zz99"));
    ASSERT_TRUE(NotALink.open(QIODevice::WriteOnly));
    NotALink.close();
    const QString LeftOver = Beside + QStringLiteral(".Ab12");
    ASSERT_EQ(::symlink("/dev/pts/0", QFile::encodeName(LeftOver).constData()), 0);

    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_FALSE(QFileInfo(LeftOver).isSymLink());
    QStringList Targets;
    for (int Visit = 0; Visit < 20; ++Visit) {
        Targets << QFileInfo(ExpectedPath).symLinkTarget();
        TClient Client(ExpectedPath);
        ASSERT_TRUE(Client.IsOpen()) << strerror(errno);
        ASSERT_TRUE(test::WaitUntil([&] {
            return QFileInfo(ExpectedPath).symLinkTarget() != Targets.back();
        })) << Port.LastError().toStdString();
    }
    EXPECT_EQ(Port.LastError(), QString());
    EXPECT_TRUE(Squatter.exists());
    EXPECT_TRUE(NotALink.exists());
    EXPECT_EQ(FolderEntries(PortFolder),
              (QStringList{QStringLiteral(".ttyVTEST.lock"), QStringLiteral(".ttyVTEST.new"),
                           QStringLiteral(".ttyVTEST.Zz99"), QLatin1String(PortName)}));
}

// When the link cannot be moved on (here the process has no descriptor left for a new pair),
// the port says so and tries again after a pause that doubles, never in a busy loop, and says
// when it has recovered.
TEST_F(VPortControl, ALinkThatCannotBeMovedIsRetriedAfterGrowingPausesAndSaid)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    // A visitor that opens and closes the port twice, each time when told.
    int Go[2];
    ASSERT_EQ(::pipe2(Go, O_CLOEXEC), 0);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Go[0], STDIN_FILENO);
    const QByteArray Path = QFile::encodeName(ExpectedPath);
    const char *Argv[] = {"/bin/sh", "-c",
                          "read go; exec 3<>\"$0\"; exec 3>&-; read go; exec 3<>\"$0\"",
                          Path.constData(), nullptr};
    pid_t Visitor = 0;
    ASSERT_EQ(
        ::posix_spawn(&Visitor, Argv[0], &Actions, nullptr, const_cast<char **>(Argv), environ), 0);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Go[0]);

    rlimit Saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Saved), 0);
    // New descriptors take the lowest free number, and none may reach the limit.
    const int LowestFree = ::dup(STDIN_FILENO);
    ASSERT_GE(LowestFree, 0);
    ::close(LowestFree);
    rlimit Exhausted = Saved;
    Exhausted.rlim_cur = static_cast<rlim_t>(LowestFree);
    const auto Since = std::chrono::steady_clock::now();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Exhausted), 0);
    // The first move takes the pair made ahead; the second needs a new one.
    QString Target = QFileInfo(ExpectedPath).symLinkTarget();
    ASSERT_EQ(::write(Go[1], "\n", 1), 1);
    const bool FirstMoved = test::WaitUntil([&] {
        Port.PortOpened();
        return QFileInfo(ExpectedPath).symLinkTarget() != Target;
    });
    Target = QFileInfo(ExpectedPath).symLinkTarget();
    ASSERT_EQ(::write(Go[1], "\n", 1), 1);
    int Status = 0;
    const bool Visited =
        test::WaitUntil([&] { return ::waitpid(Visitor, &Status, WNOHANG) == Visitor; });
    QStringList Said;
    const bool Failed = Visited && test::WaitUntil([&] {
                            Port.PortOpened();
                            Said += Port.TakeNotices();
                            return !Said.isEmpty();
                        });
    // Ticks far faster than the bridge's for half a second: after the pauses 10, 20, 40, ... ms,
    // try K comes 10 * (2^K - 1) ms after the first at the earliest.
    while (std::chrono::steady_clock::now() - Since < 500ms) {
        Port.PortOpened();
        std::this_thread::sleep_for(1ms);
    }
    Said += Port.TakeNotices();
    const auto Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - Since);
    const int MostTries = 1 + static_cast<int>(std::log2(double(Elapsed.count()) / 10.0 + 1.0));
    const QString Error = Port.LastError();
    ::setrlimit(RLIMIT_NOFILE, &Saved);
    ::close(Go[1]);
    ASSERT_TRUE(FirstMoved) << Port.LastError().toStdString();
    ASSERT_TRUE(Visited && WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    ASSERT_TRUE(Failed) << "the failed move was never said; descriptors below " << LowestFree
                        << ": " << QDir("/proc/self/fd").entryList().join(",").toStdString();
    EXPECT_LE(Said.size(), MostTries) << Said.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(Said.front().contains(QString::fromLocal8Bit(strerror(EMFILE))))
        << Said.front().toStdString();
    EXPECT_TRUE(Error.contains(QStringLiteral("trying again"))) << Error.toStdString();
    EXPECT_EQ(QFileInfo(ExpectedPath).symLinkTarget(), Target);

    // With descriptors to spare again, the next try moves the link and says so.
    ASSERT_TRUE(test::WaitUntil([&] {
        Port.PortOpened();
        return QFileInfo(ExpectedPath).symLinkTarget() != Target;
    }));
    EXPECT_TRUE(Port.TakeNotices().join(QString()).contains(QStringLiteral("fresh")));
    EXPECT_EQ(Port.LastError(), QString());
}

// An application may make the port exclusive (TIOCEXCL) and close it without lifting that; the
// flag outlives the close and would keep everyone but root out.
TEST_F(VPortControl, AnExclusiveModeLeftByTheLastClientIsLiftedForTheNext)
{
    const std::vector<QByteArray> Other = AsOtherUser();
    if (Other.empty() || ::access(SystemPython, X_OK) != 0)
        GTEST_SKIP() << "needs root, " << SetPriv << " and " << SystemPython;

    // A folder that the other user can reach, with the client's script in it: the checkout
    // itself may be in a folder that only its owner can enter.
    const QString Public = Root.filePath(QStringLiteral("public"));
    ASSERT_TRUE(QDir().mkpath(Public));
    for (const QString &Folder : {Root.path(), Public})
        ASSERT_EQ(::chmod(QFile::encodeName(Folder).constData(), 0755), 0);
    const QString Script = Public + QStringLiteral("/vport_exclusive_client.py");
    ASSERT_TRUE(QFile::copy(QStringLiteral(VPORT_EXCLUSIVE_CLIENT), Script));
    ASSERT_EQ(::chmod(QFile::encodeName(Script).constData(), 0644), 0);

    TVSPortAx Port;
    const QString Path = Public + QStringLiteral("/excl");
    ASSERT_TRUE(Port.CreatePort(Path)) << Port.LastError().toStdString();
    // The pair the link leads to, for the other user to open.
    auto LetIn = [&] {
        return ::chmod(QFile::encodeName(QFileInfo(Path).symLinkTarget()).constData(), 0666) == 0;
    };
    auto Client = [&](const char *Mode) {
        std::vector<QByteArray> Argv = Other;
        for (const QByteArray &Arg : {QByteArray(SystemPython), QFile::encodeName(Script),
                                      QByteArray(Mode), QFile::encodeName(Path)})
            Argv.push_back(Arg);
        return Argv;
    };
    auto Run = [&](const char *Mode) {
        const QString Output = Root.filePath(QStringLiteral("%1.txt").arg(Mode));
        const int Status = RunProgram(Client(Mode), Output);
        QFile Said(Output);
        Said.open(QIODevice::ReadOnly);
        EXPECT_TRUE(Succeeded(Status)) << Mode << ": " << Said.readAll().toStdString();
    };

    ASSERT_TRUE(LetIn());
    const QString Target = QFileInfo(Path).symLinkTarget();
    Run("visit");
    ASSERT_TRUE(test::WaitUntil([&] { return QFileInfo(Path).symLinkTarget() != Target; }))
        << "the control never noticed the visit";
    ASSERT_TRUE(LetIn());
    Run("open");
}

TEST_F(VPortControl, AnExclusivePortIsRenewedWhenTheControlIsNotRoot)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root opens an exclusive pty anyway; the next test runs this one as "
                        "another user";
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);
    const QString OldTarget = QFileInfo(ExpectedPath).symLinkTarget();
    ASSERT_EQ(::ioctl(Client->Handle(), TIOCEXCL), 0);
    {
        // One that opens meanwhile has a pair of its own; what the device says still goes to
        // the first.
        TClient Beside(ExpectedPath);
        ASSERT_TRUE(Beside.IsOpen()) << strerror(errno);
        EXPECT_EQ(WriteToControl(Port, QByteArray("first")), 5);
        EXPECT_EQ(AsBytes(Client->ReadExactly(5)), QByteArray("first"));
    }
    Client.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !Port.PortOpened(); }));

    TClient Next(ExpectedPath);
    ASSERT_TRUE(Next.IsOpen()) << strerror(errno) << "; " << Port.LastError().toStdString();
    EXPECT_NE(QFileInfo(ExpectedPath).symLinkTarget(), OldTarget);
    EXPECT_TRUE(Port.PortCreated());
    ASSERT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
    EXPECT_EQ(WriteToControl(Port, QByteArray("ok")), 2);
    EXPECT_EQ(AsBytes(Next.ReadExactly(2)), QByteArray("ok"));
}

TEST_F(VPortControl, AnExclusivePortIsRenewedWhenTheControlIsNotRootAsAnotherUser)
{
    std::vector<QByteArray> Argv = AsOtherUser();
    if (Argv.empty())
        GTEST_SKIP() << "needs root and " << SetPriv;
    char Self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", Self, sizeof(Self) - 1), 0);

    // Its own runtime folder, which Qt and the control both want to belong to it.
    const QString OtherRuntime = Root.filePath(QStringLiteral("other-run"));
    ASSERT_TRUE(QDir().mkpath(OtherRuntime));
    const QByteArray OtherRuntimeName = QFile::encodeName(OtherRuntime);
    ASSERT_EQ(::chmod(QFile::encodeName(Root.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(OtherRuntimeName.constData(), 0700), 0);
    const uid_t Id = static_cast<uid_t>(std::stoul(OtherUserId));
    ASSERT_EQ(::chown(OtherRuntimeName.constData(), Id, Id), 0);
    // A copy of this program where the other user can reach it, with its sanitizers'
    // suppressions: the build may be in a folder that only its owner can enter.
    const QString Public = Root.filePath(QStringLiteral("bin"));
    ASSERT_TRUE(QDir().mkpath(Public));
    ASSERT_EQ(::chmod(QFile::encodeName(Public).constData(), 0755), 0);
    std::vector<QByteArray> Environment;
    for (char **Variable = environ; *Variable != nullptr; ++Variable)
        if (!QByteArray(*Variable).startsWith("XDG_RUNTIME_DIR="))
            Environment.push_back(ReadableByOthers(*Variable, Public));
    Environment.push_back("XDG_RUNTIME_DIR=" + OtherRuntimeName);

    const QString Copy = Public + QStringLiteral("/vport_test");
    ASSERT_TRUE(QFile::copy(QFile::decodeName(Self), Copy));
    ASSERT_EQ(::chmod(QFile::encodeName(Copy).constData(), 0755), 0);
    Argv.insert(Argv.end(),
                {QFile::encodeName(Copy), QByteArray("--gtest_filter=") + RenewedWhenNotRoot});
    const QString Output = Root.filePath("nobody.txt");
    const int Status = RunProgram(Argv, Output, Environment);
    QFile Said(Output);
    ASSERT_TRUE(Said.open(QIODevice::ReadOnly));
    const QByteArray Text = Said.readAll();
    EXPECT_TRUE(Succeeded(Status)) << Text.toStdString();
    EXPECT_TRUE(Text.contains(QByteArray("[       OK ] ") + RenewedWhenNotRoot))
        << Text.toStdString();
}

// --- Flow: the queue and the room it reports ----------------------------------------------

TEST_F(VPortControl, ASlowReaderLosesNothingOf64KiB)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);

    const QByteArray Stream = Pattern(StreamSize);
    qsizetype Sent = 0;
    QByteArray Received;
    long LeastRoom = static_cast<long>(TVSPortAx::WriteQueueCapacity);
    const bool Done = test::WaitUntil(
        [&] {
            const long Room = Port.WriteRoom();
            LeastRoom = std::min(LeastRoom, Room);
            const long Chunk =
                std::min({Room, ControlBufferSize, static_cast<long>(Stream.size() - Sent)});
            if (Chunk > 0) {
                const long Taken = Port.Write(Stream.constData() + Sent, Chunk);
                EXPECT_EQ(Taken, Chunk) << "Write took less than WriteRoom promised";
                Sent += Taken;
            }
            // A serial application's pace: a little at a time.
            Received += AsBytes(Client->ReadSome(SlowReadSize));
            return Received.size() >= Stream.size();
        },
        120s);
    ASSERT_TRUE(Done) << "received " << Received.size() << " of " << Stream.size();
    EXPECT_TRUE(Received == Stream) << "bytes lost or reordered";
    EXPECT_LT(LeastRoom, static_cast<long>(TVSPortAx::WriteQueueCapacity / 2))
        << "the reader was never slow enough to need the queue";
}

TEST_F(VPortControl, WriteTakesNoMoreThanItsRoomAndSaysSo)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);

    const QByteArray Stream = Pattern(4 * StreamSize);
    qsizetype Taken = 0;
    while (Taken < Stream.size()) {
        const long Now = Port.Write(Stream.constData() + Taken, ControlBufferSize);
        ASSERT_GE(Now, 0);
        Taken += Now;
        if (Now < ControlBufferSize)
            break;
    }
    ASSERT_LT(Taken, Stream.size()) << "a reader that reads nothing must fill the queue";
    EXPECT_EQ(Port.WriteRoom(), 0);
    EXPECT_EQ(Port.Write(Stream.constData() + Taken, ControlBufferSize), 0);

    QByteArray Received;
    ASSERT_TRUE(test::WaitUntil([&] {
        Port.PortOpened(); // sends on what waits in the queue
        Received += AsBytes(Client->ReadSome());
        return Received.size() >= Taken;
    }));
    std::this_thread::sleep_for(20ms);
    Port.PortOpened();
    Received += AsBytes(Client->ReadSome());
    EXPECT_EQ(Received.size(), Taken) << "more or fewer bytes arrived than Write said it took";
    EXPECT_TRUE(Received == Stream.left(Taken));
    EXPECT_EQ(Port.WriteRoom(), static_cast<long>(TVSPortAx::WriteQueueCapacity));
}

TEST_F(VPortControl, PollingFromOneThreadWhileAnotherMovesBytes)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);

    const QByteArray Stream = Pattern(StreamSize / 4);
    std::atomic<bool> Stop{false};
    std::thread Bridge([&] {
        qsizetype Sent = 0;
        while (!Stop && Sent < Stream.size()) {
            const long Chunk = std::min(
                {Port.WriteRoom(), ControlBufferSize, static_cast<long>(Stream.size() - Sent)});
            Sent += Port.Write(Stream.constData() + Sent, Chunk);
            char Buffer[ControlBufferSize];
            long Capacity = ControlBufferSize;
            Port.Read(Buffer, &Capacity);
        }
    });
    QByteArray Received;
    const bool Done = test::WaitUntil([&] {
        EXPECT_TRUE(Port.PortCreated());
        EXPECT_TRUE(Port.PortOpened());
        Port.LastError();
        Port.PortPath();
        Received += AsBytes(Client->ReadSome(SlowReadSize));
        return Received.size() >= Stream.size();
    });
    Stop = true;
    Bridge.join();
    ASSERT_TRUE(Done);
    EXPECT_TRUE(Received == Stream);
}

// --- Removing the port ---------------------------------------------------------------------

TEST_F(VPortControl, DeleteRemovesTheLinkAndItsLockAndHangsUpTheClient)
{
    TVSPortAx Port;
    std::unique_ptr<TClient> Client;
    CreateAndOpen(Port, Client);
    EXPECT_EQ(FolderEntries(PortFolder).size(), 2) << "the link and its lock file";

    EXPECT_TRUE(Port.Delete());
    EXPECT_FALSE(QFileInfo(ExpectedPath).isSymLink());
    EXPECT_EQ(FolderEntries(PortFolder), QStringList());
    EXPECT_FALSE(Port.PortCreated());
    EXPECT_FALSE(Port.PortOpened());
    EXPECT_EQ(Port.PortPath(), QString());
    // The client's end is hung up, as a serial line is when the device goes.
    pollfd Poll{Client->Handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&Poll, 1, 0), 1);
    EXPECT_NE(Poll.revents & (POLLHUP | POLLERR), 0);
    EXPECT_TRUE(Port.Delete()) << "deleting nothing is no failure";
}

TEST_F(VPortControl, ResetBusRemovesTheLinkAndClearsTheLineStates)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_TRUE(Port.SetDSR(true));
    EXPECT_TRUE(Port.SetRING(true));
    EXPECT_TRUE(Port.SetDCD(true));
    EXPECT_TRUE(Port.SetWiring(32, 16, 1, 2));
    const TVSPortAx::TLineStates Kept = Port.LineStates();
    EXPECT_TRUE(Kept.Dsr && Kept.Ring && Kept.Dcd);
    EXPECT_EQ(Kept.Dtr, 32);
    EXPECT_EQ(Kept.Rts, 16);
    EXPECT_EQ(Kept.Out1, 1);
    EXPECT_EQ(Kept.Out2, 2);

    EXPECT_TRUE(Port.ResetBus());
    EXPECT_FALSE(QFileInfo(ExpectedPath).isSymLink());
    EXPECT_EQ(FolderEntries(PortFolder), QStringList());
    EXPECT_FALSE(Port.PortCreated());
    const TVSPortAx::TLineStates Cleared = Port.LineStates();
    EXPECT_FALSE(Cleared.Dsr || Cleared.Ring || Cleared.Dcd);
    EXPECT_EQ(Cleared.Dtr + Cleared.Rts + Cleared.Out1 + Cleared.Out2, 0);
}

TEST_F(VPortControl, DeleteOnExitRemovesTheLinkWithTheControl)
{
    {
        TVSPortAx Port;
        Port.SetDeleteOnExit(true);
        EXPECT_TRUE(Port.DeleteOnExit());
        ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
        ASSERT_TRUE(QFileInfo(ExpectedPath).isSymLink());
    }
    EXPECT_FALSE(QFileInfo(ExpectedPath).isSymLink());
    EXPECT_EQ(FolderEntries(PortFolder), QStringList());
}

TEST_F(VPortControl, WithoutDeleteOnExitTheLinkStaysAndTheNextControlTakesItOver)
{
    QString OldTarget;
    {
        TVSPortAx Port;
        EXPECT_FALSE(Port.DeleteOnExit());
        ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
        OldTarget = QFileInfo(ExpectedPath).symLinkTarget();
    }
    ASSERT_TRUE(QFileInfo(ExpectedPath).isSymLink()) << "a left-over, as after a crash";

    TVSPortAx Next;
    ASSERT_TRUE(Next.CreatePort(QLatin1String(PortName))) << Next.LastError().toStdString();
    TClient Client(Next.PortPath());
    ASSERT_TRUE(Client.IsOpen());
    ASSERT_TRUE(test::WaitUntil([&] { return Next.PortOpened(); }));
    EXPECT_EQ(WriteToControl(Next, QByteArray("new")), 3);
    EXPECT_EQ(AsBytes(Client.ReadExactly(3)), QByteArray("new"));
    EXPECT_TRUE(Next.Delete());
    EXPECT_EQ(FolderEntries(PortFolder), QStringList());
}

TEST_F(VPortControl, ALinkRemovedFromOutsideIsAVanishedPort)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_TRUE(Port.PortCreated());
    ASSERT_TRUE(QFile::remove(ExpectedPath));
    EXPECT_TRUE(test::WaitUntil([&] { return !Port.PortCreated(); }));

    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName))) << Port.LastError().toStdString();
    EXPECT_TRUE(Port.PortCreated());
    TClient Client(Port.PortPath());
    EXPECT_TRUE(test::WaitUntil([&] { return Port.PortOpened(); }));
}

TEST_F(VPortControl, DeleteLeavesWhatReplacedTheLinkAlone)
{
    TVSPortAx Port;
    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    const QString Other = Root.filePath(QStringLiteral("other"));
    EXPECT_TRUE(Port.PortCreated());
    ASSERT_TRUE(QFile::remove(ExpectedPath));
    ASSERT_TRUE(QFile::link(Other, ExpectedPath));
    EXPECT_TRUE(test::WaitUntil([&] { return !Port.PortCreated(); }));
    EXPECT_TRUE(Port.Delete());
    EXPECT_EQ(QFileInfo(ExpectedPath).symLinkTarget(), Other);

    ASSERT_TRUE(Port.CreatePort(QStringLiteral("second")));
    const QString Second = PortFolder + QStringLiteral("/second");
    EXPECT_TRUE(Port.PortCreated());
    {
        // Moved over the link in one step, as editors and installers save files.
        const QString Staged = PortFolder + QStringLiteral("/.staged");
        QFile Replacement(Staged);
        ASSERT_TRUE(Replacement.open(QIODevice::WriteOnly));
        Replacement.write("someone's file");
        Replacement.close();
        ASSERT_EQ(
            ::rename(QFile::encodeName(Staged).constData(), QFile::encodeName(Second).constData()),
            0);
    }
    EXPECT_TRUE(test::WaitUntil([&] { return !Port.PortCreated(); }));
    EXPECT_TRUE(Port.Delete());
    QFile Kept(Second);
    ASSERT_TRUE(Kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(Kept.readAll(), QByteArray("someone's file"));
}

// --- Every way out -------------------------------------------------------------------------

constexpr char ExitChildMode[] = "VPORT_EXIT_CHILD";

// The child of EveryWayOutButKillRemovesThePort: makes a port and ends as told. Skipped when run
// on its own.
TEST(VPortExitChild, MakesAPortAndEnds)
{
    const QByteArray Mode = qgetenv(ExitChildMode);
    if (Mode.isEmpty())
        GTEST_SKIP() << "runs only as the child of VPortControl.EveryWayOutButKillRemovesThePort";
    // Never destroyed, as in the program when exit() comes; reachable, so no leak to report.
    static TVSPortAx *Port = new TVSPortAx;
    Port->SetDeleteOnExit(true);
    ASSERT_TRUE(Port->CreatePort(QLatin1String(PortName))) << Port->LastError().toStdString();
    std::printf("created %s\n", QFile::encodeName(Port->PortPath()).constData());
    std::fflush(stdout);
    const rlimit NoCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &NoCore);
    if (Mode == "exit")
        std::exit(0);
    if (Mode == "abort")
        std::abort();
    ::raise(SIGKILL);
}

TEST_F(VPortControl, EveryWayOutButKillRemovesThePort)
{
    char Self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", Self, sizeof(Self) - 1), 0);
    auto RunChild = [&](const char *Mode) {
        std::vector<QByteArray> Environment;
        for (char **Variable = environ; *Variable != nullptr; ++Variable)
            if (!QByteArray(*Variable).startsWith("XDG_RUNTIME_DIR="))
                Environment.emplace_back(*Variable);
        Environment.push_back("XDG_RUNTIME_DIR=" + QFile::encodeName(RuntimeDir));
        Environment.push_back(QByteArray(ExitChildMode) + '=' + Mode);
        const QString Output = Root.filePath(QStringLiteral("child-%1.txt").arg(Mode));
        const int Status = RunProgram({Self, "--gtest_filter=VPortExitChild.MakesAPortAndEnds"},
                                      Output, Environment);
        QFile Said(Output);
        Said.open(QIODevice::ReadOnly);
        const QByteArray Text = Said.readAll();
        EXPECT_TRUE(Text.contains("created " + QFile::encodeName(ExpectedPath)))
            << Text.toStdString();
        return Status;
    };

    // exit(), as the toolkit calls it when the display goes away.
    const int Exited = RunChild("exit");
    EXPECT_TRUE(WIFEXITED(Exited) && WEXITSTATUS(Exited) == 0) << Exited;
    EXPECT_FALSE(QFileInfo(PortFolder).exists() || QFileInfo(PortFolder).isSymLink())
        << FolderEntries(PortFolder).join(' ').toStdString();

    const int Aborted = RunChild("abort");
    EXPECT_TRUE(WIFSIGNALED(Aborted) && WTERMSIG(Aborted) == SIGABRT) << Aborted;
    EXPECT_FALSE(QFileInfo(PortFolder).exists() || QFileInfo(PortFolder).isSymLink())
        << FolderEntries(PortFolder).join(' ').toStdString();

    // kill -9 leaves the port behind; the next start clears it.
    const int Killed = RunChild("kill");
    EXPECT_TRUE(WIFSIGNALED(Killed) && WTERMSIG(Killed) == SIGKILL) << Killed;
    ASSERT_TRUE(QFileInfo(ExpectedPath).isSymLink());
    TVSPortAx Next;
    ASSERT_TRUE(Next.CreatePort(QStringLiteral("another"))) << Next.LastError().toStdString();
    EXPECT_EQ(FolderEntries(PortFolder), (QStringList{".another.lock", "another"}));
}

// --- What failures say ------------------------------------------------------------------------

TEST_F(VPortControl, AFailureSaysWhatFailedAndWhy)
{
    TVSPortAx Port;
    const QString Missing = Root.filePath(QStringLiteral("missing"));
    EXPECT_FALSE(Port.CreatePort(Missing + QStringLiteral("/ttyV0")));
    EXPECT_TRUE(Port.LastError().contains(Missing)) << Port.LastError().toStdString();
    EXPECT_TRUE(Port.LastError().contains(QString::fromLocal8Bit(strerror(ENOENT))))
        << Port.LastError().toStdString();
    EXPECT_EQ(Port.PortPath(), QString());

    ASSERT_TRUE(Port.CreatePort(QLatin1String(PortName)));
    EXPECT_EQ(Port.LastError(), QString()) << "a success clears the old failure";
}

} // namespace
