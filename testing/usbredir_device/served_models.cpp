#include "served_models.h"

namespace usbredir {

const std::vector<ModelKind> &servedModels()
{
    static const std::vector<ModelKind> kinds = {
        echoModelKind(),
        cameraModelKind(),
    };
    return kinds;
}

}  // namespace usbredir
