#ifndef QUILLON_PASSWORD_H
#define QUILLON_PASSWORD_H

#include "quillon_api.h"

/* Device passwords.
 *
 * Current scheme: the controller keeps and checks the password itself. A text password travels as a
 * 32-byte block: its bytes (without terminator) followed by zeros, so it is at most 32 bytes long; a
 * longer text, a null text and a null block are refused before anything is sent. The raw forms are
 * eight 32-bit ints (32 bytes).
 *
 * SetPassword: sets the password text (selector 0).
 * SetPassword2: sends a 32-byte block with a selector (0 to 255; other values are refused).
 * VerifyPassword: sends the block for checking; 1 means the controller accepted the command, not that
 *   the password was right (the controller's verdict is not read back).
 * ClearPassword: removes every password.
 * HasPassword: 1 when the controller reports a password set, else 0.
 * DeletePassword: removes the password whose block is given.
 * DeletePassword2: removes the password at index (0 to 255; other values are refused).
 * GetPasswordNumber: the number of passwords, or -1 when the device cannot be asked.
 * GetPasswordInfo: copies the first 32 bytes of the controller's password information to info.
 * SupportPasswordOld: non-zero when the controller accepts the old-scheme probe.
 *
 * Old scheme: the firmware keeps a password record (SHA-1 of the text and a checksum) in both firmware
 * images and in controller memory. Passwords are at most 31 bytes for SetPasswordOld and 32 bytes for
 * VerifyPasswordOld.
 *
 * HasPasswordOld: 1 when the controller's flag word could be read; *isSet becomes 0x20 when a password
 *   is set, else 0, and *usable 1 unless the controller marks the password unusable (null outputs are
 *   skipped).
 * SetPasswordOld: writes the record into both firmware images (every copy, each read back) and into
 *   controller memory and marks the password set. 0 when anything fails; a failure after the first
 *   firmware copy was written leaves what was already written.
 * VerifyPasswordOld: with a password set, checks the text against the stored record (0, with nothing
 *   sent, when it does not match); then hands the text to the controller to unlock.
 * ClearPasswordOld: clears the password flags in both images and in controller memory. */
QUILLON_API int QUILLON_CALL SetPassword(const char* path, const char* password);
QUILLON_API int QUILLON_CALL SetPassword2(const char* path, const unsigned char* block, int selector);
QUILLON_API int QUILLON_CALL VerifyPassword(const char* path, const int* block);
QUILLON_API int QUILLON_CALL ClearPassword(const char* path);
QUILLON_API int QUILLON_CALL HasPassword(const char* path);
QUILLON_API int QUILLON_CALL DeletePassword(const char* path, const int* block);
QUILLON_API int QUILLON_CALL DeletePassword2(const char* path, int index);
QUILLON_API int QUILLON_CALL GetPasswordNumber(const char* path);
QUILLON_API int QUILLON_CALL GetPasswordInfo(const char* path, int* info);
QUILLON_API int QUILLON_CALL SupportPasswordOld(const char* path);

QUILLON_API int QUILLON_CALL HasPasswordOld(const char* path, unsigned* isSet, int* usable);
QUILLON_API int QUILLON_CALL SetPasswordOld(const char* path, const char* password);
QUILLON_API int QUILLON_CALL VerifyPasswordOld(const char* path, const char* password);
QUILLON_API int QUILLON_CALL ClearPasswordOld(const char* path);

#endif
