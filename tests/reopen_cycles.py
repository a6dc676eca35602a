#!/usr/bin/python3
"""Clients that open the port one right after another, through a running velmor-bridge.

  reopen_cycles.py BRIDGE DRIVER CYCLES

Starts BRIDGE on the simulated device (DRIVER) with a port in a folder of its own, then runs
CYCLES pyserial visits back to back (every fourth exclusive), each opening the port the moment
the one before has closed it, sending a few bytes and reading their echo. Any failed open or
wrong echo is counted; the summary line says how many. Then SIGTERM must stop the bridge with
status 0 and the port gone.
Last, a client that writes and leaves at once: its bytes still go to the device, and their
echo, arriving while nobody holds the port, is dropped and said on stderr, never handed to the
next client. Every wait is bounded, so a fault fails the run and never hangs it.
"""
import collections
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

import serial

PATIENCE_S = 20.0
DEVICE = "SSC Simulator"


def read_line(stream, deadline):
    line = b""
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        byte = os.read(stream.fileno(), 1)
        if not byte:
            break
        line += byte
    return line.decode(errors="replace").strip()


def read_exactly(fd, count, deadline):
    got = b""
    while len(got) < count:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(fd, count - len(got))
        if not chunk:
            break
        got += chunk
    return got


def pyserial_visit(path, visit, faults):
    message = bytes([0x20 + visit % 90, visit % 256, 0x0A])
    try:
        with serial.Serial(path, 115200, timeout=5, exclusive=(visit % 4 == 0) or None) as port:
            port.write(message)
            got = port.read(len(message))
            if got != message:
                faults["pyserial echo"] += 1
    except (serial.SerialException, OSError) as error:
        faults["pyserial: %s" % error] += 1


def leaver_visit(path, said, faults):
    message = bytes(range(0x30, 0x30 + 40))
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, message)
    os.close(fd)
    deadline = time.monotonic() + PATIENCE_S
    wanted = b"Dropped %d bytes from the device" % len(message)
    while time.monotonic() < deadline:
        with open(said, "rb") as stderr:
            if wanted in stderr.read():
                break
        time.sleep(0.05)
    else:
        faults["echo of a client that left not said as dropped"] += 1
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        os.write(fd, b"Z")
        if read_exactly(fd, 1, time.monotonic() + 5) != b"Z":
            faults["a client that left: its echo reached the next"] += 1
    finally:
        os.close(fd)


def main():
    bridge, driver, cycles = sys.argv[1], sys.argv[2], int(sys.argv[3])
    folder = tempfile.mkdtemp(prefix="velmor-reopen-")
    wanted = os.path.join(folder, "ttyReopen")
    said = os.path.join(folder, "stderr.txt")
    with open(said, "wb") as stderr:
        child = subprocess.Popen([bridge, "--driver", driver, "--device", DEVICE, "--port",
                                  wanted], stdout=subprocess.PIPE, stderr=stderr,
                                 stdin=subprocess.DEVNULL)
    faults = collections.Counter()
    try:
        path = read_line(child.stdout, time.monotonic() + PATIENCE_S)
        if path != wanted:
            print("velmor-bridge did not announce its port (said %r)" % path)
            return 1
        started = time.monotonic()
        for visit in range(cycles):
            pyserial_visit(path, visit, faults)
        elapsed = time.monotonic() - started
        leaver_visit(path, said, faults)
    finally:
        child.send_signal(signal.SIGTERM)
        try:
            status = child.wait(timeout=PATIENCE_S)
        except subprocess.TimeoutExpired:
            child.kill()
            status = "killed after SIGTERM was ignored"
    for fault, count in sorted(faults.items()):
        print("  %s: %d" % (fault, count))
    failed = sum(faults.values())
    print("%d visits back to back in %.1f s (%.1f ms a visit), %d failed; bridge exit %s"
          % (cycles, elapsed, 1000.0 * elapsed / cycles, failed, status))
    if status != 0 or os.path.lexists(wanted):
        print("velmor-bridge did not stop cleanly or left its port behind")
        return 1
    if failed:
        with open(said, "rb") as stderr:
            sys.stdout.write(stderr.read().decode(errors="replace")[-4000:])
    os.remove(said)
    os.rmdir(folder)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
