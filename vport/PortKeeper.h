// Keeps the virtual port in place under the name wanted now, and knows its status word. What the
// "Virtual COM info" panel shows and what velmor-bridge says on stderr both come from here; the
// keeper itself needs no widgets.
//
// Each Keep either finds the port there under the wanted name and only reads whether an
// application holds it, or (the port missing, or another name wanted) creates it: Delete first
// when the name changed, CreatePort, and on a refusal ResetBus and CreatePort once more.
#pragma once

#include <QString>

#include <functional>

class IVSPortAx;

class TPortKeeper
{
public:
    // The status words, exactly as the panel shows them.
    static const QString kStatusIdle;
    static const QString kStatusOpened;
    static const QString kStatusIdleNoDcd;
    static const QString kStatusError;

    // What one Keep did.
    enum class TKept {
        Checked, // the port was there: only the open state was read
        Created, // the port was (re)created under the wanted name
        Failed,  // both attempts to create it were refused
    };

    // Resets the control, switches its DSR, RING and DCD off and has it remove its port when it
    // goes. ShownName is the name taken as that of the port so far (the panel's initial caption).
    explicit TPortKeeper(IVSPortAx &Control, const QString &ShownName = QString());

    TKept Keep(const QString &Wanted);

    // Called just before a creation's first CreatePort.
    std::function<void()> Creating;

    // The name of the port last created; empty once that port has gone and no other could be
    // created in its place.
    const QString &Name() const { return FName; }
    // The status word: empty before the first Keep.
    const QString &Status() const { return FStatus; }
    // Whether the last Keep found an application holding the port.
    bool ApplicationHoldsPort() const { return FHeldByApplication; }
    IVSPortAx &Control() const { return FControl; }

private:
    void Created(const QString &Wanted);

    IVSPortAx &FControl;
    QString FName;
    QString FStatus;
    bool FHeldByApplication = false;
    // FName is the name of a port that was created (not the initial one).
    bool FShowsPort = false;
};
