#include <unistd.h>

#include "terminal.h"

namespace quillon::tool {

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

}  // namespace quillon::tool
