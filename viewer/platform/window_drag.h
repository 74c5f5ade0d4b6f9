#pragma once

class QWidget;

namespace viscana::platform {

// Hands the drag of a frameless top-level window to the system's move loop, from a mouse press on
// it. Returns false when the system offers no such loop (then the window stays where it is).
bool startWindowDrag(QWidget *window);

}  // namespace viscana::platform
