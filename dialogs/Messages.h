// The Messages window: the device link's states and errors, with their times, newest last; the
// handshake's details too when Details is ticked. Copy puts what is shown on the clipboard, Save
// writes it to a file, each line with its full date and time (the file dialog starts in the home
// folder), Clear forgets it. Opened from the main window's status line; follows the
// log while it is open, a few times a second at most: a link that reports at every tick would
// otherwise keep it redrawing.
#pragma once

#include <QTimer>
#include <QWidget>

#include <cstdint>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class TLinkLog;

class TMessagesForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TMessagesForm(TLinkLog &Log, QWidget *Owner = nullptr);

    QPlainTextEdit *MessageList;
    QCheckBox *DetailsCheck;
    QPushButton *CopyButton;
    QPushButton *SaveButton;
    QPushButton *ClearButton;

    // Shows what the log holds now.
    void Refresh();
    // The log has changed: shown soon, if the window is open.
    void LogChanged();
    // Writes what is shown to File, each line with its full date and time; an empty text when it
    // worked, else why not.
    QString SaveTo(const QString &File) const;

protected:
    void showEvent(QShowEvent *Event) override;

private:
    void CopyClick();
    void SaveClick();
    void ClearClick();

    TLinkLog &Log;
    QTimer FRefreshTimer;
    std::uint64_t FShownRevision = 0;
    bool FShownDetails = false;
};
