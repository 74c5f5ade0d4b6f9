#include <cstdlib>
#include <ctime>

#include "access/commands.h"
#include "access/discovery.h"
#include "secure/region.h"

namespace quillon {

using platform::CurrentBackend;
using platform::VolumeControl;

bool DeviceSectorWriter::WriteSectors(std::uint32_t lba, std::uint32_t count, const std::uint8_t* data) {
    return Write10Blocks(device_, lba, count, data) == 1;
}

bool WaitForDriveLetter(const char* physicalDrivePath, char* letter) {
    for (int attempt = 0; attempt < kDriveLetterTries; ++attempt) {
        if (attempt > 0) CurrentBackend().SleepMilliseconds(kDriveLetterPauseMs);
        if (AssignDriveLetter(physicalDrivePath, letter)) return true;
    }
    return false;
}

namespace {

bool RepeatControl(platform::DeviceHandle volume, VolumeControl control) {
    for (int attempt = 0; attempt < kVolumeControlTries; ++attempt) {
        if (attempt > 0) CurrentBackend().SleepMilliseconds(kVolumeControlPauseMs);
        std::uint32_t error = 0;
        if (CurrentBackend().ControlVolume(volume, control, &error)) return true;
    }
    return false;
}

}  // namespace

bool VolumeLock::Acquire(char driveLetter) {
    Release();
    platform::Backend& backend = CurrentBackend();
    std::uint32_t error = 0;
    const platform::DeviceHandle volume = backend.OpenVolume(driveLetter, &error);
    if (volume == platform::kInvalidDeviceHandle) return false;
    // Extended access only widens what the volume handle may reach; the lock is what matters.
    RepeatControl(volume, VolumeControl::AllowExtendedDasdIo);
    if (!RepeatControl(volume, VolumeControl::Lock)) {
        backend.CloseVolume(volume);
        return false;
    }
    handle_ = volume;
    return true;
}

void VolumeLock::Release() {
    if (handle_ == platform::kInvalidDeviceHandle) return;
    platform::Backend& backend = CurrentBackend();
    std::uint32_t error = 0;
    backend.ControlVolume(handle_, VolumeControl::Dismount, &error);
    backend.ControlVolume(handle_, VolumeControl::Unlock, &error);
    backend.CloseVolume(handle_);
    handle_ = platform::kInvalidDeviceHandle;
}

bool WaitForDiskSectors(const char* path, std::uint64_t minSectors) {
    platform::Backend& backend = CurrentBackend();
    for (std::uint32_t waited = 0;; waited += kGeometryPauseMs) {
        platform::DiskGeometry geometry;
        if (backend.QueryDiskGeometry(path, &geometry) && geometry.bytesPerSector != 0) {
            const std::uint64_t sectors = geometry.diskSize / geometry.bytesPerSector;
            if (sectors >= 1 && sectors >= minSectors) return true;
        }
        if (waited >= kGeometryWaitMs) return false;
        backend.SleepMilliseconds(kGeometryPauseMs);
    }
}

FormatTime FormatTimeNow() {
    const platform::LocalTime t = CurrentBackend().Now();
    return FormatTime{t.year + 1900, t.month + 1, t.day, t.hour, t.minute, t.second};
}

std::uint32_t RandomExfatSerial() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    std::uint32_t serial = 0;
    for (int i = 0; i < 4; ++i) serial |= static_cast<std::uint32_t>(std::rand() & 0xFF) << (8 * i);
    return serial;
}

}  // namespace quillon
