// The About dialog: logo, name and version. Created once, shown modeless, hidden when closed.
#pragma once

#include <QWidget>

class QKeyEvent;
class QLabel;

class TAboutForm final : public QWidget
{
    Q_OBJECT

public:
    explicit TAboutForm(QWidget *Owner = nullptr);

    QLabel *StaticText1;
    QLabel *StaticText2;
    QLabel *Image1;

protected:
    // Escape closes it, as it closes a dialog.
    void keyPressEvent(QKeyEvent *Event) override;
};

extern TAboutForm *AboutForm;
