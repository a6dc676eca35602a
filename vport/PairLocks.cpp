#include "vport/PairLocks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

TPairLocks::TPairLocks()
{
    std::string text;
    const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof(buffer))) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    // "1: FLOCK  ADVISORY  WRITE 4150 00:1a:6 0 EOF": the file is the sixth field, and a lock
    // others wait for is listed again after "->", one field further on.
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::vector<std::string> words;
        for (std::size_t word = at; word < end;) {
            word = text.find_first_not_of(' ', word);
            if (word == std::string::npos || word >= end)
                break;
            const std::size_t after = std::min(text.find(' ', word), end);
            words.push_back(text.substr(word, after - word));
            word = after;
        }
        const std::size_t field = words.size() > 1 && words[1] == "->" ? 6 : 5;
        if (words.size() > field)
            FLockedFiles.push_back(words[field]);
        at = end + 1;
    }
}

bool TPairLocks::Locked(const QByteArray &SlavePath, bool AskTerminal) const
{
    struct stat status {
    };
    if (::stat(SlavePath.constData(), &status) != 0)
        return false;
    char key[64];
    std::snprintf(key, sizeof(key), "%02x:%02x:%lu", ::major(status.st_dev), ::minor(status.st_dev),
                  static_cast<unsigned long>(status.st_ino));
    if (std::find(FLockedFiles.begin(), FLockedFiles.end(), key) != FLockedFiles.end())
        return true;
    if (!AskTerminal)
        return false;
    const int fd = ::open(SlavePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return asked && exclusive != 0;
}
