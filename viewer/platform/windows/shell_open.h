#pragma once

// Opens path (in the ANSI code page) with the shell's "open" verb. Returns ShellExecuteA's answer:
// above 32 for success, otherwise the error code.
long long shellOpenAnsi(const char *path);
