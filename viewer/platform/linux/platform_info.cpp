#include "platform_info.h"

#include <unistd.h>

namespace viscana::platform {

bool processIsElevated()
{
    return geteuid() == 0;
}

}  // namespace viscana::platform
