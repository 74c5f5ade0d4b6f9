#ifndef QUILLON_TOOL_TERMINAL_H
#define QUILLON_TOOL_TERMINAL_H

#include <cstdio>

namespace quillon::tool {

// True when the stream is a terminal (a person is watching, so a progress line makes sense).
bool IsTerminal(std::FILE* stream);

}  // namespace quillon::tool

#endif
