#ifndef QUILLON_SECURE_FAT32_FORMAT_H
#define QUILLON_SECURE_FAT32_FORMAT_H

// FAT32 for a whole region without a partition table: the parameter record is computed first, then
// each area (FATs, root directory, boot sectors, FSInfo, reserved sectors) is written by its own step.

#include <cstdint>
#include <string>

#include "secure/format.h"
#include "secure/format_writer.h"

namespace quillon {

// Fewer clusters than this and a checker takes the volume for FAT16 (the published FAT32 format).
constexpr uint32_t kFat32MinClusters = 65525;
constexpr uint32_t kFat32LabelBytes = 11;
// Printable ASCII characters a FAT32 volume label may not hold.
constexpr char kFat32LabelForbidden[] = "\"*+,./:;<=>?[\\]|";
// The FATs are cleared in pieces of this many sectors (8 MiB).
constexpr uint32_t kFat32ZeroPieceSectors = 16384;

struct Fat32Params {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 0;  // SPC
    uint16_t reservedSectors = 32;
    uint8_t numberOfFats = 2;
    uint16_t rootEntries = 0;
    uint8_t media = 0xF8;
    uint16_t sectorsPerTrack = 63;
    uint16_t heads = 255;
    uint32_t hiddenSectors = 0;
    uint32_t totalSectors = 0;  // T
    uint32_t fatSectors = 0;    // F
    uint16_t extendedFlags = 0;
    uint16_t fsVersion = 0;
    uint32_t rootCluster = 2;
    uint16_t fsInfoSector = 1;
    uint16_t backupBootSector = 6;
    uint32_t firstFatSector = 32;
    uint32_t firstDataSector = 0;  // D = 32 + 2F
    uint32_t clustersPlus2 = 0;    // K
};

// Sectors per cluster by size in whole MiB: above 32 GiB 64, above 16 GiB 32, above 8 GiB 16,
// above 512 MiB 8, otherwise 1.
uint8_t Fat32SectorsPerCluster(uint32_t totalSectors);

// Fills the parameter record for a region of totalSectors. False when the region cannot hold a FAT32
// volume (fewer than kFat32MinClusters clusters), so nothing may be written to it.
bool ComputeFat32Params(uint32_t totalSectors, Fat32Params* params);

// The volume serial number stamped from the local time.
uint32_t Fat32SerialNumber(const FormatTime& now);

// A label fits when it has at most 11 bytes, all printable ASCII and none of
// " * + , . / : ; < = > ? [ \ ] | (not allowed in FAT names). An empty label gives a volume without one.
bool Fat32LabelFits(const std::string& label);

// Formats totalSectors sectors of target; nothing is written when the size or label is refused.
bool FormatFat32(SectorWriter& target, uint32_t totalSectors, const std::string& label, const FormatTime& now);

}  // namespace quillon

#endif
