#!/usr/bin/python3
"""A client of the virtual port's tests that runs as another user.

  visit PATH  opens the port, makes it exclusive (TIOCEXCL) and closes it at once without
              lifting the exclusive mode
  open PATH   opens the port and closes it; exits 0 only if the open succeeded
"""
import fcntl
import os
import sys
import termios


def main():
    mode, path = sys.argv[1], sys.argv[2]
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    except OSError as error:
        print("opening %s failed: %s" % (path, error.strerror))
        return 1
    if mode == "visit":
        fcntl.ioctl(fd, termios.TIOCEXCL)
    os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
