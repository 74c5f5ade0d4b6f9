#pragma once

// The few options the viewer answers itself, before any window or Qt application exists: --help and
// --version print and end the process (they need no display); every other argument goes to Qt.
extern const char *const kViewerHelp;

// Returns the exit status when an option was answered, -1 when the viewer is to start.
int answerInfoOptions(int argc, char *argv[]);
