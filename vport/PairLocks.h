#pragma once

#include <QByteArray>
#include <string>
#include <vector>

// Whether the program holding a pair has it locked as serial-port software locks a port: a file
// lock on its slave (flock, as pyserial's exclusive=True, picocom and tio take it; or a POSIX
// or open-file-description lock), or the terminal's exclusive mode (TIOCEXCL, as screen sets it).
// File locks show in /proc/locks by the device and inode of the file; the exclusive mode only to
// an open of the terminal, which it refuses with EBUSY unless the opener may override it, so a
// descriptor of our own is opened for a moment and asked (TIOCGEXCL).
class TPairLocks
{
public:
    // Reads the file locks held on the system now.
    TPairLocks();
    // Whether the slave at SlavePath is locked; its exclusive mode is asked only with
    // AskTerminal (the open it takes wakes the port's watcher).
    bool Locked(const QByteArray &SlavePath, bool AskTerminal = true) const;

private:
    // "MAJ:MIN:INODE" of each locked file, as /proc/locks writes them.
    std::vector<std::string> FLockedFiles;
};
