#ifndef QUILLON_SECURE_REGION_H
#define QUILLON_SECURE_REGION_H

// Sizing the public and cipher regions and formatting them: the pieces the exports are made of.

#include <cstdint>

#include "access/bridge_device.h"
#include "platform/backend.h"
#include "secure/format.h"
#include "secure/format_writer.h"

namespace quillon {

// Controller memory address of the reserved-area count.
constexpr std::uint32_t kReservedAreaAddress = 0x30820;

// The sectors the two regions share: the region table's capacity in sectors less the reserved area
// (4 x the count at 0x30820 + 4). False when a query fails, the reserved area is larger than the disk,
// or the result does not fit 32 bits.
bool WholeDiskSectors(const BridgeDevice& device, std::uint32_t* sectors);

// Sets the cipher size after checking 0 <= size <= the whole-disk size; the full flag goes with a size
// equal to it.
bool SetCipherSize(const BridgeDevice& device, std::uint32_t size);

// Writes through WRITE(10) to the device's logical blocks.
class DeviceSectorWriter : public SectorWriter {
public:
    explicit DeviceSectorWriter(const BridgeDevice& device) : device_(device) {}
    bool WriteSectors(std::uint32_t lba, std::uint32_t count, const std::uint8_t* data) override;

private:
    const BridgeDevice& device_;
};

// Tries and pauses of the waits around formatting.
constexpr int kDriveLetterTries = 11;
constexpr std::uint32_t kDriveLetterPauseMs = 50;
constexpr int kVolumeControlTries = 20;
constexpr std::uint32_t kVolumeControlPauseMs = 500;
constexpr std::uint32_t kGeometryPauseMs = 100;
constexpr std::uint32_t kGeometryWaitMs = 30000;

// The drive letter of a bridge disk's volume, asked up to 11 times 50 ms apart.
bool WaitForDriveLetter(const char* physicalDrivePath, char* letter);

// An exclusive hold on a volume for as long as the formatter writes under it. Release dismounts the
// volume (so the system mounts the new file system afresh), unlocks and closes it; releasing a lock
// that holds nothing does nothing.
class VolumeLock {
public:
    VolumeLock() = default;
    ~VolumeLock() { Release(); }
    VolumeLock(const VolumeLock&) = delete;
    VolumeLock& operator=(const VolumeLock&) = delete;

    // Opens the volume of the drive letter, allows extended access and locks it, each control up to 20
    // times 500 ms apart. False (holding nothing) when the volume cannot be opened or locked.
    bool Acquire(char driveLetter);
    void Release();
    bool Held() const { return handle_ != platform::kInvalidDeviceHandle; }

private:
    platform::DeviceHandle handle_ = platform::kInvalidDeviceHandle;
};

// Waits until the disk behind path reports at least minSectors sectors, asking every 100 ms for at
// most 30 s (measured by the pauses taken).
bool WaitForDiskSectors(const char* path, std::uint64_t minSectors);

// The backend's local time in the formatter's form.
FormatTime FormatTimeNow();

// Four serial-number bytes from the runtime's random generator seeded with the current time.
std::uint32_t RandomExfatSerial();

}  // namespace quillon

#endif
