#include "termination.h"

namespace viscana::platform {

// A Windows GUI program has no console signals; the session's end reaches the window as a close.
void onTerminationRequest(QObject *, std::function<void()>) {}

}  // namespace viscana::platform
