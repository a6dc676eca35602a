#include "dialogs/Messages.h"

#include "device/LinkLog.h"
#include "dialogs/Message.h"
#include "traffic/LineTime.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QVBoxLayout>

#include <chrono>

namespace
{
constexpr QSize kSize{480, 260};
// How long the window lets changes of the log gather before it shows them.
constexpr std::chrono::milliseconds kRefreshPause{250};

// What Save writes: the lines shown, each with its full date and time (traffic/LineTime.h) where
// the window shows the time of day.
QString SavedLines(const TLinkLog &Log, bool Details)
{
    QString lines;
    for (const TLinkLog::TEntry &entry : Log.Entries()) {
        if (!Details && entry.Kind == TLinkEventKind::Detail)
            continue;
        const TLineClock::time_point time{
            std::chrono::milliseconds(entry.Time.toMSecsSinceEpoch())};
        lines += QString::fromStdString(IsoTime(time)) + QStringLiteral("  ") + entry.Text;
        if (entry.Repeats > 1)
            lines += QStringLiteral("  (%1 times)").arg(entry.Repeats);
        lines += QLatin1Char('\n');
    }
    return lines;
}

} // namespace

TMessagesForm::TMessagesForm(TLinkLog &Log, QWidget *Owner) : QWidget(Owner, Qt::Window), Log(Log)
{
    setObjectName("MessagesForm");
    setWindowTitle("Messages");
    resize(kSize);
    MessageList = new QPlainTextEdit(this);
    MessageList->setObjectName("MessageList");
    MessageList->setReadOnly(true);
    MessageList->setLineWrapMode(QPlainTextEdit::NoWrap);
    DetailsCheck = new QCheckBox(QStringLiteral("Details"), this);
    DetailsCheck->setObjectName("DetailsCheck");
    DetailsCheck->setToolTip(QStringLiteral("Show the handshake's steps too"));
    CopyButton = new QPushButton(QStringLiteral("Copy"), this);
    CopyButton->setObjectName("CopyButton");
    SaveButton = new QPushButton(QStringLiteral("Save..."), this);
    SaveButton->setObjectName("SaveButton");
    ClearButton = new QPushButton(QStringLiteral("Clear"), this);
    ClearButton->setObjectName("ClearButton");

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(DetailsCheck);
    buttons->addStretch();
    buttons->addWidget(CopyButton);
    buttons->addWidget(SaveButton);
    buttons->addWidget(ClearButton);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(MessageList);
    layout->addLayout(buttons);

    FRefreshTimer.setSingleShot(true);
    FRefreshTimer.setInterval(kRefreshPause);
    connect(&FRefreshTimer, &QTimer::timeout, this, &TMessagesForm::Refresh);
    connect(DetailsCheck, &QCheckBox::toggled, this, &TMessagesForm::Refresh);
    connect(CopyButton, &QPushButton::clicked, this, &TMessagesForm::CopyClick);
    connect(SaveButton, &QPushButton::clicked, this, &TMessagesForm::SaveClick);
    connect(ClearButton, &QPushButton::clicked, this, &TMessagesForm::ClearClick);
}

void TMessagesForm::LogChanged()
{
    if (isVisible() && !FRefreshTimer.isActive())
        FRefreshTimer.start();
}

void TMessagesForm::Refresh()
{
    FRefreshTimer.stop();
    const bool details = DetailsCheck->isChecked();
    if (!isVisible() || (FShownRevision == Log.Revision() && FShownDetails == details))
        return;
    FShownRevision = Log.Revision();
    FShownDetails = details;
    // Plain text: the messages carry device descriptions and file names from outside.
    MessageList->setPlainText(Log.Lines(details));
    MessageList->verticalScrollBar()->setValue(MessageList->verticalScrollBar()->maximum());
}

void TMessagesForm::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    Refresh();
}

QString TMessagesForm::SaveTo(const QString &File) const
{
    // Written beside the file and renamed over it once whole: a failure leaves what was there.
    QSaveFile file(File);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    file.write(SavedLines(Log, DetailsCheck->isChecked()).toUtf8());
    if (!file.commit())
        return file.errorString();
    return {};
}

void TMessagesForm::CopyClick()
{
    QApplication::clipboard()->setText(Log.Lines(DetailsCheck->isChecked()));
}

void TMessagesForm::SaveClick()
{
    const QString file = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save messages"), QDir::home().filePath("velmor-messages.txt"),
        QStringLiteral("Text files (*.txt);;All files (*)"));
    if (file.isEmpty())
        return;
    if (const QString error = SaveTo(file); !error.isEmpty())
        ShowMessage(this, QStringLiteral("The messages could not be saved to %1: %2")
                              .arg(QDir::toNativeSeparators(file), error));
}

void TMessagesForm::ClearClick()
{
    Log.Clear();
    Refresh();
}
