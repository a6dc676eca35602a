#include "vport/Pty.h"

#include "vport/SystemError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr char MasterDevice[] = "/dev/ptmx";
constexpr int SlaveOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr std::size_t SlaveNameSize = PATH_MAX;

} // namespace

TPty::TPty(TUniqueFd Master, QByteArray Slave) : Master(std::move(Master)), Slave(std::move(Slave))
{
}

std::optional<TPty> TPty::Open(QString &Error)
{
    TUniqueFd Master(::open(MasterDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Master.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening %1").arg(MasterDevice), errno);
        return std::nullopt;
    }
    if (::grantpt(Master.Get()) != 0 || ::unlockpt(Master.Get()) != 0) {
        Error = SystemErrorText(QStringLiteral("unlocking the pseudo-terminal"), errno);
        return std::nullopt;
    }
    char Name[SlaveNameSize];
    if (const int Err = ::ptsname_r(Master.Get(), Name, sizeof(Name)); Err != 0) {
        Error = SystemErrorText(QStringLiteral("naming the pseudo-terminal"), Err);
        return std::nullopt;
    }
    TPty Pty(std::move(Master), QByteArray(Name));
    if (!Pty.ApplyRaw(Error))
        return std::nullopt;
    // Until its slave has been opened once, a master reports no hang-up and takes writes that
    // nobody will read; one open and close puts it in the state "no application".
    if (TUniqueFd Peer = Pty.OpenSlave(); !Peer.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening %1").arg(QString::fromLatin1(Pty.Slave)),
                                errno);
        return std::nullopt;
    }
    return Pty;
}

TUniqueFd TPty::OpenSlave() const
{
    // TIOCGPTPEER opens this pair's slave whatever has become of the path meanwhile.
    TUniqueFd Fd(::ioctl(Master.Get(), TIOCGPTPEER, SlaveOpenFlags));
    if (!Fd.Valid() && (errno == EINVAL || errno == ENOTTY))
        Fd.Reset(::open(Slave.constData(), SlaveOpenFlags));
    return Fd;
}

bool TPty::ApplyRaw(QString &Error)
{
    termios Settings{};
    // Termios requests on the master act on the slave's settings.
    if (::tcgetattr(Master.Get(), &Settings) != 0) {
        Error = SystemErrorText(QStringLiteral("reading the port's settings"), errno);
        return false;
    }
    Settings.c_iflag = 0;
    Settings.c_oflag = 0;
    Settings.c_lflag = 0;
    Settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    Settings.c_cflag |= CS8 | CREAD | CLOCAL;
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
    if (::tcsetattr(Master.Get(), TCSANOW, &Settings) != 0) {
        Error = SystemErrorText(QStringLiteral("making the port raw"), errno);
        return false;
    }
    return true;
}

void TPty::TakeUnread(std::vector<char> &Into)
{
    char Buffer[4096];
    for (;;) {
        const ssize_t Got = ::read(Master.Get(), Buffer, sizeof(Buffer));
        if (Got > 0)
            Into.insert(Into.end(), Buffer, Buffer + Got);
        else if (Got < 0 && errno == EINTR)
            continue;
        else
            // EAGAIN: nothing more; EIO: nobody holds the slave and nothing is left.
            return;
    }
}
