// The Messages window: the device link's last hundred messages, with their times, newest last.
// Opened from the main window's status line; follows the log while it is open.
#pragma once

#include <QWidget>

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

protected:
    void showEvent(QShowEvent *Event) override;

private:
    const TLinkLog &Log;
};
