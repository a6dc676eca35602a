#pragma once

#include "vport/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

// One pseudo-terminal pair. The control keeps the master; applications open the slave as their
// serial port. The master is non-blocking and close-on-exec. Once the slave has been opened and
// closed, the master reports a hang-up (POLLHUP) whenever no application holds the slave, which
// is how the control tells that the port is open.
class TPty
{
public:
    // Opens a new pair, makes it raw and cycles the slave once.
    static std::optional<TPty> Open(QString &Error);

    int MasterFd() const { return FMaster.Get(); }
    const QByteArray &SlavePath() const { return FSlave; }

    // Raw: no echo, no canonical mode, no CR/LF translation, 8 data bits, no flow control, so
    // that an application that sets nothing still gets the bytes unchanged.
    bool ApplyRaw(QString &Error);
    // Appends to Into what applications wrote and the master has not read yet.
    void TakeUnread(std::vector<char> &Into);
    // Bytes applications wrote that the master can read now. A write is handed to the master's
    // line discipline by a kernel worker a moment after it returns; when the discipline holds
    // nothing yet, this waits for that hand-over, so a finished write is never counted as 0.
    // While the hand-over is under way the count may be short of the whole write.
    std::size_t Unread() const;

private:
    TPty(TUniqueFd Master, QByteArray Slave);
    TUniqueFd OpenSlave() const;

    TUniqueFd FMaster;
    QByteArray FSlave;
};
