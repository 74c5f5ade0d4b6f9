#ifndef QUILLON_H
#define QUILLON_H

/* Quillon: exports for host programs that manage USB storage bridges. Every export takes the device
 * path returned by FindFirstDevice/FindNextDevice (at most 24 characters) and returns 1 for success
 * and 0 for failure, unless its header says otherwise. */

#include "quillon_api.h"
#include "quillon_discovery.h"
#include "quillon_flash.h"
#include "quillon_firmware.h"
#include "quillon_password.h"
#include "quillon_hidden.h"
#include "quillon_region.h"
#include "quillon_device.h"

#endif
