// SIGINT, SIGTERM and SIGHUP (Ctrl+C in the terminal, a logout, a plain kill or systemd's stop)
// end the program the way its own way out does, so the device is closed and the port's link
// removed rather than left behind. The signal handler only writes a byte into a pipe; the event
// loop reads it and calls the handler. Outside the event loop nothing reads that pipe, and
// start-up may be blocked where only a signal can end it (a driver's open of its device, a write
// to a stdout nobody reads): a signal there ends the program at once, the port removed, as the
// signals that end a process at once do (vport/PortExit.h). So does a second signal while the
// program stops after its loop.
//
// SIGPIPE is ignored: a reader of stdout or stderr that has gone makes the write fail with EPIPE,
// for the program to deal with, instead of ending it in silence.
//
// SIGUSR1 asks for the log file to be opened again (logrotate's postrotate sends it). It never
// ends the program: its handler only writes a byte into a pipe of its own, in the loop or
// outside, and the event loop reads it and calls the handler, at once or as soon as it runs.
#pragma once

#include <functional>

// Needs the application object, which keeps the handler until it goes.
void OnEndingSignals(std::function<void()> Handler);
// SIGUSR1 through the event loop from now on. Needs the application object, as above.
void OnReopenSignal(std::function<void()> Handler);

// Lives while the event loop runs (around exec()): only then do the ending signals go through it.
class TSignalsThroughLoop
{
public:
    TSignalsThroughLoop();
    ~TSignalsThroughLoop();
    TSignalsThroughLoop(const TSignalsThroughLoop &) = delete;
    TSignalsThroughLoop &operator=(const TSignalsThroughLoop &) = delete;
};
