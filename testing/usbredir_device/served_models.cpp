#include "served_models.h"

namespace usbredir {

const std::vector<ModelKind> &servedModels()
{
    static const std::vector<ModelKind> kinds = {
        echoModelKind(),
        cameraModelKind(),
#ifdef USBREDIR_SERVES_BRIDGE
        bridgeModelKind(),
#endif
    };
    return kinds;
}

}  // namespace usbredir
