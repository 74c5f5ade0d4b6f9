#ifndef QUILLON_SECURE_EXFAT_FORMAT_H
#define QUILLON_SECURE_EXFAT_FORMAT_H

// exFAT for a whole region without a partition table: the layout (cluster size, FAT, cluster heap,
// bitmap) is computed first, then the boot regions, the first FAT sector, the allocation bitmap, the
// up-case table and the root directory are each written by their own step.

#include <cstdint>
#include <string>

#include "secure/format_writer.h"

namespace quillon {

constexpr uint32_t kExfatLabelChars = 11;
constexpr uint32_t kExfatBootRegionSectors = 12;
constexpr uint32_t kExfatFatOffset = 2048;

struct ExfatLayout {
    uint32_t totalSectors = 0;         // T
    uint32_t clusterShift = 0;         // bytes per cluster = 2^clusterShift
    uint32_t sectorsPerClusterShift = 0;  // e
    uint32_t f = 0;                    // (T - 1) / 2^e, the cluster count the FAT is sized for
    uint32_t fatOffset = kExfatFatOffset;
    uint32_t fatLength = 0;            // H - 2048
    uint32_t clusterHeapOffset = 0;    // H
    uint32_t clusterCount = 0;         // N
    uint32_t bitmapClusters = 0;       // b; the bitmap is clusters 2 .. b + 1
    uint32_t upcaseCluster = 0;        // b + 2
    uint32_t rootCluster = 0;          // b + 3

    uint32_t SectorsPerCluster() const { return 1u << sectorsPerClusterShift; }
    uint32_t ClusterSector(uint32_t cluster) const {
        return clusterHeapOffset + (cluster - 2) * SectorsPerCluster();
    }
};

// Fills the layout for a region of totalSectors. False when the cluster heap cannot hold the bitmap,
// the up-case table and the root directory, so nothing may be written to the region.
bool ComputeExfatLayout(uint32_t totalSectors, ExfatLayout* layout);

// The boot checksum over the first 11 sectors of a boot region (VolumeFlags and PercentInUse left out).
uint32_t ExfatBootChecksum(const uint8_t* bootRegion);

// A label fits when it has at most 11 UTF-16 code units, none of them a control character or one of
// " * / : < > ? \ | (not allowed in exFAT names).
bool ExfatLabelFits(const std::u16string& label);

// Formats totalSectors sectors of target. serial holds the four serial-number bytes, the first in the
// low byte. Nothing is written when the size or label is refused.
bool FormatExfat(SectorWriter& target, uint32_t totalSectors, const std::u16string& label, uint32_t serial);

}  // namespace quillon

#endif
