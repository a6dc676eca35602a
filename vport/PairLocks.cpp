#include "vport/PairLocks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>

TPairLocks::TPairLocks()
{
    // "1: FLOCK  ADVISORY  WRITE 4150 00:1a:6 0 EOF": the file is the sixth field, and a lock
    // others wait for is listed again after "->", one field further on.
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        const std::size_t at = words.size() > 1 && words[1] == "->" ? 6 : 5;
        if (words.size() > at)
            FLockedFiles.push_back(words[at]);
    }
}

bool TPairLocks::Locked(const QByteArray &SlavePath) const
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
    const int fd = ::open(SlavePath.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return asked && exclusive != 0;
}
