#ifndef QUILLON_DEVICE_H
#define QUILLON_DEVICE_H

#include "quillon_api.h"

/* The fingerprint module, the memory card behind the bridge, SD card locking, serial numbers, the
 * connection traces the firmware keeps in SPI flash, and controller queries and resets. Every export
 * takes the device path first and returns 1 for success and 0 for failure (also when the path cannot
 * be opened or the controller rejects the command) unless its line says otherwise. */

/* Largest reply of a fingerprint module command, in bytes. */
#define QUILLON_FINGER_REPLY_MAX 40
/* A memory card block, in bytes. */
#define QUILLON_CARD_BLOCK_SIZE 512
/* Room a serial-number text needs: at most 49 characters and a terminator. */
#define QUILLON_SERIAL_TEXT_SIZE 50
/* Room a trace text needs: three characters for each of the 8,192 trace bytes and a terminator. */
#define QUILLON_TRACE_TEXT_SIZE 24577

/* IsPressFinger: 1 when a finger lies on the sensor, else 0. */
QUILLON_API int QUILLON_CALL IsPressFinger(const char* path);
/* SetFingerMode: sets mode (0 or 1; any other mode is refused unsent) to value (low byte sent). */
QUILLON_API int QUILLON_CALL SetFingerMode(const char* path, int mode, int value);
/* FingerPrintCommand: sends the 7-byte module command; reply (QUILLON_FINGER_REPLY_MAX bytes) gets 40 bytes when command[3] is 0x7F or 0x71, 32 when 0x7D, else 8. */
QUILLON_API int QUILLON_CALL FingerPrintCommand(const char* path, const unsigned char* command, unsigned char* reply);
/* DeleteFingerInfo: overwrites the fingerprint data block (block 512 of card 0) with 512 zero bytes. */
QUILLON_API int QUILLON_CALL DeleteFingerInfo(const char* path);
/* SetFingerPrintPower: switches the module on (power non-zero) or off (0). */
QUILLON_API int QUILLON_CALL SetFingerPrintPower(const char* path, int power);
/* ReadCard: reads length bytes (length >= 0) of card 0 from block firstBlock (< 2^24) into buffer, block after block; 1 when every block was read. */
QUILLON_API int QUILLON_CALL ReadCard(const char* path, unsigned char* buffer, int length, int firstBlock);
/* WriteCard: writes length bytes (length >= 0) of data to card 0 from block firstBlock (< 2^24), the last block zero-filled; 1 when every block was accepted. */
QUILLON_API int QUILLON_CALL WriteCard(const char* path, const unsigned char* data, int length, int firstBlock);
/* GetCard: reads block (0 to 2^24 - 1) of card 0 into buffer (QUILLON_CARD_BLOCK_SIZE bytes). */
QUILLON_API int QUILLON_CALL GetCard(const char* path, unsigned char* buffer, int block);
/* SetSDCardLockCmd42: sends an SD CMD42 lock operation (low byte of operation) with text (at most 255 bytes, none when null) as its data. */
QUILLON_API int QUILLON_CALL SetSDCardLockCmd42(const char* path, int operation, const char* text);
/* GetSDCardStatus: *status receives the SD card status byte (0 when none came back) whatever the result. */
QUILLON_API int QUILLON_CALL GetSDCardStatus(const char* path, unsigned char* status);
/* GetTFCardSN: serial[0] and serial[1] receive the low and high 32 bits of the card's 64-bit serial number. */
QUILLON_API int QUILLON_CALL GetTFCardSN(const char* path, int* serial);
/* GetFwSN: text (QUILLON_SERIAL_TEXT_SIZE bytes) receives the firmware serial number; 0 when it cannot be read or is malformed. */
QUILLON_API int QUILLON_CALL GetFwSN(const char* path, char* text);
/* Get6623FwSN: as GetFwSN, from where older (6623) controllers keep it. */
QUILLON_API int QUILLON_CALL Get6623FwSN(const char* path, char* text);
/* GetPCTraces: text (QUILLON_TRACE_TEXT_SIZE bytes) receives the PC connection traces, one record a line ended by CR LF, terminated. */
QUILLON_API int QUILLON_CALL GetPCTraces(const char* path, char* text);
/* GetAppleTraces: as GetPCTraces, for the Apple connection traces. */
QUILLON_API int QUILLON_CALL GetAppleTraces(const char* path, char* text);
/* ClearPCTraces: erases the three 4 KiB PC trace sectors; refused on a flash part whose erase sector is not 4 KiB. */
QUILLON_API int QUILLON_CALL ClearPCTraces(const char* path);
/* ClearAppleTraces: as ClearPCTraces, for the Apple trace sectors. */
QUILLON_API int QUILLON_CALL ClearAppleTraces(const char* path);
/* ResetChip: asks the controller to restart; reports nothing. */
QUILLON_API void QUILLON_CALL ResetChip(const char* path);
/* ResetUSB: asks the controller to reconnect to USB; 1 when it accepted (the path may then vanish for a while). */
QUILLON_API int QUILLON_CALL ResetUSB(const char* path);
/* GetDeviceFwVersion: the controller's firmware version word (identify word 2), or -1 when identification fails. */
QUILLON_API int QUILLON_CALL GetDeviceFwVersion(const char* path);
/* IsDevice6623: 1 when the controller identifies as the older 6623 family ("6623" or "BC1"), else 0. */
QUILLON_API int QUILLON_CALL IsDevice6623(const char* path);

#endif
