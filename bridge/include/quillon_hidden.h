#ifndef QUILLON_HIDDEN_H
#define QUILLON_HIDDEN_H

#include "quillon_api.h"

/* The hidden partition and the custom data areas.
 *
 * The hidden partition is N sectors of 512 bytes kept beyond the visible disk: hidden sector i is
 * logical block 2^32 - N + i. N comes from the PC firmware image in the SPI flash.
 *
 * GetHiddenSectorCount: N, or -1 when the firmware image cannot be read, is not valid or does not
 *   carry the count (counts from 2^31 on come back as the same 32 bits, negative as an int).
 * ReadHiddenSector / WriteHiddenSector: count sectors from hidden sector start into or from a buffer
 *   of count x 512 bytes. 1 on success, and at once when N is 0; 0 on failure or when the range does
 *   not lie inside the N sectors; -1 when N cannot be read.
 * FormatHiddenPartition: lays the hidden partition out across the memory cards present; 1 on success,
 *   also when N is 0 or no card is present.
 *
 * Custom data: up to 1,024 bytes in the SPI flash (an erased flash reads as 0xFF bytes).
 * WriteCustomData: writes length bytes (at most 1,024) and reads them back; 1 when equal.
 * ReadCustomData: copies the first length bytes (0 to 1,024) into buffer.
 * The 8352 twins do the same through the controllers that answer the 8352 command set.
 *
 * WriteCustomData2: writes length bytes (at most 512) as above and also into the Apple firmware image
 *   as data records the firmware reads at start (both Apple copies are rewritten, the damaged one or
 *   the second one first).
 * ReadCustomData2: the 128 32-bit words of the data records of the first intact Apple copy; words
 *   beyond the records written are the image bytes that follow them. */
QUILLON_API int QUILLON_CALL GetHiddenSectorCount(const char* path);
QUILLON_API int QUILLON_CALL ReadHiddenSector(const char* path, unsigned start, unsigned count, void* buffer);
QUILLON_API int QUILLON_CALL WriteHiddenSector(const char* path, unsigned start, unsigned count, const void* data);
QUILLON_API int QUILLON_CALL FormatHiddenPartition(const char* path);

QUILLON_API int QUILLON_CALL WriteCustomData(const char* path, const void* data, unsigned length);
QUILLON_API int QUILLON_CALL ReadCustomData(const char* path, void* buffer, int length);
QUILLON_API int QUILLON_CALL WriteCustomData8352(const char* path, const void* data, unsigned length);
QUILLON_API int QUILLON_CALL ReadCustomData8352(const char* path, void* buffer, int length);
QUILLON_API int QUILLON_CALL WriteCustomData2(const char* path, const void* data, int length);
QUILLON_API int QUILLON_CALL ReadCustomData2(const char* path, int* words);

#endif
