#pragma once

#include <functional>

class QObject;

namespace viscana::platform {

// Runs handler in the GUI thread when the system asks the process to end (SIGINT or SIGTERM on Linux),
// so that it can close like a click on the close button. A second request while the first is being
// handled ends the process at once. The handler lives as long as context. On Linux a write past the
// file-size limit (SIGXFSZ) no longer ends the process: the write fails instead.
void onTerminationRequest(QObject *context, std::function<void()> handler);

}  // namespace viscana::platform
