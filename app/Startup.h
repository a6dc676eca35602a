// Start-up and shutdown around the main window: what main() does once the application object
// exists, kept in the library so that the tests run the very same steps.
#pragma once

#include <optional>

class QApplication;

// The window takes no arguments of its own. --help and --version answer on stdout (status 0);
// anything else is refused with a one-line usage on stderr (status 2). Nothing: go on and open
// the window. Looked at before any display is needed.
std::optional<int> AnswerCommandLine(int argc, const char *const *argv);

// Names and icon of the application. No display name is set: the toolkit would append it to every
// window's caption ("Setup — Velmor Debug"), and the captions are the windows' own.
void ConfigureApplication();

// Empty when the toolkit can reach a display; else one line for stderr that says what is missing.
// Checked before the application object is made, which would end the process without a word a
// user can act on.
const char *MissingDisplay();

// Creates the windows, runs the event loop until the main window closes or the process is asked
// to end (SIGINT, SIGTERM, SIGHUP), and destroys the windows; every window that is open, the About
// window included, goes with the main one. Returns the exit status.
int RunMainWindow();
