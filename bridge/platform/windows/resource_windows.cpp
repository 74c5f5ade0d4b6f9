// Module resources of the library: RCDATA entries of the library's own module.

#include "access/catalogue.h"
#include "platform/backend.h"

#include <windows.h>

namespace quillon {

namespace {

// The handle stored when the library was loaded; when the core is linked into a program instead of
// the DLL, the module that holds this code.
HMODULE OwnModule() {
  if (void* stored = platform::ModuleHandle()) return static_cast<HMODULE>(stored);
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&OwnModule), &module)) {
    return nullptr;
  }
  return module;
}

}  // namespace

bool LoadLibraryResource(int id, std::string_view* data) {
  if (data == nullptr) return false;
  const HMODULE module = OwnModule();
  if (module == nullptr) return false;
  HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(10) /* RT_RCDATA */);
  if (info == nullptr) return false;
  const DWORD size = SizeofResource(module, info);
  HGLOBAL loaded = LoadResource(module, info);
  if (size == 0 || loaded == nullptr) return false;
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return false;
  // Resource memory belongs to the mapped module and stays valid while the module is loaded.
  *data = std::string_view(static_cast<const char*>(bytes), size);
  return true;
}

}  // namespace quillon
