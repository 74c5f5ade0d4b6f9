#include "access.h"

#include <windows.h>

namespace viscana::platform {

int isAdministrator(const std::vector<std::wstring> &)
{
    // Token elevation exists from Windows Vista (6.0) on.
    const DWORD version = GetVersion();
    const DWORD majorMinor = static_cast<DWORD>(LOBYTE(LOWORD(version))) * 256 + HIBYTE(LOWORD(version));
    if (majorMinor < 0x0600)
        return 0;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    DWORD elevation = 0;
    DWORD size = 0;
    int answer = 0;
    if (GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && size == sizeof elevation)
        answer = static_cast<int>(elevation);
    CloseHandle(token);
    return answer;
}

}  // namespace viscana::platform
