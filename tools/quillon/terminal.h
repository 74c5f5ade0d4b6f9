#ifndef QUILLON_TOOL_TERMINAL_H
#define QUILLON_TOOL_TERMINAL_H

#include <cstdio>
#include <string>

namespace quillon::tool {

// True when the stream is a terminal (a person is watching, so a progress line makes sense).
bool IsTerminal(std::FILE* stream);

// Reads one line of secret text from standard input: on a terminal after the prompt (on standard
// error) with echo turned off, otherwise the next line as it comes (without its line end). False at
// the end of the input or when the terminal cannot be read.
bool ReadSecretLine(const std::string& prompt, std::string* line);

}  // namespace quillon::tool

#endif
