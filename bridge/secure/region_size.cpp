#include "secure/region.h"

#include "access/commands.h"
#include "access/last_error.h"
#include "access/scsi.h"
#include "quillon_region.h"

namespace quillon {

bool WholeDiskSectors(const BridgeDevice& device, std::uint32_t* sectors) {
    RegionTable table;
    if (!CmdGetRegionTable(device, &table)) return false;
    std::uint8_t raw[4] = {};
    if (!CmdReadMemory(device, kReservedAreaAddress, raw, sizeof raw)) return false;
    const std::uint64_t total = table.capacity / kSectorBytes;
    const std::uint64_t reserved = 4 * std::uint64_t{GetBe32(raw)} + 4;
    // Computed in 64 bits: a capacity of 2 TiB or more must not wrap into a small 32-bit size.
    if (total < reserved || total - reserved > 0xFFFFFFFFu)
        return ReportDeviceFailure("%s reports a disk of %s sectors with a reserved area of %s sectors", device.path,
                                   GroupDigits(total).c_str(), GroupDigits(reserved).c_str());
    *sectors = static_cast<std::uint32_t>(total - reserved);
    return true;
}

bool SetCipherSize(const BridgeDevice& device, std::uint32_t size) {
    std::uint32_t whole = 0;
    if (!WholeDiskSectors(device, &whole)) return false;
    if (size > whole)
        return RefuseInput("the cipher region of %s sectors is larger than the whole disk of %s sectors",
                           GroupDigits(size).c_str(), GroupDigits(whole).c_str());
    return CmdSetCipherDiskSize(device, size, size == whole ? 1 : 0) == 1;
}

}  // namespace quillon

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL GetWholeDiskSize(const char* path) {
    BridgeDevice device;
    std::uint32_t sectors = 0;
    if (!quillon::OpenBridgeDevice(&device, path) || !quillon::WholeDiskSectors(device, &sectors)) return -1;
    return static_cast<int>(sectors);
}

QUILLON_API int QUILLON_CALL SetCipherDiskSize(const char* path, int size) {
    BridgeDevice device;
    if (size < 0) return quillon::RefuseInput("cipher size %d is negative", size);
    if (!quillon::OpenBridgeDevice(&device, path)) return quillon::RefuseInput("device path longer than 24 characters");
    return quillon::SetCipherSize(device, static_cast<std::uint32_t>(size)) ? 1 : 0;
}

QUILLON_API int QUILLON_CALL IsPublicRegion(const char* path) {
    BridgeDevice device;
    if (!quillon::OpenBridgeDevice(&device, path)) return 0;
    return quillon::CmdIsPublicRegion(device) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL GetEncryptState(const char* path, unsigned char* encrypted) {
    if (encrypted == nullptr) return 0;
    *encrypted = 0;
    BridgeDevice device;
    int state = 0;
    if (!quillon::OpenBridgeDevice(&device, path) || quillon::CmdGetEncryptState(device, &state) != 1) return 0;
    *encrypted = state ? 1 : 0;
    return 1;
}
