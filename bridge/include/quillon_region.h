#ifndef QUILLON_REGION_H
#define QUILLON_REGION_H

#include "quillon_api.h"

/* The public and encrypted (cipher) regions of a bridge.
 *
 * GetWholeDiskSize: the number of 512-byte sectors the public and cipher regions share, or -1 when
 * the controller cannot be asked (or reports a reserved area larger than the disk). Sizes from 2^31
 * sectors on come back as the same 32 bits, negative as an int.
 *
 * SetCipherDiskSize: sets the cipher region to size sectors (0 <= size <= the whole-disk size).
 *
 * SetCipherDiskSizeAndFormat: finds the bridge's public and cipher disks, sets the cipher size and
 * writes a fresh file system ("fat32" or "exfat", any case) onto each region, the public one with
 * publicLabel and the cipher one with cipherLabel (labels in the system code page; FAT32 labels at
 * most 11 bytes, exFAT labels at most 11 characters; null is no label). Sizes, labels and the file
 * system are checked before anything is written; a region too small for the file system is refused.
 *
 * IsPublicRegion: 1 when the device is the public region.
 * GetEncryptState: 1 when the controller answered; *encrypted becomes 1 when the region is encrypted,
 * else 0.
 * WriteIsoFile: writes an image file into the controller's CD region from block 0 in 64 KiB pieces
 * (the last one padded with zeros to whole blocks); 1 when every piece was written. */
QUILLON_API int QUILLON_CALL GetWholeDiskSize(const char* path);
QUILLON_API int QUILLON_CALL SetCipherDiskSize(const char* path, int size);
QUILLON_API int QUILLON_CALL SetCipherDiskSizeAndFormat(int cipherSize, const char* fileSystem,
                                                        const char* publicLabel, const char* cipherLabel);
QUILLON_API int QUILLON_CALL IsPublicRegion(const char* path);
QUILLON_API int QUILLON_CALL GetEncryptState(const char* path, unsigned char* encrypted);
QUILLON_API int QUILLON_CALL WriteIsoFile(const char* path, const char* imageFile);

#endif
