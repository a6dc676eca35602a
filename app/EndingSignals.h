// SIGINT, SIGTERM and SIGHUP (Ctrl+C in the terminal, a logout, a plain kill or systemd's stop)
// end the program the way its own way out does, so the device is closed and the port's link
// removed rather than left behind. The signal handler only writes a byte into a pipe; the event
// loop reads it and calls the handler.
#pragma once

#include <functional>

// Needs the application object, which keeps the handler until it goes.
void OnEndingSignals(std::function<void()> Handler);
