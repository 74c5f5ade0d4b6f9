#include <io.h>

#include "terminal.h"

namespace quillon::tool {

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

}  // namespace quillon::tool
