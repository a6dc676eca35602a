#include "vport/Pty.h"

#include "vport/SystemError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr char kMasterDevice[] = "/dev/ptmx";
constexpr int kSlaveOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr std::size_t kSlaveNameSize = PATH_MAX;

} // namespace

TPty::TPty(TUniqueFd Master, QByteArray Slave)
    : FMaster(std::move(Master)), FSlave(std::move(Slave))
{
}

std::optional<TPty> TPty::Open(QString &Error)
{
    TUniqueFd master(::open(kMasterDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening %1").arg(kMasterDevice), errno);
        return std::nullopt;
    }
    if (::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        Error = SystemErrorText(QStringLiteral("unlocking the pseudo-terminal"), errno);
        return std::nullopt;
    }
    char name[kSlaveNameSize];
    if (const int err = ::ptsname_r(master.Get(), name, sizeof(name)); err != 0) {
        Error = SystemErrorText(QStringLiteral("naming the pseudo-terminal"), err);
        return std::nullopt;
    }
    TPty pty(std::move(master), QByteArray(name));
    if (!pty.ApplyRaw(Error))
        return std::nullopt;
    // Until its slave has been opened once, a master reports no hang-up and takes writes that
    // nobody will read; one open and close puts it in the state "no application".
    if (TUniqueFd peer = pty.OpenSlave(); !peer.Valid()) {
        Error = SystemErrorText(QStringLiteral("opening %1").arg(QString::fromLatin1(pty.FSlave)),
                                errno);
        return std::nullopt;
    }
    return pty;
}

TUniqueFd TPty::OpenSlave() const
{
    // TIOCGPTPEER opens this pair's slave whatever has become of the path meanwhile.
    TUniqueFd fd(::ioctl(FMaster.Get(), TIOCGPTPEER, kSlaveOpenFlags));
    if (!fd.Valid() && (errno == EINVAL || errno == ENOTTY))
        fd.Reset(::open(FSlave.constData(), kSlaveOpenFlags));
    return fd;
}

bool TPty::ApplyRaw(QString &Error)
{
    termios settings{};
    // Termios requests on the master act on the slave's settings.
    if (::tcgetattr(FMaster.Get(), &settings) != 0) {
        Error = SystemErrorText(QStringLiteral("reading the port's settings"), errno);
        return false;
    }
    settings.c_iflag = 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(FMaster.Get(), TCSANOW, &settings) != 0) {
        Error = SystemErrorText(QStringLiteral("making the port raw"), errno);
        return false;
    }
    return true;
}

std::size_t TPty::Unread() const
{
    // An empty discipline makes poll() finish the hand-over first (a read would too, but it
    // takes the bytes). FIONREAD alone reports only what has been handed over; it is asked only
    // when there is something, so a quiet port costs one call.
    pollfd ready{FMaster.Get(), POLLIN, 0};
    int polled = 0;
    while ((polled = ::poll(&ready, 1, 0)) < 0 && errno == EINTR) {
    }
    if (polled >= 0 && !(ready.revents & POLLIN))
        return 0;
    int queued = 0;
    if (::ioctl(FMaster.Get(), FIONREAD, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}

void TPty::TakeUnread(std::vector<char> &Into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(FMaster.Get(), buffer, sizeof(buffer));
        if (got > 0)
            Into.insert(Into.end(), buffer, buffer + got);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            // EAGAIN: nothing more; EIO: nobody holds the slave and nothing is left.
            return;
    }
}
