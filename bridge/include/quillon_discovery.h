#ifndef QUILLON_DISCOVERY_H
#define QUILLON_DISCOVERY_H

#include "quillon_api.h"

/* Finds the bridges attached to the machine. path receives the device path of a bridge (at most 24
 * characters and a terminator: give a buffer of at least 25 bytes). The result is an enumeration
 * handle to pass to FindNextDevice, or 0 when no (further) bridge was found; path is then left
 * unchanged. */
QUILLON_API int QUILLON_CALL FindFirstDevice(char* path);
QUILLON_API int QUILLON_CALL FindNextDevice(char* path, int handle);

#endif
