// The port panel: its call sequences against a recording control, its looks inside the main
// window's group, and one run with the real control and a real client.
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "tests/Wait.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr QRect HostGroupGeometry(8, 8, 185, 81);
constexpr int SteadyTicks = 100;
const QString Wiring = QStringLiteral("SetWiring(32,16,0,0)");

// What the recording control answers and the calls it got: those that change the port in Calls,
// the questions (what the panel reads to show) in Queries.
struct TScript {
    QStringList Calls;
    QStringList Queries;
    bool Created = false;
    bool Opened = false;
    std::deque<bool> CreateResults; // answers of CreatePort in turn; true when it runs out
    bool WiringResult = true;
    QString Path = QStringLiteral("/run/user/1000/velmor-debug/COM5");
    QString Error;
    bool Destroyed = false;
};

class TRecordingPort final : public IVSPortAx
{
public:
    explicit TRecordingPort(TScript &Script) : Script(Script) {}
    ~TRecordingPort() override { Script.Destroyed = true; }

    bool CreatePort(const QString &PortName) override
    {
        Script.Calls << QStringLiteral("CreatePort(%1)").arg(PortName);
        bool Result = true;
        if (!Script.CreateResults.empty()) {
            Result = Script.CreateResults.front();
            Script.CreateResults.pop_front();
        }
        Script.Created = Result;
        return Result;
    }
    bool Delete() override
    {
        Script.Calls << QStringLiteral("Delete");
        Script.Created = false;
        return true;
    }
    long Write(const void *, long Count) override
    {
        Script.Calls << QStringLiteral("Write(%1)").arg(Count);
        return Count;
    }
    long Read(void *, long *) override
    {
        Script.Calls << QStringLiteral("Read");
        return 0;
    }
    bool SetDSR(bool On) override { return Record(QStringLiteral("SetDSR"), On); }
    bool SetRING(bool On) override { return Record(QStringLiteral("SetRING"), On); }
    bool SetDCD(bool On) override { return Record(QStringLiteral("SetDCD"), On); }
    bool ResetBus() override
    {
        Script.Calls << QStringLiteral("ResetBus");
        Script.Created = false;
        return true;
    }
    bool SetWiring(long Dtr, long Rts, long Out1, long Out2) override
    {
        Script.Calls
            << QStringLiteral("SetWiring(%1,%2,%3,%4)").arg(Dtr).arg(Rts).arg(Out1).arg(Out2);
        return Script.WiringResult;
    }
    bool PortCreated() override
    {
        Script.Queries << QStringLiteral("PortCreated");
        return Script.Created;
    }
    bool PortOpened() override
    {
        Script.Queries << QStringLiteral("PortOpened");
        return Script.Opened;
    }
    bool DeleteOnExit() const override
    {
        Script.Queries << QStringLiteral("DeleteOnExit");
        return false;
    }
    void SetDeleteOnExit(bool On) override { Record(QStringLiteral("SetDeleteOnExit"), On); }
    long WriteRoom() override
    {
        Script.Queries << QStringLiteral("WriteRoom");
        return 0;
    }
    QString PortPath() const override
    {
        Script.Queries << QStringLiteral("PortPath");
        return Script.Created ? Script.Path : QString();
    }
    QString LastError() const override
    {
        Script.Queries << QStringLiteral("LastError");
        return Script.Error;
    }
    long long Dropped() const override { return 0; }
    TPortDrops Drops() const override { return {}; }
    void SetClosingWait(std::chrono::milliseconds) override {}
    long long PendingForDevice() const override { return 0; }
    long long DropPendingForDevice() override { return 0; }
    QStringList TakeNotices() override { return {}; }

private:
    bool Record(const QString &Name, bool On) const
    {
        Script.Calls << QStringLiteral("%1(%2)").arg(Name, On ? "true" : "false");
        return true;
    }

    TScript &Script;
};

// The main window's "Virtual COM info" group with the panel in it, and the port list.
class VPortPanel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Window.resize(300, 200);
        Group = new QGroupBox(QStringLiteral("Virtual COM info"), &Window);
        Group->setGeometry(HostGroupGeometry);
        Window.show();
        Source.setEditable(true);
        Source.addItems({QStringLiteral("COM5"), QStringLiteral("COM6")});
        Panel = new TVirtualPort(Group, std::make_unique<TRecordingPort>(Script));
        Panel->PortSource = &Source;
    }

    // Creates COM5 and forgets the calls that took.
    void CreateFirstPort()
    {
        Panel->RefreshStatus();
        ASSERT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
        Script.Calls.clear();
        Script.Queries.clear();
    }

    // The calls of one refresh that change the port.
    QStringList Refresh()
    {
        Script.Calls.clear();
        Script.Queries.clear();
        Panel->RefreshStatus();
        return Script.Calls;
    }

    TScript Script;
    QWidget Window;
    QGroupBox *Group = nullptr;
    QComboBox Source;
    TVirtualPort *Panel = nullptr;
};

// --- Construction -----------------------------------------------------------------------------

TEST_F(VPortPanel, ConstructionResetsTheControlAndStaysHidden)
{
    EXPECT_EQ(Script.Calls, (QStringList{"ResetBus", "SetDSR(false)", "SetRING(false)",
                                         "SetDCD(false)", "SetDeleteOnExit(true)"}));
    EXPECT_FALSE(Panel->isVisible());
    EXPECT_EQ(Panel->objectName(), QStringLiteral("VirtualPort"));
    EXPECT_EQ(Panel->windowTitle(), QStringLiteral("VirtualPort"));
    EXPECT_EQ(Panel->parentWidget(), Group);
    EXPECT_EQ(Panel->Label1->text(), QStringLiteral("Virtual Port:"));
    EXPECT_EQ(Panel->Status->text(), QStringLiteral("Status:"));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("VPortName"));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("VPortStatus"));
    for (QLabel *Label : {Panel->Label1, Panel->Status, Panel->VPortName, Panel->VPortStatus}) {
        EXPECT_EQ(Label->font().family(), QStringLiteral("MS Sans Serif"));
        EXPECT_EQ(Label->font().pixelSize(), 13);
    }
    EXPECT_FALSE(Panel->Label1->font().bold());
    EXPECT_TRUE(Panel->VPortName->font().bold());
    EXPECT_TRUE(Panel->VPortStatus->font().bold());
    EXPECT_TRUE(Panel->VPortPath->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST_F(VPortPanel, NoPortListMeansNoCalls)
{
    Panel->PortSource = nullptr;
    EXPECT_EQ(Refresh(), QStringList());
    EXPECT_EQ(Script.Queries, QStringList());
    EXPECT_FALSE(Panel->isVisible());
}

// --- Creation ---------------------------------------------------------------------------------

TEST_F(VPortPanel, TheFirstRefreshDeletesBeforeItCreates)
{
    EXPECT_EQ(Refresh(), (QStringList{"Delete", "CreatePort(COM5)", Wiring}));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("COM5"));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
    EXPECT_EQ(Panel->VPortPath->text(), Script.Path);
    EXPECT_EQ(Panel->VPortPath->toolTip(), Script.Path);
    EXPECT_TRUE(Panel->isVisible());
    EXPECT_EQ(Panel->geometry(), Group->contentsRect());
}

TEST_F(VPortPanel, AFailedCreationResetsTheBusAndTriesOnceMore)
{
    Script.CreateResults = {false, true};
    EXPECT_EQ(Refresh(),
              (QStringList{"Delete", "CreatePort(COM5)", "ResetBus", "CreatePort(COM5)", Wiring}));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("COM5"));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
}

TEST_F(VPortPanel, TwoFailedAttemptsShowErrorAndNoNameOfAPortThatIsGone)
{
    Script.CreateResults = {false, false};
    Script.Error = QStringLiteral("the port name is empty");
    EXPECT_EQ(Refresh(),
              (QStringList{"Delete", "CreatePort(COM5)", "ResetBus", "CreatePort(COM5)"}));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Error"));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("VPortName"));
    EXPECT_EQ(Panel->VPortStatus->toolTip(), Script.Error);
    EXPECT_TRUE(Panel->isVisible()) << "an error is shown too";

    // Once a port exists, a failing new name deletes it: its name is not left on show as if it
    // were current.
    Script.Error.clear();
    CreateFirstPort();
    Source.setCurrentText(QStringLiteral("COM6"));
    Script.CreateResults = {false, false};
    Script.Error = QStringLiteral("creating the link failed");
    Refresh();
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Error"));
    EXPECT_EQ(Panel->VPortName->text(), QString());
    EXPECT_EQ(Panel->VPortPath->text(), QString()) << "no port, so no path";
    EXPECT_EQ(Panel->VPortStatus->toolTip(), Script.Error);

    // Every refresh tries again; a success clears the error.
    Script.Error.clear();
    EXPECT_EQ(Refresh(), (QStringList{"Delete", "CreatePort(COM6)", Wiring}));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("COM6"));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
    EXPECT_EQ(Panel->VPortStatus->toolTip(), QString());
}

TEST_F(VPortPanel, AChangedNameDeletesTheOldPortFirst)
{
    CreateFirstPort();
    Source.setCurrentText(QStringLiteral("COM6"));
    EXPECT_EQ(Refresh(), (QStringList{"Delete", "CreatePort(COM6)", Wiring}));
    EXPECT_EQ(Panel->VPortName->text(), QStringLiteral("COM6"));

    // Names compare exactly: a change of case is another name.
    Source.setCurrentText(QStringLiteral("com6"));
    EXPECT_EQ(Refresh(), (QStringList{"Delete", "CreatePort(com6)", Wiring}));
}

TEST_F(VPortPanel, AVanishedPortIsCreatedAgainWithoutDelete)
{
    CreateFirstPort();
    Script.Created = false;
    EXPECT_EQ(Refresh(), (QStringList{"CreatePort(COM5)", Wiring}));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
}

TEST_F(VPortPanel, TheNameGoesToTheControlUnchecked)
{
    Source.setCurrentText(QString());
    Script.CreateResults = {false, false};
    EXPECT_EQ(Refresh(), (QStringList{"Delete", "CreatePort()", "ResetBus", "CreatePort()"}));
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Error"));

    const QString Long(300, QLatin1Char('n'));
    Source.setCurrentText(Long);
    Refresh();
    EXPECT_TRUE(Script.Calls.contains(QStringLiteral("CreatePort(%1)").arg(Long)))
        << "the name was cut";
    // Only on screen: its middle gives way to an ellipsis, the whole in the tooltip.
    EXPECT_TRUE(Panel->VPortName->text().contains(QChar(0x2026)))
        << Panel->VPortName->text().toStdString();
    EXPECT_TRUE(Panel->VPortName->toolTip().contains(Long));
}

TEST_F(VPortPanel, IdleNoDcdGivesWayAtTheNextRefresh)
{
    Script.WiringResult = false;
    Refresh();
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle No Dcd"));
    EXPECT_EQ(Refresh(), QStringList());
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
}

// --- Steady state ----------------------------------------------------------------------------

TEST_F(VPortPanel, TheSteadyStateReadsTheTwoPropertiesAndNothingElse)
{
    CreateFirstPort();
    for (bool Opened : {false, true}) {
        Script.Opened = Opened;
        Refresh();
        Script.Queries.clear();
        for (int Tick = 0; Tick < SteadyTicks; ++Tick)
            Panel->RefreshStatus();
        QStringList Expected;
        for (int Tick = 0; Tick < SteadyTicks; ++Tick)
            Expected << "PortCreated"
                     << "PortOpened";
        EXPECT_EQ(Script.Queries, Expected);
        EXPECT_EQ(Script.Calls, QStringList());
    }
}

TEST_F(VPortPanel, TheStatusFollowsTheOpenState)
{
    CreateFirstPort();
    Script.Opened = true;
    Script.Error = QStringLiteral("making the port raw failed");
    EXPECT_EQ(Refresh(), QStringList());
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Opened"));
    EXPECT_EQ(Panel->VPortStatus->toolTip(), Script.Error);
    Script.Opened = false;
    Refresh();
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"));
}

TEST_F(VPortPanel, NamesAndPathsAreShownAsPlainText)
{
    const QString Markup = QStringLiteral("<b>COM</b><img src=\"x\">");
    Source.setCurrentText(Markup);
    Script.Path = QStringLiteral("/run/user/1000/velmor-debug/") + Markup;
    Script.Error = QStringLiteral("note about ") + Markup;
    Refresh();
    for (QLabel *Label : {Panel->VPortName, Panel->VPortStatus, Panel->VPortPath}) {
        SCOPED_TRACE(Label->objectName().toStdString());
        EXPECT_EQ(Label->textFormat(), Qt::PlainText);
    }
    const QString name = Panel->VPortName->text();
    EXPECT_TRUE(name == Markup || (name.contains(QChar(0x2026)) && name.startsWith("<b>")))
        << name.toStdString();
    Panel->VPortPath->findChild<QAction *>(QStringLiteral("CopyPath"))->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), Script.Path);
    // Tooltips are rich text when they look like it; these say the text as it is.
    QStringList tips{Panel->VPortPath->toolTip(), Panel->VPortStatus->toolTip()};
    if (name != Markup)
        tips << Panel->VPortName->toolTip();
    for (const QString &Tip : tips) {
        EXPECT_FALSE(Tip.contains(Markup)) << Tip.toStdString();
        EXPECT_TRUE(Tip.contains(QStringLiteral("&lt;b&gt;COM&lt;/b&gt;&lt;img")))
            << Tip.toStdString();
    }
}

// --- Looks -------------------------------------------------------------------------------------

TEST_F(VPortPanel, EverythingIsLegibleInsideTheGroup)
{
    Script.Path = QStringLiteral("/run/user/1000/velmor-debug/COM5");
    Refresh();
    QCoreApplication::processEvents();
    const QRect Area = Group->contentsRect();
    ASSERT_EQ(Panel->geometry(), Area);
    QRect Previous;
    for (QLabel *Label :
         {Panel->Label1, Panel->VPortName, Panel->Status, Panel->VPortStatus, Panel->VPortPath}) {
        SCOPED_TRACE(Label->objectName().toStdString());
        EXPECT_TRUE(Label->isVisible());
        EXPECT_TRUE(Panel->rect().contains(Label->geometry())) << "cut off by the group";
        const QRect Text = Label->fontMetrics().boundingRect(Label->text());
        EXPECT_LE(Text.width(), Label->width()) << "text wider than its label";
        EXPECT_LE(Label->fontMetrics().height(), Label->height());
    }
    EXPECT_FALSE(Panel->Label1->geometry().intersects(Panel->VPortName->geometry()));
    EXPECT_LT(Panel->Label1->geometry().bottom(), Panel->Status->geometry().top());
    EXPECT_LT(Panel->VPortStatus->geometry().bottom(), Panel->VPortPath->geometry().top());
    // The status word at its widest still fits.
    Panel->VPortStatus->setText(QStringLiteral("Idle No Dcd"));
    EXPECT_LE(Panel->VPortStatus->fontMetrics().horizontalAdvance(QStringLiteral("Idle No Dcd")),
              Panel->VPortStatus->width());

    // A path too long for one line keeps its beginning and its name, loses its middle, and is
    // whole in the tooltip and behind "Copy path".
    Script.Path = QStringLiteral("/run/user/1000/velmor-debug/a/rather/deep/folder/of/ports/") +
                  QStringLiteral("bench-rig-7");
    Script.Created = false;
    Refresh();
    const QString Shown = Panel->VPortPath->text();
    EXPECT_TRUE(Shown.startsWith(QStringLiteral("/run/user"))) << Shown.toStdString();
    EXPECT_TRUE(Shown.endsWith(QStringLiteral("bench-rig-7"))) << Shown.toStdString();
    EXPECT_TRUE(Shown.contains(QChar(0x2026))) << Shown.toStdString();
    EXPECT_LE(Panel->VPortPath->fontMetrics().horizontalAdvance(Shown), Panel->VPortPath->width());
    EXPECT_EQ(Panel->VPortPath->toolTip(), Script.Path);
    auto *CopyPath = Panel->VPortPath->findChild<QAction *>(QStringLiteral("CopyPath"));
    ASSERT_NE(CopyPath, nullptr);
    CopyPath->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), Script.Path);
}

TEST_F(VPortPanel, ThePanelFollowsTheGroupsSize)
{
    Refresh();
    Group->resize(240, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(Panel->geometry(), Group->contentsRect());
}

TEST_F(VPortPanel, TheControlGoesWithThePanel)
{
    delete Panel;
    EXPECT_TRUE(Script.Destroyed);
}

// --- With the real control -------------------------------------------------------------------

TEST(VPortPanelReal, APortIsOpenedAtThePathThePanelShows)
{
    const QByteArray OldRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    QTemporaryDir Root;
    ASSERT_TRUE(Root.isValid());
    const QString RuntimeDir = Root.path();
    ASSERT_EQ(::chmod(QFile::encodeName(RuntimeDir).constData(), 0700), 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir));

    QGroupBox Group;
    Group.setGeometry(HostGroupGeometry);
    QComboBox Source;
    Source.setEditable(true);
    Source.setCurrentText(QStringLiteral("COM7"));
    auto *Panel = new TVirtualPort(&Group);
    Panel->PortSource = &Source;
    Panel->RefreshStatus();
    ASSERT_EQ(Panel->VPortStatus->text(), QStringLiteral("Idle"))
        << Panel->VPortStatus->toolTip().toStdString();
    // The path as the user takes it from the panel: its tooltip, whole however it is shown.
    const QString Path = RuntimeDir + QStringLiteral("/velmor-debug/COM7");
    EXPECT_EQ(Panel->VPortPath->toolTip(), Path);

    const int Client = ::open(QFile::encodeName(Panel->VPortPath->toolTip()).constData(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(Client, 0);
    EXPECT_TRUE(test::WaitUntil([&] {
        Panel->RefreshStatus();
        return Panel->VPortStatus->text() == QStringLiteral("Opened");
    }));
    EXPECT_EQ(Panel->VSPortAx->Write("hi", 2), 2);
    char Got[2] = {};
    EXPECT_TRUE(test::WaitUntil([&] { return ::read(Client, Got, 2) == 2; }));
    EXPECT_EQ(QByteArray(Got, 2), QByteArray("hi"));
    ::close(Client);
    EXPECT_TRUE(test::WaitUntil([&] {
        Panel->RefreshStatus();
        return Panel->VPortStatus->text() == QStringLiteral("Idle");
    }));

    // A name the control refuses: the reason is at hand.
    Source.setCurrentText(QStringLiteral("bad/name"));
    Panel->RefreshStatus();
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Error"));
    EXPECT_TRUE(Panel->VPortStatus->toolTip().contains(QStringLiteral("'/'")))
        << Panel->VPortStatus->toolTip().toStdString();
    EXPECT_FALSE(QFileInfo(Path).isSymLink()) << "the old port went on the change of name";
    EXPECT_EQ(Panel->VPortName->text(), QString()) << "the name of a port that is gone";
    EXPECT_EQ(Panel->VPortPath->text(), QString());

    Source.setCurrentText(QStringLiteral("COM\u202e7"));
    Panel->RefreshStatus();
    EXPECT_EQ(Panel->VPortStatus->text(), QStringLiteral("Error"));
    EXPECT_TRUE(Panel->VPortStatus->toolTip().contains(QStringLiteral("U+202E")))
        << Panel->VPortStatus->toolTip().toStdString();

    Source.setCurrentText(QStringLiteral("COM7"));
    Panel->RefreshStatus();
    ASSERT_TRUE(QFileInfo(Path).isSymLink());
    delete Panel;
    EXPECT_FALSE(QFileInfo(Path).isSymLink()) << "DeleteOnExit";
    qputenv("XDG_RUNTIME_DIR", OldRuntimeDir);
}

} // namespace
