// The device link's log: what it counts as repeats, and the Messages window following a flood of
// them.
#include "device/LinkLog.h"
#include "dialogs/Messages.h"

#include "tests/Wait.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace
{

// The log's entries as "text×repeats", oldest first.
QString Kept(const TLinkLog &Log)
{
    QStringList kept;
    for (const TLinkLog::TEntry &entry : Log.Entries())
        kept << QStringLiteral("%1x%2").arg(entry.Text).arg(entry.Repeats);
    return kept.join(' ');
}

} // namespace

TEST(LinkLog, ATextOrATurnOfUpToFourTextsSaidAgainIsCountedNotKept)
{
    const struct {
        const char *Said;
        const char *Kept;
    } cases[] = {
        {"A A A", "Ax3"},
        {"A B A B A B", "Ax3 Bx3"},
        {"A B C D A B C D A", "Ax3 Bx2 Cx2 Dx2"},
        // Five in turn are new lines each time.
        {"A B C D E A B C D E", "Ax1 Bx1 Cx1 Dx1 Ex1 Ax1 Bx1 Cx1 Dx1 Ex1"},
        // A turn broken by a new text, then a longer turn.
        {"A B A B C A B C", "Ax3 Bx3 Cx2"},
        {"A B B A", "Ax2 Bx2"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Said);
        TLinkLog log;
        int newTexts = 0;
        for (const QString &text : QString(test.Said).split(' '))
            newTexts += log.Add(TLinkEventKind::Error, text.toStdString()) ? 1 : 0;
        EXPECT_EQ(Kept(log).toStdString(), test.Kept);
        EXPECT_EQ(std::size_t(newTexts), log.Entries().size());
    }
}

TEST(MessagesWindow, AFloodOfMessagesIsShownInAFewRedrawsNotOneEach)
{
    TLinkLog log;
    TMessagesForm form(log);
    log.Changed = [&] { form.LogChanged(); };
    log.Add(TLinkEventKind::State, "Inited");
    form.DetailsCheck->setChecked(true);
    form.show();
    ASSERT_TRUE(form.MessageList->toPlainText().contains("Inited"));
    int redraws = 0;
    QObject::connect(form.MessageList->document(), &QTextDocument::contentsChange,
                     [&] { ++redraws; });
    for (int i = 0; i < 1000; ++i)
        log.Add(TLinkEventKind::Detail, i % 2 == 0 ? "SYNCH ---> 55" : "SYNCH ---> AA");
    // The window follows, the repeats counted.
    EXPECT_TRUE(test::WaitUntil([&] {
        return form.MessageList->toPlainText().contains("SYNCH ---> AA  (500 times)");
    })) << form.MessageList->toPlainText().toStdString();
    EXPECT_LE(redraws, 4);
}
