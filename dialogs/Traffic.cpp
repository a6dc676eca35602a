#include "dialogs/Traffic.h"

#include "dialogs/Message.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace
{
constexpr QSize kSize{660, 320};
// How often the open window looks for new lines.
constexpr std::chrono::milliseconds kRefreshPause{250};
// The widest line: time, direction, sixteen bytes in hex and as text.
constexpr int kLineChars = 12 + 2 + 16 * 3 + 2 + 16;
constexpr int kMargin = 4;
// The Pause button's caption, and what it reads while paused.
const char *const kPauseCaption = "Pause";
const char *const kResumeCaption = "Resume";
const char *const kPauseTip = "Hold the view and stop recording";
const char *const kResumeTip = "Paused: nothing is recorded meanwhile. Press to go on";

QString Amount(std::size_t Bytes)
{
    return Bytes < 10000 ? QStringLiteral("%1 B").arg(Bytes)
                         : QStringLiteral("%1 KiB").arg(double(Bytes) / 1024, 0, 'f', 1);
}

} // namespace

TTrafficView::TTrafficView(const TTrafficLog &Log, QWidget *Owner)
    : QAbstractScrollArea(Owner), Log(Log)
{
    setObjectName("TrafficView");
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    FLineHeight = std::max(1, fontMetrics().lineSpacing());
    FLineWidth =
        fontMetrics().horizontalAdvance(QString(kLineChars, QLatin1Char('0'))) + 2 * kMargin;
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
}

void TTrafficView::UpdateScrollBars()
{
    const int rows = std::max(1, viewport()->height() / FLineHeight);
    const int lines = int(std::min<std::size_t>(Log.LineCount(), INT_MAX));
    verticalScrollBar()->setPageStep(rows);
    verticalScrollBar()->setRange(0, std::max(0, lines - rows));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setRange(0, std::max(0, FLineWidth - viewport()->width()));
}

void TTrafficView::Refresh(bool Follow)
{
    QScrollBar *bar = verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    UpdateScrollBars();
    if (Follow && atEnd)
        bar->setValue(bar->maximum());
    viewport()->update();
}

void TTrafficView::resizeEvent(QResizeEvent *Event)
{
    QAbstractScrollArea::resizeEvent(Event);
    Refresh(true);
}

void TTrafficView::ForEachInView(
    const std::function<void(const TTrafficLine &Line, int Top)> &Draw) const
{
    int top = 0;
    const int height = viewport()->height();
    Log.Visit(std::size_t(verticalScrollBar()->value()), [&](const TTrafficLine &Line) {
        if (top >= height)
            return false;
        Draw(Line, top);
        top += FLineHeight;
        return true;
    });
}

void TTrafficView::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const int left = kMargin - horizontalScrollBar()->value();
    const int ascent = fontMetrics().ascent();
    // From the device in the link colour, so that the two directions tell apart at a glance.
    const QColor to = palette().color(QPalette::Text);
    const QColor from = palette().color(QPalette::Link);
    ForEachInView([&](const TTrafficLine &Line, int Top) {
        painter.setPen(Line.Direction == TTrafficDirection::ToDevice ? to : from);
        painter.drawText(left, Top + ascent, QString::fromLatin1(TrafficLineText(Line)));
    });
}

QStringList TTrafficView::LinesInView() const
{
    QStringList lines;
    ForEachInView([&](const TTrafficLine &Line, int) {
        lines << QString::fromLatin1(TrafficLineText(Line));
    });
    return lines;
}

TTrafficForm::TTrafficForm(QWidget *Owner) : QWidget(Owner, Qt::Window)
{
    setObjectName("TrafficForm");
    setWindowTitle("Traffic");
    resize(kSize);
    View = new TTrafficView(FLog, this);
    Kept = new QLabel(this);
    Kept->setObjectName("TrafficKept");
    // Wide enough for either caption, so that the buttons beside it never move.
    PauseButton = new QPushButton(kResumeCaption, this);
    const int resumeWidth = PauseButton->sizeHint().width();
    PauseButton->setText(kPauseCaption);
    PauseButton->setMinimumWidth(std::max(resumeWidth, PauseButton->sizeHint().width()));
    PauseButton->setObjectName("PauseButton");
    PauseButton->setCheckable(true);
    PauseButton->setToolTip(kPauseTip);
    ClearButton = new QPushButton("Clear", this);
    ClearButton->setObjectName("ClearButton");
    CopyButton = new QPushButton("Copy", this);
    CopyButton->setObjectName("CopyButton");
    SaveButton = new QPushButton("Save", this);
    SaveButton->setObjectName("SaveButton");

    auto *buttons = new QHBoxLayout();
    buttons->addWidget(PauseButton);
    buttons->addWidget(ClearButton);
    buttons->addWidget(CopyButton);
    buttons->addWidget(SaveButton);
    buttons->addSpacing(8);
    buttons->addWidget(Kept, 1);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(View, 1);
    layout->addLayout(buttons);

    FRefreshTimer.setInterval(kRefreshPause);
    connect(&FRefreshTimer, &QTimer::timeout, this, [this] {
        if (FLog.Revision() != FShownRevision)
            Refresh();
    });
    connect(PauseButton, &QPushButton::toggled, this, &TTrafficForm::Paused);
    connect(ClearButton, &QPushButton::clicked, this, &TTrafficForm::ClearClick);
    connect(CopyButton, &QPushButton::clicked, this, &TTrafficForm::CopyClick);
    connect(SaveButton, &QPushButton::clicked, this, &TTrafficForm::SaveClick);
}

void TTrafficForm::Record(bool On)
{
    if (On == FRecording)
        return;
    FRecording = On;
    if (Recording)
        Recording(On ? &FLog : nullptr);
    if (On)
        FRefreshTimer.start();
    else
        FRefreshTimer.stop();
}

void TTrafficForm::Refresh()
{
    FShownRevision = FLog.Revision();
    View->Refresh(!PauseButton->isChecked());
    Kept->setText(QStringLiteral("Kept: %1 to the device, %2 from it")
                      .arg(Amount(FLog.Kept(TTrafficDirection::ToDevice)),
                           Amount(FLog.Kept(TTrafficDirection::FromDevice))));
}

void TTrafficForm::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    // Shown again after being minimised: it never stopped.
    if (Event->spontaneous())
        return;
    Record(!PauseButton->isChecked());
    Refresh();
}

void TTrafficForm::hideEvent(QHideEvent *Event)
{
    QWidget::hideEvent(Event);
    // Minimised, it goes on recording: only closing it stops.
    if (!Event->spontaneous())
        Record(false);
}

void TTrafficForm::Paused(bool On)
{
    // Down while paused, and saying what pressing it again does.
    PauseButton->setText(On ? kResumeCaption : kPauseCaption);
    PauseButton->setToolTip(On ? kResumeTip : kPauseTip);
    Record(!On && isVisible());
    Refresh();
}

void TTrafficForm::ClearClick()
{
    FLog.Clear();
    Refresh();
}

void TTrafficForm::CopyClick()
{
    QGuiApplication::clipboard()->setText(QString::fromLatin1(FLog.Text()));
}

void TTrafficForm::SaveClick()
{
    const QString path =
        QFileDialog::getSaveFileName(this, "Save traffic", QDir::home().filePath("traffic.txt"),
                                     "Text files (*.txt);;All files (*)");
    if (path.isEmpty())
        return;
    // The dialog asked before it let the user pick a file that is there.
    struct stat found = {};
    const bool there = ::lstat(QFile::encodeName(path).constData(), &found) == 0;
    if (const QString failed = SaveTo(path, there); !failed.isEmpty())
        ShowMessage(this, QStringLiteral("Traffic not saved"), failed);
}

QString TTrafficForm::SaveTo(const QString &Path, bool Replace) const
{
    const std::string text = FLog.Text(TTrafficTime::Iso);
    if (Replace) {
        // Written beside it and put in its place whole, or not at all.
        QSaveFile file(Path);
        if (!file.open(QIODevice::WriteOnly))
            return QStringLiteral("%1: %2").arg(Path, file.errorString());
        if (file.write(text.data(), qint64(text.size())) != qint64(text.size()) || !file.commit())
            return QStringLiteral("%1: %2").arg(Path, file.errorString());
        return {};
    }
    // Nothing was there when the user picked the name; whatever came since is left alone.
    const int fd = ::open(QFile::encodeName(Path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == EEXIST
                   ? QStringLiteral("%1 has appeared meanwhile; it was left as it is").arg(Path)
                   : QStringLiteral("%1: %2").arg(Path, QString::fromLocal8Bit(strerror(errno)));
    }
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written > 0)
            done += std::size_t(written);
        else if (written == 0 || errno != EINTR)
            error = written == 0 ? ENOSPC : errno;
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        return QStringLiteral("%1: %2").arg(Path, QString::fromLocal8Bit(strerror(error)));
    return {};
}
