// The Windows backend: CreateFileA and DeviceIoControl with the SCSI pass-through, Setup API
// enumeration of the storage interface classes, the mount manager and the volume controls.

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/backend.h"
#include "platform/windows/mount_manager_format.h"
#include "platform/windows/native_request.h"

namespace quillon::platform {
namespace {

// The request buffer is laid out for the structure of 32-bit Windows, the library's target; a 64-bit
// build translates (native_request.h).
static_assert(sizeof(void*) != 4 || sizeof(SCSI_PASS_THROUGH) == 44, "the 32-bit pass-through header is 44 bytes");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "DataTransferLength at 12");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "DataBufferOffset at 20");
static_assert(sizeof(void*) != 4 || offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "Cdb at 28");

// The Setup API records as the 32-bit library fills them: interface data of 28 bytes, a detail record
// whose size field is 5.
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface data is 28 bytes");
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail size field is 5");

constexpr DWORD kIoctlScsiPassThrough = 0x4D004;
constexpr DWORD kIoctlStorageQueryProperty = 0x2D1400;
constexpr DWORD kIoctlStorageGetDeviceNumber = 0x2D1080;
constexpr DWORD kIoctlMountdevQueryDeviceName = 0x4D0008;
constexpr DWORD kIoctlMountmgrQueryPoints = 0x6D0008;
constexpr DWORD kDeviceDescriptorBytes = 40;
constexpr DWORD kBusTypeOffset = 28;  // STORAGE_DEVICE_DESCRIPTOR.BusType
constexpr DWORD kDeviceNameReply = 1024;

static_assert(IOCTL_SCSI_PASS_THROUGH == kIoctlScsiPassThrough, "IOCTL_SCSI_PASS_THROUGH");
static_assert(IOCTL_STORAGE_QUERY_PROPERTY == kIoctlStorageQueryProperty, "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(IOCTL_STORAGE_GET_DEVICE_NUMBER == kIoctlStorageGetDeviceNumber, "IOCTL_STORAGE_GET_DEVICE_NUMBER");

const GUID kDiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kCdRomInterface = {0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID kVolumeInterface = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

const GUID& ClassGuid(InterfaceClass cls) {
  switch (cls) {
    case InterfaceClass::CdRom: return kCdRomInterface;
    case InterfaceClass::Volume: return kVolumeInterface;
    case InterfaceClass::Disk: break;
  }
  return kDiskInterface;
}

DeviceHandle FromHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? kInvalidDeviceHandle : reinterpret_cast<DeviceHandle>(h);
}
HANDLE ToHandle(DeviceHandle h) { return reinterpret_cast<HANDLE>(h); }

HANDLE OpenReadWrite(const char* path, DWORD flags) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     flags, nullptr);
}

// Reads what the library asks of one opened storage interface.
void QueryStorage(HANDLE h, InterfaceClass cls, StorageInterface* info) {
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  BYTE descriptor[kDeviceDescriptorBytes] = {};
  DWORD returned = 0;
  if (DeviceIoControl(h, kIoctlStorageQueryProperty, &query, sizeof(query), descriptor, sizeof(descriptor),
                      &returned, nullptr)) {
    info->propertyOk = true;
    std::memcpy(&info->busType, descriptor + kBusTypeOffset, sizeof(DWORD));
  }
  STORAGE_DEVICE_NUMBER number{};
  if (DeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, &number, sizeof(number), &returned, nullptr)) {
    info->numberOk = true;
    info->deviceType = number.DeviceType;
    info->deviceNumber = number.DeviceNumber;
  }
  if (cls == InterfaceClass::Volume) {
    std::vector<BYTE> reply(kDeviceNameReply, 0);
    if (DeviceIoControl(h, kIoctlMountdevQueryDeviceName, nullptr, 0, reply.data(), kDeviceNameReply, &returned,
                        nullptr)) {
      info->deviceNameOk = windows::ParseMountDevName(reply.data(), returned, &info->deviceName);
    }
  }
}

class SetupInterfaceList : public InterfaceList {
 public:
  SetupInterfaceList(HDEVINFO list, InterfaceClass cls) : list_(list), cls_(cls) {}
  ~SetupInterfaceList() override { SetupDiDestroyDeviceInfoList(list_); }

  bool Get(std::uint32_t index, StorageInterface* out) override {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(list_, nullptr, &ClassGuid(cls_), index, &data)) return false;
    StorageInterface info;
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(list_, &data, nullptr, 0, &needed, nullptr);
    if (needed >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      std::vector<BYTE> storage(needed + sizeof(char), 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(list_, &data, detail, needed, nullptr, nullptr)) {
        info.interfacePath = detail->DevicePath;
        HANDLE h = OpenReadWrite(detail->DevicePath, 0);
        if (h != INVALID_HANDLE_VALUE) {
          info.opened = true;
          QueryStorage(h, cls_, &info);
          CloseHandle(h);
        }
      }
    }
    *out = info;
    return true;
  }

 private:
  HDEVINFO list_;
  InterfaceClass cls_;
};

std::string ToAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

class WindowsBackend : public Backend {
 public:
  DeviceHandle OpenDevice(const char* path, std::uint32_t* error) override {
    HANDLE h = path ? OpenReadWrite(path, 0) : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = path ? static_cast<std::uint32_t>(GetLastError()) : std::uint32_t{kErrorInvalidParameter};
    return FromHandle(h);
  }

  PassThroughResult SendPassThrough(DeviceHandle handle, std::uint8_t* request, std::uint32_t inLength,
                                    std::uint32_t outLength) override {
    PassThroughResult result;
    DWORD returned = 0;
    if constexpr (windows::kNativeLayoutIsPortable) {
      result.ok = DeviceIoControl(ToHandle(handle), kIoctlScsiPassThrough, request, inLength, request, outLength,
                                  &returned, nullptr) != FALSE;
      result.bytesReturned = returned;
    } else {
      windows::NativeRequest native;
      if (!windows::ToNativeRequest(request, inLength, outLength, &native)) {
        result.error = kErrorInvalidParameter;
        return result;
      }
      result.ok = DeviceIoControl(ToHandle(handle), kIoctlScsiPassThrough, native.buffer.data(), native.inLength,
                                  native.buffer.data(), native.outLength, &returned, nullptr) != FALSE;
      if (result.ok) result.bytesReturned = windows::FromNativeReply(native, returned, request, outLength);
    }
    if (result.ok) {
      result.scsiStatus = request[2];  // ScsiStatus
    } else {
      result.error = GetLastError();
    }
    return result;
  }

  void CloseDevice(DeviceHandle handle) override {
    if (handle != kInvalidDeviceHandle) CloseHandle(ToHandle(handle));
  }

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    HDEVINFO list = SetupDiGetClassDevsA(&ClassGuid(cls), nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<SetupInterfaceList>(list, cls);
  }

  bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) override {
    if (links == nullptr) return false;
    std::vector<std::uint8_t> request = windows::BuildQueryPointsRequest(deviceName);
    if (request.empty()) return false;
    HANDLE manager = CreateFileA("\\\\.\\MountPointManager", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) return false;
    std::vector<std::uint8_t> reply(windows::kMountReplySize, 0);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(manager, kIoctlMountmgrQueryPoints, request.data(),
                                    static_cast<DWORD>(request.size()), reply.data(),
                                    static_cast<DWORD>(reply.size()), &returned, nullptr);
    CloseHandle(manager);
    std::vector<std::u16string> wide;
    if (!ok || !windows::ParseQueryPointsReply(reply.data(), returned, &wide)) return false;
    links->clear();
    for (const std::u16string& link : wide) links->push_back(ToAnsi(link));
    return true;
  }

  std::uint32_t LogicalDrives() override { return GetLogicalDrives(); }

  bool MountVolumeAt(const char* driveRoot, const char* volumePath) override {
    return driveRoot && volumePath && SetVolumeMountPointA(driveRoot, volumePath) != FALSE;
  }

  DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) override {
    const char path[] = {'\\', '\\', '.', '\\', driveLetter, ':', '\0'};
    HANDLE h = OpenReadWrite(path, FILE_FLAG_NO_BUFFERING);
    if (h == INVALID_HANDLE_VALUE && error != nullptr) *error = GetLastError();
    return FromHandle(h);
  }

  bool ControlVolume(DeviceHandle volume, VolumeControl control, std::uint32_t* error) override {
    DWORD code = FSCTL_LOCK_VOLUME;
    switch (control) {
      case VolumeControl::AllowExtendedDasdIo: code = FSCTL_ALLOW_EXTENDED_DASD_IO; break;
      case VolumeControl::Lock: code = FSCTL_LOCK_VOLUME; break;
      case VolumeControl::Dismount: code = FSCTL_DISMOUNT_VOLUME; break;
      case VolumeControl::Unlock: code = FSCTL_UNLOCK_VOLUME; break;
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(ToHandle(volume), code, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (!ok && error != nullptr) *error = GetLastError();
    return ok != FALSE;
  }

  void CloseVolume(DeviceHandle volume) override {
    if (volume != kInvalidDeviceHandle) CloseHandle(ToHandle(volume));
  }

  bool QueryDiskGeometry(const char* path, DiskGeometry* out) override {
    if (path == nullptr || out == nullptr) return false;
    HANDLE h = OpenReadWrite(path, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Room for the geometry and the partition and detection records that may follow it.
    alignas(8) BYTE reply[256] = {};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, reply, sizeof(reply), &returned,
                                    nullptr);
    CloseHandle(h);
    if (!ok || returned < sizeof(DISK_GEOMETRY_EX) - 1) return false;
    const auto* geometry = reinterpret_cast<const DISK_GEOMETRY_EX*>(reply);
    out->diskSize = static_cast<std::uint64_t>(geometry->DiskSize.QuadPart);
    out->bytesPerSector = geometry->Geometry.BytesPerSector;
    return true;
  }

  void SleepMilliseconds(std::uint32_t milliseconds) override { Sleep(milliseconds); }

  LocalTime Now() override { return SystemLocalTime(); }
};

}  // namespace

Backend& NativeBackend() {
  static WindowsBackend backend;
  return backend;
}

}  // namespace quillon::platform
