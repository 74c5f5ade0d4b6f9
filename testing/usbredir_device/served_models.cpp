#include "served_models.h"

namespace usbredir {

const std::vector<ModelKind> &servedModels()
{
    static const std::vector<ModelKind> kinds = {
        echoModelKind(),
    };
    return kinds;
}

}  // namespace usbredir
