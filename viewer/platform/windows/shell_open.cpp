#include "shell_open.h"

#include <windows.h>

#include <shellapi.h>

long long shellOpenAnsi(const char *path)
{
    if (path == nullptr || *path == '\0')
        return ERROR_FILE_NOT_FOUND;
    HINSTANCE result = ShellExecuteA(nullptr, "open", path, nullptr, nullptr, SW_SHOWDEFAULT);
    return reinterpret_cast<long long>(result);
}
