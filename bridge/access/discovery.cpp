// Finding bridges and mapping a bridge's disk to a drive letter.

#include "access/discovery.h"

#include <cstdio>
#include <cstring>

#include "access/bridge_device.h"
#include "quillon_discovery.h"

namespace quillon {

using platform::CurrentBackend;
using platform::InterfaceClass;
using platform::StorageInterface;

namespace {

// Forms "\\.\CDROM%d" or "\\.\PhysicalDrive%d"; false when the number makes the path too long.
bool FormDevicePath(InterfaceClass cls, std::uint32_t number, char (&path)[kPathFieldSize]) {
  const char* format = cls == InterfaceClass::CdRom ? "\\\\.\\CDROM%lu" : "\\\\.\\PhysicalDrive%lu";
  const int n = std::snprintf(path, sizeof(path), format, static_cast<unsigned long>(number));
  return n > 0 && static_cast<std::size_t>(n) <= kMaxPathLength;
}

bool IsUsbStorage(const StorageInterface& info) {
  return info.opened && info.propertyOk && info.busType == platform::kBusTypeUsb;
}

bool AcceptedChipName(const char* name) {
  return std::strncmp(name, "FCC", 3) == 0 || std::strcmp(name, "BC1") == 0;
}

}  // namespace

int EnumerateBridges(InterfaceClass cls, std::uint32_t* index, char* path) {
  if (index == nullptr || path == nullptr) return 0;
  std::unique_ptr<platform::InterfaceList> list = CurrentBackend().ListInterfaces(cls);
  if (!list) {
    *index = 0;
    return 0;
  }
  // The index travels in 15 bits of the enumeration handle; an index beyond them would corrupt it.
  for (std::uint32_t i = *index; i < kHandleIndexMask; ++i) {
    StorageInterface info;
    if (!list->Get(i, &info)) break;
    if (!IsUsbStorage(info) || !info.numberOk) continue;
    char candidate[kPathFieldSize] = {};
    if (!FormDevicePath(cls, info.deviceNumber, candidate)) continue;
    BridgeDevice device;
    if (!OpenBridgeDevice(&device, candidate)) continue;
    IdentifyInfo identity{};
    if (!IdentifyBridge(device, &identity) || !AcceptedChipName(identity.chipName)) continue;
    *index = i + 1;
    std::memcpy(path, candidate, std::strlen(candidate) + 1);
    return 1;
  }
  *index = 0;
  return 0;
}

int QueryMountPoints(const std::u16string& deviceName, std::string* volumePath, std::string* driveRoot) {
  if (volumePath == nullptr || driveRoot == nullptr) return 0;
  std::vector<std::string> links;
  if (!CurrentBackend().QueryMountManager(deviceName, &links)) return 0;
  volumePath->clear();
  driveRoot->clear();
  for (const std::string& link : links) {
    const std::size_t at = link.find("Volume");
    if (link.empty() || at == std::string::npos) continue;
    const std::size_t close = link.find('}', at);
    const std::string guid = close == std::string::npos ? link.substr(at) : link.substr(at, close - at + 1);
    *volumePath = "\\\\?\\" + guid + "\\";
    break;
  }
  static const char kDosDevices[] = "DosDevices\\";
  for (const std::string& link : links) {
    const std::size_t at = link.find(kDosDevices);
    if (link.empty() || at == std::string::npos) continue;
    *driveRoot = link.substr(at + sizeof(kDosDevices) - 1, 2) + "\\";
    break;
  }
  return 1;
}

char FirstFreeDriveLetter() {
  const std::uint32_t drives = CurrentBackend().LogicalDrives();
  if ((drives & (1u << 2)) == 0) return 'C';
  for (int bit = 3; bit < 26; ++bit) {
    if ((drives & (1u << bit)) == 0) return static_cast<char>('A' + bit);
  }
  return 0;
}

int AssignDriveLetter(const char* physicalDrivePath, char* driveLetter) {
  if (physicalDrivePath == nullptr || driveLetter == nullptr) return 0;
  std::unique_ptr<platform::InterfaceList> list = CurrentBackend().ListInterfaces(InterfaceClass::Volume);
  if (!list) return 0;
  for (std::uint32_t i = 0;; ++i) {
    StorageInterface info;
    if (!list->Get(i, &info)) return 0;
    if (!IsUsbStorage(info)) continue;
    if (info.interfacePath.find("cdrom") != std::string::npos || info.interfacePath.find("CDROM") != std::string::npos)
      continue;
    if (!info.numberOk) continue;
    char path[kPathFieldSize] = {};
    if (!FormDevicePath(InterfaceClass::Disk, info.deviceNumber, path) || std::strcmp(path, physicalDrivePath) != 0)
      continue;
    if (!info.deviceNameOk) continue;
    std::string volumePath;
    std::string driveRoot;
    if (!QueryMountPoints(info.deviceName, &volumePath, &driveRoot)) continue;

    // The matching volume ends the search either way.
    if (!driveRoot.empty()) {
      *driveLetter = driveRoot[0];
      return 1;
    }
    const char letter = FirstFreeDriveLetter();
    if (letter == 0 || volumePath.empty()) return 0;
    const char root[4] = {letter, ':', '\\', '\0'};
    if (!CurrentBackend().MountVolumeAt(root, volumePath.c_str())) return 0;
    *driveLetter = letter;
    return 1;
  }
}

}  // namespace quillon

// --- Exports ---------------------------------------------------------------------------------------------

QUILLON_API int QUILLON_CALL FindFirstDevice(char* path) {
  if (path == nullptr) return 0;
  std::uint32_t index = 0;
  if (!quillon::EnumerateBridges(quillon::platform::InterfaceClass::Disk, &index, path)) return 0;
  return static_cast<int>(index) | quillon::kHandleValid;
}

QUILLON_API int QUILLON_CALL FindNextDevice(char* path, int handle) {
  if (path == nullptr || (handle & quillon::kHandleValid) == 0) return 0;
  std::uint32_t index = static_cast<std::uint32_t>(handle) & quillon::kHandleIndexMask;
  if (!quillon::EnumerateBridges(quillon::platform::InterfaceClass::Disk, &index, path)) return 0;
  return static_cast<int>(index) | quillon::kHandleValid;
}
