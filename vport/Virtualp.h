#pragma once

#include <QString>
#include <QWidget>
#include <memory>

class IVSPortAx;
class QComboBox;
class QLabel;
class TPortKeeper;

// The "Virtual COM info" panel: owns the virtual port control, creates the port under the name
// chosen in the Setup dialog's port list and shows the port's name, state and path. It has no
// input of its own; the main window calls RefreshStatus on its timer.
//
// It stays hidden until the first creation, then fills its host group without a border.
class TVirtualPort : public QWidget
{
    Q_OBJECT

public:
    // A null Control gives the real pty-backed control.
    explicit TVirtualPort(QWidget *Owner, std::unique_ptr<IVSPortAx> Control = nullptr);
    ~TVirtualPort() override;

    QLabel *Label1;
    QLabel *Status;
    // Name of the port last created: compared with the wanted name on every refresh. Empty once
    // that port has gone and no other could be created in its place. Names and paths are shown
    // as plain text.
    QLabel *VPortName;
    // Its text is the status word.
    QLabel *VPortStatus;
    IVSPortAx *VSPortAx;
    // Where applications open the port: a name alone does not tell a Linux user that. One line,
    // elided in the middle when long; the whole path in its tooltip and its "Copy path" entry.
    QLabel *VPortPath;
    // The Setup dialog's port list (not owned); set by the main window.
    QComboBox *PortSource = nullptr;

    void RefreshStatus();
    // Whether the last refresh found an application holding the port (the status word "Opened").
    bool ApplicationHoldsPort() const;

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void ShowDetails();
    void ShowPath();
    // Shows FFullName in VPortName, its middle given up when it is too long.
    void ShowName();
    void FillHost();

    std::unique_ptr<IVSPortAx> FOwnedControl;
    // Keeps the port under the wanted name; the labels show what it found.
    std::unique_ptr<TPortKeeper> FKeeper;
    bool FHostWatched = false;
    // The port's path, of which VPortPath shows what fits.
    QString FFullPath;
    // The name of the port last created, of which VPortName shows what fits.
    QString FFullName = QStringLiteral("VPortName");
};
