#include "secure/fat32_format.h"

#include <array>
#include <cstring>

#include "access/scsi.h"

namespace quillon {

namespace {

using Sector = std::array<uint8_t, kSectorBytes>;

// Both FATs are cleared piece by piece; a piece reaching past the region is cut at its end.
bool ZeroFats(RegionWriter& out, const Fat32Params& p) {
    for (uint32_t s = 0; s < p.fatSectors; s += kFat32ZeroPieceSectors) {
        if (!out.WriteZerosClipped(p.firstFatSector + s, kFat32ZeroPieceSectors)) return false;
        if (!out.WriteZerosClipped(p.firstFatSector + p.fatSectors + s, kFat32ZeroPieceSectors)) return false;
    }
    return true;
}

// The first sector of each FAT: entry 0 the media, entry 1 reserved, entry 2 the end of the root
// directory's chain. It is written once before the other areas and again as the very last write,
// with entry 1's top bits set (0xFFFFFFFF instead of 0x0FFFFFFF).
bool WriteFirstFatSectors(RegionWriter& out, const Fat32Params& p, bool final) {
    Sector s{};
    PutLe32(&s[0], 0x0FFFFFF8);
    PutLe32(&s[4], final ? 0xFFFFFFFF : 0x0FFFFFFF);
    PutLe32(&s[8], 0x0FFFFFFF);
    return out.Write(p.firstFatSector, 1, s.data()) &&
           out.Write(p.firstFatSector + p.fatSectors, 1, s.data());
}

// The label as it is stored: padded with spaces to 11 bytes. Trailing spaces are padding, so a label
// of spaces only is no label.
std::string PaddedLabel(const std::string& label) {
    std::string padded = label;
    padded.resize(kFat32LabelBytes, ' ');
    return padded;
}

bool HasLabel(const std::string& label) {
    return label.find_first_not_of(' ') != std::string::npos;
}

Sector RootDirectorySector(const std::string& label, const FormatTime& now) {
    Sector s{};
    if (!HasLabel(label)) return s;  // a blank label entry is invalid; no label means no entry
    std::memcpy(&s[0], PaddedLabel(label).data(), kFat32LabelBytes);
    s[11] = 0x08;  // volume label
    PutLe16(&s[22], static_cast<uint32_t>(now.hour * 2048 + now.minute * 32 + now.second / 2));
    PutLe16(&s[24], static_cast<uint32_t>((now.year - 1980) * 512 + now.month * 32 + now.day));
    return s;
}

// The root directory cluster: the label sector first in it, zeros after.
bool WriteRootDirectory(RegionWriter& out, const Fat32Params& p, const std::string& label, const FormatTime& now) {
    if (!out.WriteZeros(p.firstDataSector + 1, p.sectorsPerCluster - 1u)) return false;
    const Sector s = RootDirectorySector(label, now);
    return out.Write(p.firstDataSector, 1, s.data());
}

// The boot sector carries the same label as the root directory: checkers report a volume whose two
// labels differ.
Sector BootSector(const Fat32Params& p, const std::string& label, uint32_t serial) {
    Sector s{};
    s[0] = 0xEB;
    s[1] = 0x58;
    s[2] = 0x90;
    std::memcpy(&s[3], "MSWIN4.1", 8);
    PutLe16(&s[11], p.bytesPerSector);
    s[13] = p.sectorsPerCluster;
    PutLe16(&s[14], p.reservedSectors);
    s[16] = p.numberOfFats;
    PutLe16(&s[17], p.rootEntries);
    PutLe16(&s[19], 0);
    s[21] = p.media;
    PutLe16(&s[22], 0);
    PutLe16(&s[24], p.sectorsPerTrack);
    PutLe16(&s[26], p.heads);
    PutLe32(&s[28], p.hiddenSectors);
    PutLe32(&s[32], p.totalSectors);
    PutLe32(&s[36], p.fatSectors);
    PutLe16(&s[40], p.extendedFlags);
    PutLe16(&s[42], p.fsVersion);
    PutLe32(&s[44], p.rootCluster);
    PutLe16(&s[48], p.fsInfoSector);
    PutLe16(&s[50], p.backupBootSector);
    s[64] = 0x80;
    s[66] = 0x29;
    PutLe32(&s[67], serial);
    std::memcpy(&s[71], HasLabel(label) ? PaddedLabel(label).data() : "NO NAME    ", kFat32LabelBytes);
    std::memcpy(&s[82], "FAT32   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

bool WriteBootSectors(RegionWriter& out, const Fat32Params& p, const std::string& label, uint32_t serial) {
    const Sector s = BootSector(p, label, serial);
    return out.Write(0, 1, s.data()) && out.Write(p.backupBootSector, 1, s.data());
}

bool WriteFsInfo(RegionWriter& out, const Fat32Params& p) {
    Sector s{};
    std::memcpy(&s[0], "RRaA", 4);
    std::memcpy(&s[484], "rrAa", 4);
    PutLe32(&s[488], p.clustersPlus2 - 3);  // every cluster but the root directory's is free
    PutLe32(&s[492], 3);
    s[510] = 0x55;
    s[511] = 0xAA;
    return out.Write(p.fsInfoSector, 1, s.data()) && out.Write(p.backupBootSector + 1u, 1, s.data());
}

// The reserved sectors that hold neither a boot sector nor an FSInfo sector.
bool ZeroReservedSectors(RegionWriter& out, const Fat32Params& p) {
    return out.WriteZeros(2, 4) && out.WriteZeros(8, p.reservedSectors - 8u);
}

}  // namespace

uint8_t Fat32SectorsPerCluster(uint32_t totalSectors) {
    const uint32_t mib = totalSectors / 2048;
    if (mib > 32768) return 64;
    if (mib > 16384) return 32;
    if (mib > 8192) return 16;
    if (mib > 512) return 8;
    return 1;
}

bool ComputeFat32Params(uint32_t totalSectors, Fat32Params* params) {
    Fat32Params p;
    p.totalSectors = totalSectors;
    p.sectorsPerCluster = Fat32SectorsPerCluster(totalSectors);
    const uint64_t spc = p.sectorsPerCluster;
    const uint64_t reserved = p.reservedSectors;
    if (totalSectors < reserved + 2 * spc) return false;
    const uint64_t fatBytesNeeded = 4 * (uint64_t{totalSectors} - reserved + 2 * spc);
    const uint64_t divisor = 512 * spc + 8;
    const uint64_t fat = (fatBytesNeeded + divisor - 1) / divisor;
    const uint64_t data = reserved + 2 * fat;
    if (data >= totalSectors) return false;
    const uint64_t clusters = (totalSectors - data) / spc;
    if (clusters < kFat32MinClusters) return false;
    // Every cluster needs its 4-byte entry (plus the two reserved ones) inside one FAT.
    if ((clusters + 2) * 4 > fat * kSectorBytes) return false;
    p.fatSectors = static_cast<uint32_t>(fat);
    p.firstDataSector = static_cast<uint32_t>(data);
    p.clustersPlus2 = static_cast<uint32_t>(clusters + 2);
    *params = p;
    return true;
}

uint32_t Fat32SerialNumber(const FormatTime& now) {
    // Built from the broken-down time with years since 1900 and months counted from 0.
    uint32_t v = static_cast<uint32_t>(now.hour) * 256 + static_cast<uint32_t>(now.year - 1900) +
                 static_cast<uint32_t>(now.minute);
    v = v * 256 + static_cast<uint32_t>(now.month - 1) + static_cast<uint32_t>(now.second) + 1;
    v = v * 256 + static_cast<uint32_t>(now.day);
    return v;
}

bool Fat32LabelFits(const std::string& label) {
    if (label.size() > kFat32LabelBytes) return false;
    for (char ch : label) {
        // Bytes above 0x7F would be read in whatever OEM code page the reader assumes, and FAT checkers
        // reject them (0xE5 first would even mark a deleted entry): printable ASCII only.
        const uint8_t c = static_cast<uint8_t>(ch);
        if (c < 0x20 || c >= 0x7F || std::strchr(kFat32LabelForbidden, c) != nullptr) return false;
    }
    return true;
}

bool FormatFat32(SectorWriter& target, uint32_t totalSectors, const std::string& label, const FormatTime& now) {
    Fat32Params p;
    if (!ComputeFat32Params(totalSectors, &p) || !Fat32LabelFits(label)) return false;
    RegionWriter out(target, totalSectors);
    return ZeroFats(out, p) &&
           WriteFirstFatSectors(out, p, false) &&
           WriteRootDirectory(out, p, label, now) &&
           WriteBootSectors(out, p, label, Fat32SerialNumber(now)) &&
           WriteFsInfo(out, p) &&
           ZeroReservedSectors(out, p) &&
           WriteFirstFatSectors(out, p, true);
}

}  // namespace quillon
