// LoadLibraryA / GetProcAddress and the PE export directory of the loaded DLL.

#include <windows.h>

#include <algorithm>

#include "library_loader.h"

namespace quillon::testing {

void* LoadQuillonLibrary() { return reinterpret_cast<void*>(LoadLibraryA("Quillon.dll")); }

void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::vector<std::string> ExportedNames(void* library) {
  std::vector<std::string> names;
  const auto* base = static_cast<const BYTE*>(library);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) names.emplace_back(reinterpret_cast<const char*>(base + rvas[i]));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace quillon::testing
