#include "access/bridge_device.h"
#include "access/commands.h"
#include "quillon_password.h"
#include "secure/export_device.h"

QUILLON_API int QUILLON_CALL HasPassword(const char* path) {
    quillon::BridgeDevice device;
    if (!quillon::OpenExportDevice(&device, path)) return 0;
    return quillon::CmdHasPassword(device) == 1 ? 1 : 0;
}
