#ifndef QUILLON_FIRMWARE_H
#define QUILLON_FIRMWARE_H

#include <stdint.h>

#include "quillon_api.h"

/* Capacity CheckFw relies on in its text buffer. The report holds at most eight lines of well under
 * 100 characters each, and is always terminated. */
#define QUILLON_CHECK_FW_TEXT_CAPACITY 8192

/* Checks the four firmware copies of the bridge (in SPI flash, or on each memory card present) and
 * writes one line per copy into text, for example
 *   "PC fw copy 0 is OK. Firmware version is 1.2.3.4.\r\n"
 *   "Apple fw copy 1 on card 0 is error.\r\n"
 * The text starts empty; a bridge that cannot be reached gets no lines. Always returns 1. */
QUILLON_API int QUILLON_CALL CheckFw(const char* path, char* text);

/* Writes a firmware file (hexadecimal byte values each followed by a blank; line breaks are ignored)
 * holding the PC image and optionally the Apple image to every firmware copy of the bridge and reads
 * each copy back. product, when not null or empty, becomes the product string (plain ASCII, at most 62
 * characters). A damaged file, an unusable product string or an unsuitable bridge is refused before
 * anything is written. Returns 1 when the firmware was written and verified, else 0. */
QUILLON_API int QUILLON_CALL UpdateFw(const char* path, const char* file, uint32_t fileLength, const char* product);

#endif
