#include "window_drag.h"

#include <QWidget>

#include <windows.h>

namespace viscana::platform {

bool startWindowDrag(QWidget *window)
{
    if (!window || !ReleaseCapture())
        return false;
    // SC_MOVE combined with HTCAPTION: the system moves the window with the mouse.
    SendMessageW(reinterpret_cast<HWND>(window->window()->winId()), WM_SYSCOMMAND, 0xF012, 0);
    return true;
}

}  // namespace viscana::platform
