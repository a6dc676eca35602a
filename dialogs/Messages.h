// The Messages window: the device link's last hundred messages, with their times, newest last.
// Opened from the main window's status line; follows the log while it is open, a few times a
// second at most: a link that reports at every tick would otherwise keep it redrawing.
#pragma once

#include <QTimer>
#include <QWidget>

#include <cstdint>

class QPlainTextEdit;
class TLinkLog;

class TMessagesForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TMessagesForm(const TLinkLog &Log, QWidget *Owner = nullptr);

    QPlainTextEdit *MessageList;

    // Shows what the log holds now.
    void Refresh();
    // The log has changed: shown soon, if the window is open.
    void LogChanged();

protected:
    void showEvent(QShowEvent *Event) override;

private:
    const TLinkLog &Log;
    QTimer FRefreshTimer;
    std::uint64_t FShownRevision = 0;
};
