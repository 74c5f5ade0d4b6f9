#ifndef QUILLON_FLASH_H
#define QUILLON_FLASH_H

#include <stdint.h>

#include "quillon_api.h"

/* Size of the text ReadFlash writes: the first 64 KiB of the flash from the given address as two
 * lower-case hexadecimal digits and one blank per byte, without a terminator. */
#define QUILLON_FLASH_DUMP_CHARS 196608

/* Reads 64 KiB of the bridge's SPI flash from address (a 24-bit flash address) after identifying the
 * flash part. data receives QUILLON_FLASH_DUMP_CHARS characters (no terminator) and length their
 * count. Returns 1 on success; 0 when the bridge has no flash, identification fails or a read fails,
 * and data and length are then left untouched. */
QUILLON_API int QUILLON_CALL ReadFlash(const char* path, char* data, uint32_t* length, uint32_t address);

/* Erases the flash sector that holds address, with the erase opcode of the identified part. Returns 1
 * on success, 0 on failure. */
QUILLON_API int QUILLON_CALL SectorEraseFlash(const char* path, uint32_t address);

#endif
