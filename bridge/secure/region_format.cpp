#include <cstring>
#include <string>

#include "access/commands.h"
#include "access/digest.h"
#include "access/discovery.h"
#include "quillon_region.h"
#include "secure/fat32_format.h"
#include "secure/region.h"

namespace quillon {

namespace {

struct Region {
    BridgeDevice device;
    std::uint32_t sectors = 0;  // 0: not formatted
    FormatOptions options;
    VolumeLock lock;
};

// The label in both forms the formatters take; false when it does not convert.
bool PrepareLabel(const char* label, FileSystemKind kind, FormatOptions* options) {
    const char* text = label != nullptr ? label : "";
    // FAT32 keeps the first 11 bytes of a longer label, as host programs have always seen.
    options->fat32Label = std::string(text).substr(0, kFat32LabelBytes);
    options->exfatLabel.clear();
    return kind == FileSystemKind::Fat32 || AnsiToWide(text, &options->exfatLabel);
}

bool LockRegionVolume(Region& region) {
    char letter = 0;
    return WaitForDriveLetter(region.device.path, &letter) && region.lock.Acquire(letter);
}

bool FormatOnto(FileSystemKind kind, Region& region) {
    DeviceSectorWriter writer(region.device);
    return FormatRegion(kind, writer, region.sectors, region.options);
}

int SizeAndFormat(int cipherSize, const char* fileSystem, const char* publicLabel, const char* cipherLabel) {
    FileSystemKind kind;
    if (!ParseFileSystemName(fileSystem, &kind) || cipherSize < 0) return 0;

    // The first bridge and, when there is one, the next: the one that says it is public is P.
    char first[kPathFieldSize] = {};
    char second[kPathFieldSize] = {};
    std::uint32_t index = 0;
    if (!EnumerateBridges(platform::InterfaceClass::Disk, &index, first)) return 0;
    const bool twoDevices = EnumerateBridges(platform::InterfaceClass::Disk, &index, second) == 1;
    Region pub;
    Region cipher;
    if (!OpenBridgeDevice(&pub.device, first)) return 0;
    if (twoDevices) {
        if (!OpenBridgeDevice(&cipher.device, second)) return 0;
        if (CmdIsPublicRegion(cipher.device) == 1) std::swap(pub.device, cipher.device);
    }

    std::uint32_t whole = 0;
    if (!WholeDiskSectors(pub.device, &whole) || static_cast<std::uint32_t>(cipherSize) > whole) return 0;
    std::uint32_t cipherSectors = static_cast<std::uint32_t>(cipherSize);
    pub.sectors = whole - cipherSectors;
    if (!twoDevices) {
        if (CmdHasPassword(pub.device) == 1) {
            // The one device visible is the cipher side.
            cipher.device = pub.device;
            pub.sectors = 0;
        } else {
            cipherSectors = 0;  // only the public region is formatted
        }
    }
    cipher.sectors = cipherSectors;

    // Everything is checked before the first lock is taken or the first sector written.
    const FormatTime now = FormatTimeNow();
    const std::uint32_t serial = RandomExfatSerial();
    for (Region* r : {&pub, &cipher}) {
        if (r->sectors == 0) continue;
        r->options.time = now;
        r->options.exfatSerial = serial;
        if (!PrepareLabel(r == &pub ? publicLabel : cipherLabel, kind, &r->options) ||
            !CanFormat(kind, r->sectors, r->options)) {
            return 0;
        }
    }
    // Distinct serial numbers for the two exFAT volumes.
    cipher.options.exfatSerial = ~serial;

    // Both locks are released on every way out, the public volume's first.
    struct ReleaseLocks {
        Region& first;
        Region& second;
        ~ReleaseLocks() {
            first.lock.Release();
            second.lock.Release();
        }
    } release{pub, cipher};
    if (pub.sectors > 0 && !LockRegionVolume(pub)) return 0;
    if (cipher.sectors > 0 && !LockRegionVolume(cipher)) return 0;

    if (!SetCipherSize(pub.device, cipherSectors)) return 0;
    if (pub.sectors > 0 && !FormatOnto(kind, pub)) return 0;
    if (cipher.sectors > 0) {
        // The cipher disk shows its new size only after a moment; never write before it is that large.
        if (!WaitForDiskSectors(cipher.device.path, cipher.sectors) || !FormatOnto(kind, cipher)) return 0;
    }
    return 1;
}

}  // namespace

}  // namespace quillon

QUILLON_API int QUILLON_CALL SetCipherDiskSizeAndFormat(int cipherSize, const char* fileSystem,
                                                        const char* publicLabel, const char* cipherLabel) {
    return quillon::SizeAndFormat(cipherSize, fileSystem, publicLabel, cipherLabel);
}
