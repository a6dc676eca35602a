// The Traffic window: the bytes that moved through the bridge each way, as the lines of a hex
// dump with their times (traffic/TrafficLog.h), the last 64 KiB each way. Opened from the main
// window's status line.
//
// It records only while it is open and not paused, so that a closed window costs the bridge one
// test of a null pointer a tick. Open, it follows the log a few times a second at most, and only
// the lines in view are made into text. Pause holds the view still and stops recording until it
// is pressed again: it stays down meanwhile and reads "Resume". Clear forgets the lines kept;
// Copy puts them all on the clipboard as shown; Save writes them, each with its full date and
// time, to a file the user picks (the file dialog starts in the home folder), a new one or one
// the user agreed to replace.
#pragma once

#include "traffic/TrafficLog.h"

#include <QAbstractScrollArea>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>

class QLabel;
class QPushButton;

// A traffic log's lines, drawn as they come into view.
class TTrafficView final : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit TTrafficView(const TTrafficLog &Log, QWidget *Owner = nullptr);

    // Takes in what the log holds now. When Follow and the newest line was in view, it stays so.
    void Refresh(bool Follow);
    // The lines in view, as drawn.
    QStringList LinesInView() const;

protected:
    void paintEvent(QPaintEvent *Event) override;
    void resizeEvent(QResizeEvent *Event) override;

private:
    void UpdateScrollBars();
    // Calls Draw for each line in view with its top.
    void ForEachInView(const std::function<void(const TTrafficLine &Line, int Top)> &Draw) const;

    const TTrafficLog &Log;
    int FLineHeight = 1;
    int FLineWidth = 1;
};

class TTrafficForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TTrafficForm(QWidget *Owner = nullptr);

    TTrafficView *View;
    QLabel *Kept;
    QPushButton *PauseButton;
    QPushButton *ClearButton;
    QPushButton *CopyButton;
    QPushButton *SaveButton;

    TTrafficLog &Log() { return FLog; }
    // Told the log when recording is to begin (the window shown, or Pause released) and null
    // when it is to end (the window closed, or paused).
    std::function<void(TTrafficLog *Log)> Recording;

    // Shows what the log holds now.
    void Refresh();
    // Writes every line, with its full date and time, to Path: into a new file made there, or, when
    // Replace (the user agreed to replace what is there), into a file that takes its place whole.
    // Why it failed, or empty.
    QString SaveTo(const QString &Path, bool Replace) const;

protected:
    void showEvent(QShowEvent *Event) override;
    void hideEvent(QHideEvent *Event) override;

private:
    void Record(bool On);
    void Paused(bool On);
    void ClearClick();
    void CopyClick();
    void SaveClick();

    TTrafficLog FLog;
    QTimer FRefreshTimer;
    std::uint64_t FShownRevision = ~std::uint64_t{0};
    bool FRecording = false;
};
