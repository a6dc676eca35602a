// A child process that reaches the emulated chips through umockdev's preload (velmor-bridge run
// by a test or a benchmark) gets its descriptors numbered from a place of its own.
//
// umockdev names a process's emulated netlink socket (udev's monitor: velmor-bridge's own, and
// libusb's for every context) by the descriptor's number alone, in the testbed's one folder, so
// two processes that make theirs at one number take each other's socket, and one of them is
// refused ("failed to enable the udev monitor", and libusb_init fails), which no kernel does.
// Children of one program make theirs at the same numbers; started from places apart, they do
// not.
#pragma once

#include <string>
#include <vector>

namespace usbemu
{

// Command (the program, then its arguments) as a command that runs it with a number of
// descriptors already open, different from the last children's (none for the first): bash opens
// them on /dev/null and then becomes the program, with the same process ID.
std::vector<std::string> CommandApart(const std::vector<std::string> &Command);

} // namespace usbemu
