#pragma once

// The viewer's whole start-up and run: the application, the log handler, the interface catalogue and the
// main window; returns the exit code of the event loop. The program's main calls it, and so can any
// other program that has to prepare something before the viewer starts.
int viewerMain(int argc, char *argv[]);
