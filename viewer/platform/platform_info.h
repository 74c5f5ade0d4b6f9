#pragma once

namespace viscana::platform {

// True when the process runs with administrator (Windows) or root (Linux) rights.
bool processIsElevated();

}  // namespace viscana::platform
