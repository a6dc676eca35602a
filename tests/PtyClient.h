// A program on the port, as the tests play it: it opens the path as serial-port software does
// (O_RDWR | O_NOCTTY | O_NONBLOCK, raw settings unless asked not to), and every write and every
// wait for bytes is bounded, so that a fault fails a test instead of hanging it. Events are
// processed while it waits, so a bridge that runs on the test's own event loop keeps going.
#pragma once

#include "tests/Wait.h"

#include <QFile>
#include <QString>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace test
{

class TPtyClient
{
public:
    enum class TSetup { None, Raw };

    explicit TPtyClient(const QString &Path, TSetup Setup = TSetup::Raw)
        : FFd(::open(QFile::encodeName(Path).constData(),
                     O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (FFd < 0 || Setup == TSetup::None)
            return;
        termios settings{};
        ::tcgetattr(FFd, &settings);
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B115200);
        ::tcsetattr(FFd, TCSANOW, &settings);
    }
    ~TPtyClient() { Close(); }
    TPtyClient(const TPtyClient &) = delete;
    TPtyClient &operator=(const TPtyClient &) = delete;

    bool IsOpen() const { return FFd >= 0; }
    int Handle() const { return FFd; }
    void Close()
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

    // Writes all of Bytes, waiting while the port is full; false on a write error, or when the
    // port takes nothing more within Patience.
    bool Write(std::string_view Bytes, std::chrono::milliseconds Patience = kPatience)
    {
        std::size_t done = 0;
        bool failed = false;
        WaitUntil(
            [&] {
                const ssize_t n = ::write(FFd, Bytes.data() + done, Bytes.size() - done);
                if (n > 0)
                    done += std::size_t(n);
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    failed = true;
                return failed || done == Bytes.size();
            },
            Patience);
        return !failed && done == Bytes.size();
    }

    // What has arrived by now, at most Limit bytes; it is kept in Received too.
    std::string ReadSome(std::size_t Limit = 65536)
    {
        std::string bytes(Limit, '\0');
        const ssize_t n = ::read(FFd, bytes.data(), Limit);
        bytes.resize(n > 0 ? std::size_t(n) : 0);
        Received += bytes;
        return bytes;
    }
    // Everything that has arrived by now.
    std::string ReadAvailable()
    {
        std::string bytes;
        for (std::string some = ReadSome(); !some.empty(); some = ReadSome())
            bytes += some;
        return bytes;
    }
    // Count bytes, or what came of them within Patience.
    std::string ReadExactly(std::size_t Count, std::chrono::milliseconds Patience = kPatience)
    {
        std::string bytes;
        WaitUntil(
            [&] {
                bytes += ReadSome(Count - bytes.size());
                return bytes.size() >= Count;
            },
            Patience);
        return bytes;
    }
    // Waits until Expected is among all that has arrived (Received); false after Patience.
    bool Receive(std::string_view Expected, std::chrono::milliseconds Patience = kPatience)
    {
        return WaitUntil(
            [&] {
                ReadAvailable();
                return Received.find(Expected) != std::string::npos;
            },
            Patience);
    }

    // Everything read since the port was opened.
    std::string Received;

private:
    int FFd;
};

} // namespace test
