#!/usr/bin/python3
"""A real serial application for the virtual port's tests.

Opens the port with pyserial, expects all 256 byte values from the control, answers with the
same values in reverse order and exits 0; any difference or a time-out exits non-zero.
"""
import sys
import time

import serial

PATIENCE_S = 60.0
ALL_BYTES = bytes(range(256))


def read_exactly(port, count, deadline):
    got = bytearray()
    while len(got) < count and time.monotonic() < deadline:
        got += port.read(count - len(got))
    return bytes(got)


def main():
    deadline = time.monotonic() + PATIENCE_S
    with serial.Serial(sys.argv[1], 115200, timeout=0.5) as port:
        # Tell the control that the port is open and configured.
        port.write(b"R")
        port.flush()
        got = read_exactly(port, len(ALL_BYTES), deadline)
        if got != ALL_BYTES:
            print("received %d bytes, not all 256 values in order: %r" % (len(got), got[:32]))
            return 1
        port.write(ALL_BYTES[::-1])
        port.flush()
        # Stay open until the control confirms that it has everything.
        if read_exactly(port, 1, deadline) != b"Q":
            print("no closing byte from the control")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
