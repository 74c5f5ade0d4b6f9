#include <cstring>
#include <string>

#include "access/commands.h"
#include "access/digest.h"
#include "access/discovery.h"
#include "access/last_error.h"
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
    if (!WaitForDriveLetter(region.device.path, &letter))
        return ReportDeviceFailure("the volume of %s has no drive letter and none could be given", region.device.path);
    if (!region.lock.Acquire(letter))
        return ReportDeviceFailure("cannot lock volume %c: of %s (it is in use)", letter, region.device.path);
    return true;
}

bool FormatOnto(FileSystemKind kind, Region& region) {
    DeviceSectorWriter writer(region.device);
    return FormatRegion(kind, writer, region.sectors, region.options);
}

int SizeAndFormat(int cipherSize, const char* fileSystem, const char* publicLabel, const char* cipherLabel) {
    FileSystemKind kind;
    if (!ParseFileSystemName(fileSystem, &kind))
        return RefuseInput("file system \"%s\": fat32 or exfat", fileSystem ? fileSystem : "(none)");
    if (cipherSize < 0) return RefuseInput("cipher size %d is negative", cipherSize);

    // The first bridge and, when there is one, the next: the one that says it is public is P.
    char first[kPathFieldSize] = {};
    char second[kPathFieldSize] = {};
    std::uint32_t index = 0;
    if (!EnumerateBridges(platform::InterfaceClass::Disk, &index, first)) return ReportDeviceFailure("no bridge found");
    const bool twoDevices = EnumerateBridges(platform::InterfaceClass::Disk, &index, second) == 1;
    Region pub;
    Region cipher;
    if (!OpenBridgeDevice(&pub.device, first)) return 0;
    if (twoDevices) {
        if (!OpenBridgeDevice(&cipher.device, second)) return 0;
        if (CmdIsPublicRegion(cipher.device) == 1) std::swap(pub.device, cipher.device);
    }

    std::uint32_t whole = 0;
    if (!WholeDiskSectors(pub.device, &whole))
        return ReportDeviceFailure("%s did not report its whole-disk size", pub.device.path);
    if (static_cast<std::uint32_t>(cipherSize) > whole)
        return RefuseInput("the cipher region of %s sectors is larger than the whole disk of %s sectors",
                           GroupDigits(static_cast<std::uint32_t>(cipherSize)).c_str(), GroupDigits(whole).c_str());
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
        const char* name = r == &pub ? "the public region" : "the cipher region";
        if (!PrepareLabel(r == &pub ? publicLabel : cipherLabel, kind, &r->options))
            return RefuseInput("the label of %s is not text in the system's character set", name);
        if (!CanFormat(kind, r->sectors, r->options))
            return RefuseInput("%s", FormatRefusal(kind, r->sectors, r->options, name).c_str());
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
        if (!WaitForDiskSectors(cipher.device.path, cipher.sectors))
            return ReportDeviceFailure("the cipher disk %s did not show its new size", cipher.device.path);
        if (!FormatOnto(kind, cipher)) return 0;
    }
    return 1;
}

}  // namespace

}  // namespace quillon

QUILLON_API int QUILLON_CALL SetCipherDiskSizeAndFormat(int cipherSize, const char* fileSystem,
                                                        const char* publicLabel, const char* cipherLabel) {
    return quillon::SizeAndFormat(cipherSize, fileSystem, publicLabel, cipherLabel);
}
