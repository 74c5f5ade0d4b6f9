#include "platform_info.h"

#include <windows.h>

namespace viscana::platform {

bool processIsElevated()
{
    // Token elevation exists from Windows Vista (major version 6) on; older systems run everyone elevated.
    DWORD version = GetVersion();
    if (static_cast<DWORD>(LOBYTE(LOWORD(version))) < 6)
        return true;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = sizeof(elevation);
    bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)
                    && elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

}  // namespace viscana::platform
