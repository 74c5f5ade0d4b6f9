#include "secure/exfat_format.h"

#include <array>
#include <cstring>
#include <vector>

#include "access/scsi.h"
#include "secure/upcase_table.h"

namespace quillon {

namespace {

using Sector = std::array<uint8_t, kSectorBytes>;

uint32_t ClusterShiftFor(uint32_t totalSectors) {
    const uint32_t mib = totalSectors / 2048;
    if (mib > 131072) return 18;
    if (mib > 65536) return 17;
    if (mib > 16384) return 16;
    return 15;
}

// Sectors 0 to 11 of a boot region: boot sector, eight extended boot sectors, the OEM parameter and
// reserved sectors (zero) and the checksum sector.
std::vector<uint8_t> BootRegion(const ExfatLayout& l, uint32_t serial) {
    std::vector<uint8_t> r(kExfatBootRegionSectors * kSectorBytes, 0);
    uint8_t* s = r.data();
    s[0] = 0xEB;
    s[1] = 0x76;
    s[2] = 0x90;
    std::memcpy(&s[3], "EXFAT   ", 8);
    PutLe64(&s[64], 0);
    PutLe64(&s[72], l.totalSectors);
    PutLe32(&s[80], l.fatOffset);
    PutLe32(&s[84], l.fatLength);
    PutLe32(&s[88], l.clusterHeapOffset);
    PutLe32(&s[92], l.clusterCount);
    PutLe32(&s[96], l.rootCluster);
    PutLe32(&s[100], serial);
    PutLe16(&s[104], 0x0100);
    PutLe16(&s[106], 0);
    s[108] = 9;
    s[109] = static_cast<uint8_t>(l.sectorsPerClusterShift);
    s[110] = 1;
    s[111] = 0x80;
    s[112] = 0;
    for (uint32_t i = 0; i <= 8; ++i) {
        r[i * kSectorBytes + 510] = 0x55;
        r[i * kSectorBytes + 511] = 0xAA;
    }
    const uint32_t sum = ExfatBootChecksum(r.data());
    for (uint32_t i = 0; i < kSectorBytes / 4; ++i) PutLe32(&r[11 * kSectorBytes + 4 * i], sum);
    return r;
}

bool WriteBootRegions(RegionWriter& out, const ExfatLayout& l, uint32_t serial) {
    const std::vector<uint8_t> r = BootRegion(l, serial);
    return out.Write(0, kExfatBootRegionSectors, r.data()) &&
           out.Write(kExfatBootRegionSectors, kExfatBootRegionSectors, r.data());
}

// Only the first FAT sector is written: the chains of the bitmap, the up-case table and the root
// directory all lie in it. Entries of free clusters mean nothing in exFAT, so the rest may stay as it was.
bool WriteFirstFatSector(RegionWriter& out, const ExfatLayout& l) {
    Sector s{};
    PutLe32(&s[0], 0xFFFFFFF8);
    PutLe32(&s[4], 0xFFFFFFFF);
    for (uint32_t c = 2; c <= l.bitmapClusters; ++c) PutLe32(&s[4 * c], c + 1);
    for (uint32_t c = l.bitmapClusters + 1; c <= l.rootCluster; ++c) PutLe32(&s[4 * c], 0xFFFFFFFF);
    return out.Write(l.fatOffset, 1, s.data());
}

bool WriteAllocationBitmap(RegionWriter& out, const ExfatLayout& l) {
    Sector s{};
    s[0] = static_cast<uint8_t>((1u << (l.bitmapClusters + 2)) - 1);  // clusters 2 .. b + 3 in use
    const uint32_t first = l.ClusterSector(2);
    return out.Write(first, 1, s.data()) && out.WriteZeros(first + 1, l.bitmapClusters * l.SectorsPerCluster() - 1);
}

bool WriteUpcaseTable(RegionWriter& out, const ExfatLayout& l) {
    constexpr uint32_t sectors = (kExfatUpcaseBytes + kSectorBytes - 1) / kSectorBytes;
    std::vector<uint8_t> table(sectors * kSectorBytes, 0);
    ExfatUpcaseBytes(table.data());
    return out.Write(l.ClusterSector(l.upcaseCluster), sectors, table.data());
}

Sector RootDirectorySector(const ExfatLayout& l, const std::u16string& label) {
    Sector s{};
    if (label.empty()) {
        s[0] = 0x03;  // volume label entry, not in use
    } else {
        s[0] = 0x83;
        s[1] = static_cast<uint8_t>(label.size());
        for (size_t i = 0; i < label.size(); ++i) PutLe16(&s[2 + 2 * i], label[i]);
    }
    s[32] = 0x81;  // allocation bitmap
    s[33] = 0;
    PutLe32(&s[52], 2);
    PutLe64(&s[56], (l.clusterCount - 1) / 8 + 1);
    s[64] = 0x82;  // up-case table
    PutLe32(&s[68], kExfatUpcaseChecksum);
    PutLe32(&s[84], l.upcaseCluster);
    PutLe64(&s[88], kExfatUpcaseBytes);
    return s;
}

bool WriteRootDirectory(RegionWriter& out, const ExfatLayout& l, const std::u16string& label) {
    const Sector s = RootDirectorySector(l, label);
    const uint32_t first = l.ClusterSector(l.rootCluster);
    return out.Write(first, 1, s.data()) && out.WriteZeros(first + 1, l.SectorsPerCluster() - 1);
}

}  // namespace

bool ComputeExfatLayout(uint32_t totalSectors, ExfatLayout* layout) {
    if (totalSectors < 2) return false;
    ExfatLayout l;
    l.totalSectors = totalSectors;
    l.clusterShift = ClusterShiftFor(totalSectors);
    l.sectorsPerClusterShift = l.clusterShift - 9;
    const uint32_t e = l.sectorsPerClusterShift;
    l.f = (totalSectors - 1) >> e;
    const uint64_t heap = ((4 * uint64_t{l.f} + 11) / (uint64_t{1} << 17) + 9) * 256;
    if (heap >= totalSectors) return false;
    l.clusterHeapOffset = static_cast<uint32_t>(heap);
    l.fatLength = l.clusterHeapOffset - l.fatOffset;
    l.clusterCount = (totalSectors - l.clusterHeapOffset) >> e;
    l.bitmapClusters = static_cast<uint32_t>((uint64_t{l.f} + 2) >> (l.clusterShift + 3)) + 1;
    l.upcaseCluster = l.bitmapClusters + 2;
    l.rootCluster = l.bitmapClusters + 3;
    // The bitmap, the up-case table and the root directory must lie inside the cluster heap.
    if (l.clusterCount < l.bitmapClusters + 2) return false;
    *layout = l;
    return true;
}

uint32_t ExfatBootChecksum(const uint8_t* bootRegion) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * kSectorBytes; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + bootRegion[i];
    }
    return sum;
}

bool ExfatLabelFits(const std::u16string& label) {
    if (label.size() > kExfatLabelChars) return false;
    for (char16_t c : label) {
        if (c < 0x20 || (c < 0x80 && std::strchr("\"*/:<>?\\|", static_cast<char>(c)) != nullptr)) return false;
    }
    return true;
}

bool FormatExfat(SectorWriter& target, uint32_t totalSectors, const std::u16string& label, uint32_t serial) {
    ExfatLayout l;
    if (!ComputeExfatLayout(totalSectors, &l) || !ExfatLabelFits(label)) return false;
    RegionWriter out(target, totalSectors);
    return WriteBootRegions(out, l, serial) &&
           WriteFirstFatSector(out, l) &&
           WriteAllocationBitmap(out, l) &&
           WriteUpcaseTable(out, l) &&
           WriteRootDirectory(out, l, label);
}

}  // namespace quillon
