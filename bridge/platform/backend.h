#ifndef QUILLON_PLATFORM_BACKEND_H
#define QUILLON_PLATFORM_BACKEND_H

// The one seam between the library's portable core and the operating system. Each operating system
// provides a native backend (bridge/platform/<os>/); a test or a host tool may install another one (for
// example the virtual bridge) for the whole process with SetBackend. The core never talks to the
// operating system except through CurrentBackend().

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::platform {

// Portable error codes; the values are those of the Windows system error codes so that the Windows
// backend passes GetLastError() through unchanged.
enum ErrorCode : std::uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNotReady = 21,
  kErrorGenFailure = 31,       // the device rejected or failed the request
  kErrorNotSupported = 50,
  kErrorInvalidParameter = 87,
  kErrorSemTimeout = 121,      // the request timed out
  kErrorIoDevice = 1117,
  kErrorDeviceNotConnected = 1167,
};

// SCSI status byte values the core looks at.
constexpr std::uint8_t kScsiStatusGood = 0x00;
constexpr std::uint8_t kScsiStatusCheckCondition = 0x02;

// Bus type reported for USB-attached storage (STORAGE_BUS_TYPE BusTypeUsb).
constexpr std::uint32_t kBusTypeUsb = 7;

using DeviceHandle = std::intptr_t;
constexpr DeviceHandle kInvalidDeviceHandle = -1;

// Outcome of one pass-through request.
struct PassThroughResult {
  bool ok = false;                   // the request reached the device and came back (DeviceIoControl result)
  std::uint32_t bytesReturned = 0;   // bytes of the request buffer written back
  std::uint8_t scsiStatus = 0;       // SCSI status of the command (meaningful when ok)
  std::uint32_t error = kErrorSuccess;  // portable error code when !ok
};

// Device interface classes the library enumerates.
enum class InterfaceClass { Disk, CdRom, Volume };

// One device interface of a class, with what the library asks of it.
struct StorageInterface {
  std::string interfacePath;   // the system's interface path (SetupAPI device path on Windows)
  bool opened = false;         // the interface could be opened
  bool propertyOk = false;     // the storage device property could be read
  std::uint32_t busType = 0;
  bool numberOk = false;       // the storage device number could be read
  std::uint32_t deviceType = 0;
  std::uint32_t deviceNumber = 0;
  bool deviceNameOk = false;   // volumes only: the mount-manager device name could be read
  std::u16string deviceName;   // volumes only
};

// A snapshot list of the present interfaces of one class.
class InterfaceList {
 public:
  virtual ~InterfaceList() = default;
  // Fills *out for the interface at index; false when the list has no such interface.
  virtual bool Get(std::uint32_t index, StorageInterface* out) = 0;
};

// Controls sent to an open volume.
enum class VolumeControl { AllowExtendedDasdIo, Lock, Dismount, Unlock };

struct DiskGeometry {
  std::uint64_t diskSize = 0;      // bytes
  std::uint32_t bytesPerSector = 0;
};

// Broken-down local time (the fields of struct tm).
struct LocalTime {
  int year = 0;    // years since 1900
  int month = 0;   // 0 to 11
  int day = 1;     // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // --- SCSI pass-through -------------------------------------------------------------------------
  // Opens a device path for reading and writing, shared. Returns kInvalidDeviceHandle and sets *error
  // when the path cannot be opened.
  virtual DeviceHandle OpenDevice(const char* path, std::uint32_t* error) = 0;
  // Sends one pass-through request. request is the request buffer (a 44-byte SCSI_PASS_THROUGH header
  // in the 32-bit Windows layout, sense area at 44, data at 68) used both as input (inLength bytes)
  // and as output (outLength bytes); both lengths are at most the buffer size.
  virtual PassThroughResult SendPassThrough(DeviceHandle handle, std::uint8_t* request,
                                            std::uint32_t inLength, std::uint32_t outLength) = 0;
  virtual void CloseDevice(DeviceHandle handle) = 0;

  // --- Enumeration ---------------------------------------------------------------------------------
  // The present interfaces of a class; null when the list cannot be built.
  virtual std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) = 0;

  // --- Mount points and drive letters ------------------------------------------------------------
  // Asks the mount manager for the mount points of a device name. On success fills the symbolic
  // link names in the manager's order, converted to the ANSI code page (an empty text for a mount
  // point without a link).
  virtual bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) = 0;
  // Bit n set: drive letter 'A' + n in use.
  virtual std::uint32_t LogicalDrives() = 0;
  // Mounts the volume (volume path "\\?\Volume{...}\") at a drive root ("G:\").
  virtual bool MountVolumeAt(const char* driveRoot, const char* volumePath) = 0;

  // --- Volumes and disks -------------------------------------------------------------------------
  // Opens the volume of a drive letter for direct access ("\\.\X:", unbuffered).
  virtual DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) = 0;
  virtual bool ControlVolume(DeviceHandle volume, VolumeControl control, std::uint32_t* error) = 0;
  virtual void CloseVolume(DeviceHandle volume) = 0;
  // Size and sector size of the disk behind a device path.
  virtual bool QueryDiskGeometry(const char* path, DiskGeometry* out) = 0;

  // --- Time ------------------------------------------------------------------------------------------
  // Every wait of the library goes through here, so that tests can run in virtual time.
  virtual void SleepMilliseconds(std::uint32_t milliseconds) = 0;
  virtual LocalTime Now() = 0;
};

// The backend the library uses right now: the installed one, else the native one.
Backend& CurrentBackend();
// Installs a backend for the whole process (null restores the native one); returns the previous
// installed backend (null when the native one was in use). The caller keeps ownership.
Backend* SetBackend(Backend* backend);
// The operating system's backend (defined by bridge/platform/<os>/).
Backend& NativeBackend();

// Installs a backend for the lifetime of a scope.
class ScopedBackend {
 public:
  explicit ScopedBackend(Backend* backend) : previous_(SetBackend(backend)) {}
  ~ScopedBackend() { SetBackend(previous_); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  Backend* previous_;
};

// The module handle of the library, stored once at load (Windows) for finding its own resources.
void SetModuleHandle(void* module);
void* ModuleHandle();

// The local time of the machine, for backends that want the real clock.
LocalTime SystemLocalTime();

}  // namespace quillon::platform

#endif
