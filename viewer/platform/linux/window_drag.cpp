#include "window_drag.h"

#include <QWidget>
#include <QWindow>

namespace viscana::platform {

bool startWindowDrag(QWidget *window)
{
    QWindow *handle = window ? window->window()->windowHandle() : nullptr;
    return handle && handle->startSystemMove();
}

}  // namespace viscana::platform
