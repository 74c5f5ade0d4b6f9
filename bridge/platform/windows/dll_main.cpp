// Library entry point: keeps the module handle for finding the library's own resources.

#include <windows.h>

#include "platform/backend.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
  quillon::platform::SetModuleHandle(instance);
  return TRUE;
}
