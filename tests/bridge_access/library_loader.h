#ifndef QUILLON_TESTS_LIBRARY_LOADER_H
#define QUILLON_TESTS_LIBRARY_LOADER_H

// Loads the built library the way a host program does and lists what it exports.

#include <string>
#include <vector>

namespace quillon::testing {

void* LoadQuillonLibrary();
void* LibrarySymbol(void* library, const char* name);
// The names in the library's export table (or dynamic symbol table), sorted.
std::vector<std::string> ExportedNames(void* library);

}  // namespace quillon::testing

#endif
