// The traffic log (what it keeps and how its lines read, on screen and in files) and the Traffic
// and Messages windows on the whole program in process, with a real pty client and the simulated
// device.
#include "app/TrafficFile.h"
#include "app/Vrtualssc.h"
#include "dialogs/Traffic.h"
#include "traffic/TrafficLog.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "device/LinkLog.h"
#include "dialogs/Messages.h"
#include "traffic/LineTime.h"

#include "tests/ProgramTest.h"
#include "tests/PtyClient.h"
#include "tests/SetupDriver.h"
#include "tests/Wait.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace
{

using Direction = TTrafficDirection;
using namespace std::chrono_literals;

// 12:03:04.123 today, local time, as the lines show it.
TTrafficLog::Clock::time_point At(std::chrono::milliseconds After)
{
    std::tm local = {};
    local.tm_year = 126;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 12;
    local.tm_min = 3;
    local.tm_sec = 4;
    local.tm_isdst = -1;
    return TTrafficLog::Clock::from_time_t(std::mktime(&local)) + 123ms + After;
}

std::string Repeated(std::size_t Count)
{
    std::string bytes;
    for (std::size_t i = 0; i < Count; ++i)
        bytes += char(i % 250);
    return bytes;
}

std::vector<std::string> Split(const std::string &Text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = Text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(Text.substr(start, end - start));
    return lines;
}

} // namespace

// One moment, 2026-12-08 12:03:04.123 UTC, and one just before 1970, in zones east and west of
// UTC and on a half hour: the local date and time to the millisecond, and the offset.
TEST(LineTime, AFileLineCarriesTheLocalDateTimeToTheMillisecondAndTheOffset)
{
    const struct {
        const char *Zone;
        long long Millis;
        const char *Iso;
        const char *OfDay;
    } cases[] = {
        {"UTC0", 1796731384123, "2026-12-08T12:03:04.123+00:00", "12:03:04.123"},
        {"XST-5:45", 1796731384123, "2026-12-08T17:48:04.123+05:45", "17:48:04.123"},
        {"<-0330>3:30", 1796731384123, "2026-12-08T08:33:04.123-03:30", "08:33:04.123"},
        {"UTC0", -1, "1969-12-31T23:59:59.999+00:00", "23:59:59.999"},
        {"XST-5:45", 0, "1970-01-01T05:45:00.000+05:45", "05:45:00.000"},
    };
    const QByteArray zone = qgetenv("TZ");
    const bool zoneSet = qEnvironmentVariableIsSet("TZ");
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Zone);
        qputenv("TZ", test.Zone);
        tzset();
        const TLineClock::time_point time{std::chrono::milliseconds(test.Millis)};
        EXPECT_EQ(IsoTime(time), test.Iso);
        EXPECT_EQ(TimeOfDay(time), test.OfDay);
    }
    if (zoneSet)
        qputenv("TZ", zone);
    else
        qunsetenv("TZ");
    tzset();
}

TEST(TrafficLog, KeepsTheLast64KiBEachWayAsLinesOfHexAndText)
{
    struct TStep {
        Direction Way;
        std::string Bytes;
        std::chrono::milliseconds After = 0ms;
        int Times = 1;
    };
    struct TCase {
        const char *Name;
        std::vector<TStep> Steps;
        std::size_t KeptTo, KeptFrom, Lines;
        // The first lines, and the last, as shown.
        std::vector<std::string> First;
        std::string Last;
    };
    const TCase cases[] = {
        {"one line",
         {{Direction::ToDevice, "AB\r\n"}},
         4,
         0,
         1,
         {"12:03:04.123 > 41 42 0d 0a  AB.."},
         "12:03:04.123 > 41 42 0d 0a  AB.."},
        {"printable ASCII only",
         {{Direction::FromDevice, std::string("\x00\x1f \x7e\x7f\x80\xff", 7)}},
         0,
         7,
         1,
         {"12:03:04.123 < 00 1f 20 7e 7f 80 ff  .. ~..."},
         ""},
        {"sixteen bytes a line",
         {{Direction::ToDevice, "0123456789abcdefXYZ"}},
         19,
         0,
         2,
         {"12:03:04.123 > 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  0123456789abcdef",
          "12:03:04.123 > 58 59 5a  XYZ"},
         ""},
        {"a new line at each change of direction",
         {{Direction::ToDevice, "a"},
          {Direction::FromDevice, "b", 1ms},
          {Direction::ToDevice, "c", 2ms},
          {Direction::ToDevice, "d", 3ms}},
         3,
         1,
         3,
         {"12:03:04.123 > 61  a", "12:03:04.124 < 62  b", "12:03:04.125 > 63 64  cd"},
         ""},
        {"a line takes bytes for 100 ms from its first",
         {{Direction::FromDevice, "ab"},
          {Direction::FromDevice, "cd", 60ms},
          {Direction::FromDevice, "ef", 99ms},
          {Direction::FromDevice, "gh", 100ms},
          {Direction::FromDevice, "ij", 150ms}},
         0,
         10,
         2,
         {"12:03:04.123 < 61 62 63 64 65 66  abcdef", "12:03:04.223 < 67 68 69 6a  ghij"},
         ""},
        // 68005 bytes to the device: the oldest 2469 go, 154 whole lines of 16 and five bytes
        // of the next; the two bytes from the device, older than all of them, stay.
        {"the oldest bytes of a direction go, the other direction's stay",
         {{Direction::FromDevice, "hi"},
          {Direction::ToDevice, Repeated(4000), 1ms, 17},
          {Direction::ToDevice, "abcde", 1ms}},
         65536,
         2,
         1 + 4250 - 154 + 1,
         {"12:03:04.123 < 68 69  hi",
          "12:03:04.124 > db dc dd de df e0 e1 e2 e3 e4 e5  ...........",
          "12:03:04.124 > e6 e7 e8 e9 ea eb ec ed ee ef f0 f1 f2 f3 f4 f5  ................"},
         "12:03:04.124 > 61 62 63 64 65  abcde"},
    };
    for (const TCase &test : cases) {
        SCOPED_TRACE(test.Name);
        TTrafficLog log;
        for (const TStep &step : test.Steps)
            for (int i = 0; i < step.Times; ++i)
                log.Record(step.Way, reinterpret_cast<const unsigned char *>(step.Bytes.data()),
                           step.Bytes.size(), At(step.After));
        EXPECT_EQ(log.Kept(Direction::ToDevice), test.KeptTo);
        EXPECT_EQ(log.Kept(Direction::FromDevice), test.KeptFrom);
        ASSERT_EQ(log.LineCount(), test.Lines);
        const std::vector<std::string> lines = Split(log.Text());
        ASSERT_EQ(lines.size(), test.Lines);
        for (std::size_t i = 0; i < test.First.size(); ++i)
            EXPECT_EQ(lines[i], test.First[i]);
        if (!test.Last.empty()) {
            EXPECT_EQ(lines.back(), test.Last);
        }
        // In a file the same lines carry the full date and time instead of the time of day.
        const std::vector<std::string> filed = Split(log.Text(TTrafficTime::Iso));
        ASSERT_EQ(filed.size(), lines.size());
        for (std::size_t i = 0; i < filed.size(); i += std::max<std::size_t>(1, filed.size() / 7)) {
            ASSERT_EQ(filed[i].substr(0, 10), "2026-12-08");
            EXPECT_EQ(filed[i].substr(10, 14), "T" + lines[i].substr(0, 12) + "+") << filed[i];
            EXPECT_EQ(filed[i].substr(29), lines[i].substr(12));
        }
        // A view that starts anywhere sees the same lines from there, in the same order.
        for (const std::size_t first :
             {std::size_t(0), std::size_t(1), test.Lines / 2, test.Lines - 1, test.Lines}) {
            std::vector<std::string> seen;
            log.Visit(first, [&](const TTrafficLine &Line) {
                seen.push_back(TrafficLineText(Line));
                return seen.size() < 3;
            });
            const std::vector<std::string> expected(
                lines.begin() + std::ptrdiff_t(std::min(first, lines.size())),
                lines.begin() + std::ptrdiff_t(std::min(first + 3, lines.size())));
            EXPECT_EQ(seen, expected) << "from line " << first;
        }
    }
}

TEST(TrafficFile, AFailedWriteIsSaidOnceAndTheLostLinesWhenWritingWorksAgain)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath("traffic.log");
    QString error;
    const std::unique_ptr<TTrafficFile> file = TTrafficFile::Open(path, error);
    ASSERT_TRUE(file) << error.toStdString();
    // Each step's bytes go the other way from the last, which completes the last's line.
    int step = 0;
    auto record = [&](const std::string &Bytes) {
        const Direction way = step % 2 == 0 ? Direction::ToDevice : Direction::FromDevice;
        const auto now = At(std::chrono::milliseconds(step++));
        file->Log().Record(way, reinterpret_cast<const unsigned char *>(Bytes.data()), Bytes.size(),
                           now);
        return file->Write(now).toStdString();
    };

    // The file may grow to 100 bytes: the first line (98 bytes with its end) fits, the second
    // is cut.
    rlimit kept = {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &kept), 0);
    const rlimit small = {100, kept.rlim_max};
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string failed = record(std::string(40, 'x'));
    const std::string again = record("y");
    const std::string still = record("z");
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &kept), 0);
    ::signal(SIGXFSZ, previous);
    const std::string back = record("w");

    EXPECT_EQ(failed, "writing the traffic to " + path.toStdString() +
                          " failed: File too large; still trying");
    EXPECT_EQ(again, "");
    EXPECT_EQ(still, "");
    // The cut line, the one of 8 bytes and "y".
    EXPECT_EQ(back,
              "writing the traffic to " + path.toStdString() + " works again; 3 lines were lost");
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const std::vector<std::string> lines = Split(written.readAll().toStdString());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], IsoTime(At(0ms)) + " > 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78 78  "
                                           "xxxxxxxxxxxxxxxx");
    // 2 of the second line's bytes made the 100; then its end.
    EXPECT_EQ(lines[1], "20");
    EXPECT_EQ(lines[2], IsoTime(At(2ms)) + " > 7a  z");
}

// ---------------------------------------------------------------------------------------------
// The Traffic window on the program

namespace
{

// Writes Text from the client and waits, the program's timer running, for its echo.
bool Echo(test::TPtyClient &Client, const std::string &Text)
{
    return Client.Write(Text) && Client.Receive(Text);
}

// The bytes the lines show in one direction, in hex, one after another: lines may break
// wherever the ticks fell.
QString BytesShown(const QStringList &Lines, QChar Way)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ([<>])((?: [0-9a-f]{2}){1,16})  .{1,16}$"));
    QString hex;
    for (const QString &each : Lines) {
        const QRegularExpressionMatch match = line.match(each);
        EXPECT_TRUE(match.hasMatch()) << each.toStdString();
        if (match.hasMatch() && match.captured(1) == Way)
            hex += match.captured(2);
    }
    return hex.trimmed();
}

class TrafficWindow : public test::ProgramTest
{
};

} // namespace

TEST_F(TrafficWindow, ShowsTheBytesThatMovedWhileItWasOpenAndNotPaused)
{
    test::RunSetup("COM8", "SSC Simulator");
    test::TPtyClient client(VSSC->PortPanel->VSPortAx->PortPath());
    ASSERT_TRUE(client.IsOpen());
    // Closed, it records nothing.
    ASSERT_TRUE(Echo(client, "unseen"));
    TTrafficForm *traffic = VSSC->TrafficForm;
    EXPECT_EQ(traffic->Log().LineCount(), 0u);

    VSSC->TrafficButton->click();
    ASSERT_TRUE(traffic->isVisible());
    EXPECT_EQ(traffic->PauseButton->text(), "Pause");
    ASSERT_TRUE(Echo(client, "hello\r\n"));
    const QString hello = QStringLiteral("68 65 6c 6c 6f 0d 0a");
    ASSERT_TRUE(test::WaitUntil([&] {
        const QStringList lines = traffic->View->LinesInView();
        return BytesShown(lines, '>') == hello && BytesShown(lines, '<') == hello;
    })) << traffic->View->LinesInView().join('\n').toStdString();
    EXPECT_TRUE(traffic->View->LinesInView().first().contains("> " + hello + "  hello.."));

    // Paused, the view holds still and nothing more is recorded; the button stays down and says
    // what pressing it again does.
    traffic->PauseButton->click();
    EXPECT_TRUE(traffic->PauseButton->isChecked());
    EXPECT_EQ(traffic->PauseButton->text(), "Resume");
    const std::string kept = traffic->Log().Text();
    ASSERT_TRUE(Echo(client, "paused"));
    EXPECT_EQ(traffic->Log().Text(), kept);
    traffic->CopyButton->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), kept);

    // Going on, it follows again; closed, it stops.
    traffic->PauseButton->click();
    EXPECT_FALSE(traffic->PauseButton->isChecked());
    EXPECT_EQ(traffic->PauseButton->text(), "Pause");
    ASSERT_TRUE(Echo(client, "on"));
    EXPECT_TRUE(test::WaitUntil([&] {
        return BytesShown(traffic->View->LinesInView(), '<').endsWith("6f 6e");
    })) << traffic->View->LinesInView().join('\n').toStdString();
    traffic->close();
    const std::size_t lines = traffic->Log().LineCount();
    ASSERT_TRUE(Echo(client, "closed"));
    EXPECT_EQ(traffic->Log().LineCount(), lines);
}

TEST_F(TrafficWindow, SaveWritesANewFileOrReplacesOnlyWhatTheUserAgreedTo)
{
    TTrafficForm *traffic = VSSC->TrafficForm;
    const std::string said = "ping";
    traffic->Log().Record(Direction::ToDevice, reinterpret_cast<const unsigned char *>(said.data()),
                          said.size(), At(0ms));
    // Saved with the full date and time.
    const QByteArray lines = QByteArray::fromStdString(traffic->Log().Text(TTrafficTime::Iso));
    ASSERT_EQ(lines, QByteArray::fromStdString(IsoTime(At(0ms))) + " > 70 69 6e 67  ping\n");

    enum class TThere { Nothing, File, Link };
    const struct {
        const char *Name;
        TThere There;
        bool Replace;
        bool Saved;
    } cases[] = {
        {"a new file", TThere::Nothing, false, true},
        {"a file that appeared after the user picked the name", TThere::File, false, false},
        {"a link that appeared after the user picked the name", TThere::Link, false, false},
        {"a file the user agreed to replace", TThere::File, true, true},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Name);
        QTemporaryDir folder;
        ASSERT_TRUE(folder.isValid());
        const QString path = folder.filePath("traffic.txt");
        const QString other = folder.filePath("other.txt");
        QFile file(test.There == TThere::Link ? other : path);
        if (test.There != TThere::Nothing) {
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("earlier\n");
            file.close();
        }
        if (test.There == TThere::Link) {
            ASSERT_TRUE(QFile::link(other, path));
        }

        const QString failed = traffic->SaveTo(path, test.Replace);
        EXPECT_EQ(failed.isEmpty(), test.Saved) << failed.toStdString();
        QFile saved(path);
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        EXPECT_EQ(saved.readAll(), test.Saved ? lines : QByteArray("earlier\n"));
        EXPECT_EQ(QFileInfo(path).isSymLink(), test.There == TThere::Link);
    }
}

// Each window's Save: its file dialog opens in the home folder, whatever the current folder, and
// the file it writes gives each line its full date and time.
TEST(SaveDialogs, StartInTheHomeFolderAndWriteTheFullDateAndTime)
{
#if defined(__SANITIZE_THREAD__)
    // The real file dialog reads the folder in a thread of the toolkit's own (QFileInfoGatherer),
    // whose hand-overs an uninstrumented Qt hides from TSan: every one would be reported.
    GTEST_SKIP() << "the file dialog's own thread is not instrumented";
#endif
    QTemporaryDir home;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(home.isValid() && elsewhere.isValid());
    const QByteArray homeWas = qgetenv("HOME");
    const QString currentWas = QDir::currentPath();
    qputenv("HOME", QFile::encodeName(home.path()));
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));

    TTrafficForm traffic;
    const std::string said = "ping";
    traffic.Log().Record(Direction::ToDevice, reinterpret_cast<const unsigned char *>(said.data()),
                         said.size(), At(0ms));
    TLinkLog log;
    log.Add(TLinkEventKind::State, "Inited");
    log.Add(TLinkEventKind::Error, "Device lost");
    log.Add(TLinkEventKind::Error, "Device lost");
    TMessagesForm messages(log);
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d "));
    const struct {
        const char *Name;
        QPushButton *Save;
        std::function<QString(const QString &Path)> SaveTo;
        QString Offered;
        QStringList Texts;
    } cases[] = {
        {"traffic",
         traffic.SaveButton,
         [&](const QString &Path) { return traffic.SaveTo(Path, false); },
         "traffic.txt",
         {"> 70 69 6e 67  ping"}},
        {"messages",
         messages.SaveButton,
         [&](const QString &Path) { return messages.SaveTo(Path); },
         "velmor-messages.txt",
         {" Inited", " Device lost  (2 times)"}},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Name);
        // The dialog, once up, is looked at and cancelled; one never seen is closed in the end.
        QString shownIn;
        QString offered;
        QTimer poll;
        QElapsedTimer waited;
        waited.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                shownIn = dialog->directory().absolutePath();
                offered = dialog->selectedFiles().value(0);
                dialog->reject();
            } else if (modal && waited.elapsed() > test::kPatience.count()) {
                modal->close();
            }
        });
        poll.start(10);
        test.Save->click();
        poll.stop();
        EXPECT_EQ(shownIn, QDir(home.path()).absolutePath());
        EXPECT_EQ(offered, QDir(home.path()).absoluteFilePath(test.Offered));
        // Cancelled: nothing written anywhere.
        EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));
        EXPECT_FALSE(QFileInfo::exists(elsewhere.filePath(test.Offered)));

        const QString path = elsewhere.filePath(test.Offered);
        ASSERT_EQ(test.SaveTo(path), QString());
        QFile saved(path);
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(saved.readAll()).split('\n');
        ASSERT_EQ(lines.size(), test.Texts.size() + 1);
        EXPECT_EQ(lines.back(), QString());
        for (qsizetype i = 0; i < test.Texts.size(); ++i) {
            EXPECT_TRUE(iso.match(lines[i]).hasMatch()) << lines[i].toStdString();
            EXPECT_TRUE(lines[i].endsWith(test.Texts[i])) << lines[i].toStdString();
        }
    }
    QDir::setCurrent(currentWas);
    qputenv("HOME", homeWas);
}
