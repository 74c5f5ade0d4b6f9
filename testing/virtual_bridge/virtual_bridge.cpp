// The virtual bridge as a platform backend: topology, device handles, request parsing, faults, the
// request log, volumes and virtual time.

#include "virtual_bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quillon::testing {

using platform::DeviceHandle;
using platform::kInvalidDeviceHandle;
using platform::PassThroughResult;

namespace {

constexpr std::uint32_t kHeader = 44;
constexpr std::uint32_t kSense = 44;
constexpr std::uint32_t kData = 68;
constexpr std::uint32_t kMaxData = 65536;

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

class SnapshotList : public platform::InterfaceList {
 public:
  explicit SnapshotList(std::vector<StorageInterface> items) : items_(std::move(items)) {}
  bool Get(std::uint32_t index, StorageInterface* out) override {
    if (index >= items_.size()) return false;
    *out = items_[index];
    return true;
  }

 private:
  std::vector<StorageInterface> items_;
};

StorageInterface UsbInterface(const std::string& path, std::uint32_t number) {
  StorageInterface info;
  info.interfacePath = path;
  info.opened = true;
  info.propertyOk = true;
  info.busType = platform::kBusTypeUsb;
  info.numberOk = true;
  info.deviceNumber = number;
  return info;
}

}  // namespace

std::string DiskInterfacePath(std::uint32_t deviceNumber) {
  char text[128];
  std::snprintf(text, sizeof(text),
                "\\\\?\\usbstor#disk&ven_virtual&prod_bridge#%lu&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
                static_cast<unsigned long>(deviceNumber));
  return text;
}

std::string CdRomInterfacePath(std::uint32_t deviceNumber) {
  char text[128];
  std::snprintf(text, sizeof(text),
                "\\\\?\\usbstor#cdrom&ven_virtual&prod_bridge#%lu&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}",
                static_cast<unsigned long>(deviceNumber));
  return text;
}

std::function<bool(const CdbRecord&)> MatchAny() {
  return [](const CdbRecord&) { return true; };
}

std::function<bool(const CdbRecord&)> MatchVendor(std::uint8_t sub) {
  return [sub](const CdbRecord& r) { return r.cdbLength == 16 && r.cdb[1] == sub; };
}

std::function<bool(const CdbRecord&)> MatchVendor(std::uint8_t sub, std::uint8_t byte2) {
  return [sub, byte2](const CdbRecord& r) { return r.cdbLength == 16 && r.cdb[1] == sub && r.cdb[2] == byte2; };
}

std::function<bool(const CdbRecord&)> MatchOpcode(std::uint8_t opcode) {
  return [opcode](const CdbRecord& r) { return r.cdb[0] == opcode; };
}

VirtualBridge::VirtualBridge(bool install) {
  InstallCoreHandlers();
  if (install) {
    previous_ = platform::SetBackend(this);
    installed_ = true;
  }
}

VirtualBridge::~VirtualBridge() {
  if (installed_) platform::SetBackend(previous_);
}

// --- Topology ----------------------------------------------------------------------------------------------

std::shared_ptr<VirtualController> VirtualBridge::AttachDisk(std::uint32_t deviceNumber,
                                                             std::shared_ptr<VirtualController> controller,
                                                             DiskRole role) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!controller) controller = std::make_shared<VirtualController>();
  VirtualDevice device;
  device.path = "\\\\.\\PhysicalDrive" + std::to_string(deviceNumber);
  device.controller = controller;
  device.role = role;
  device.interfaceClass = InterfaceClass::Disk;
  device.deviceNumber = deviceNumber;
  devices_.push_back(device);
  interfaces_[InterfaceClass::Disk].push_back(UsbInterface(DiskInterfacePath(deviceNumber), deviceNumber));
  return controller;
}

std::shared_ptr<VirtualController> VirtualBridge::AttachCdRom(std::uint32_t deviceNumber,
                                                              std::shared_ptr<VirtualController> controller) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!controller) controller = std::make_shared<VirtualController>();
  VirtualDevice device;
  device.path = "\\\\.\\CDROM" + std::to_string(deviceNumber);
  device.controller = controller;
  device.role = DiskRole::CdRom;
  device.interfaceClass = InterfaceClass::CdRom;
  device.deviceNumber = deviceNumber;
  devices_.push_back(device);
  interfaces_[InterfaceClass::CdRom].push_back(UsbInterface(CdRomInterfacePath(deviceNumber), deviceNumber));
  return controller;
}

StorageInterface& VirtualBridge::AddInterface(InterfaceClass cls, const StorageInterface& info) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  interfaces_[cls].push_back(info);
  return interfaces_[cls].back();
}

VirtualDevice* VirtualBridge::Device(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (VirtualDevice& d : devices_)
    if (d.path == path) return &d;
  return nullptr;
}

std::deque<StorageInterface>& VirtualBridge::Interfaces(InterfaceClass cls) { return interfaces_[cls]; }

VirtualVolume& VirtualBridge::AddVolume(std::uint32_t diskNumber, char driveLetter) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::size_t n = volumes_.size() + 1;
  VirtualVolume volume;
  char text[128];
  std::snprintf(text, sizeof(text), "\\\\?\\storage#volume#_??_usbstor#disk&ven_virtual#%lu#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
                static_cast<unsigned long>(n));
  volume.info = UsbInterface(text, diskNumber);
  const std::string deviceName = "\\Device\\HarddiskVolume" + std::to_string(n);
  volume.info.deviceNameOk = true;
  volume.info.deviceName.assign(deviceName.begin(), deviceName.end());
  std::snprintf(text, sizeof(text), "Volume{00000000-0000-0000-0000-%012lu}", static_cast<unsigned long>(n));
  volume.volumeGuidPath = text;
  volume.driveLetter = driveLetter;
  volumes_.push_back(volume);
  return volumes_.back();
}

void VirtualBridge::Unplug(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  VirtualDevice* device = Device(path);
  if (device == nullptr) return;
  device->unplugged = true;
  device->openable = false;
  device->openError = platform::kErrorFileNotFound;
  auto& list = interfaces_[device->interfaceClass];
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const StorageInterface& i) { return i.deviceNumber == device->deviceNumber; }),
             list.end());
  if (device->interfaceClass == InterfaceClass::Disk) {
    volumes_.erase(std::remove_if(volumes_.begin(), volumes_.end(),
                                  [&](const VirtualVolume& v) { return v.info.deviceNumber == device->deviceNumber; }),
                   volumes_.end());
  }
}

// --- Faults and handlers -----------------------------------------------------------------------------------

void VirtualBridge::AddFault(const Fault& fault) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  faults_.push_back({fault, 0, 0});
}

void VirtualBridge::ClearFaults() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  faults_.clear();
  volumeControlFailures_.clear();
}

void VirtualBridge::FailVolumeControl(platform::VolumeControl control, int times) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  volumeControlFailures_[control] = times;
}

bool VirtualBridge::NextFault(const CdbRecord& request, Fault* hit) {
  for (ActiveFault& f : faults_) {
    if (!f.fault.match || !f.fault.match(request)) continue;
    if (f.seen++ < f.fault.skip) continue;
    if (f.fault.times >= 0 && f.hits >= f.fault.times) continue;
    ++f.hits;
    *hit = f.fault;
    return true;
  }
  return false;
}

void VirtualBridge::SetVendorHandler(std::uint8_t sub, CommandHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_[{0, sub, 0}] = std::move(handler);
}

void VirtualBridge::SetVendorHandler(std::uint8_t sub, std::uint8_t byte2, CommandHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_[{1, sub, byte2}] = std::move(handler);
}

void VirtualBridge::SetStandardHandler(std::uint8_t opcode, CommandHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handlers_[{2, opcode, 0}] = std::move(handler);
}

const CommandHandler* VirtualBridge::FindHandler(const VirtualController& controller, const CdbRecord& request) const {
  const bool vendor = request.cdbLength == 16 && std::find(controller.vendorOpcodes.begin(),
                                                           controller.vendorOpcodes.end(),
                                                           request.cdb[0]) != controller.vendorOpcodes.end();
  if (vendor) {
    auto it = handlers_.find({1, request.cdb[1], request.cdb[2]});
    if (it == handlers_.end()) it = handlers_.find({0, request.cdb[1], 0});
    return it == handlers_.end() ? nullptr : &it->second;
  }
  auto it = handlers_.find({2, request.cdb[0], 0});
  return it == handlers_.end() ? nullptr : &it->second;
}

std::vector<CdbRecord> VirtualBridge::LogMatching(const std::function<bool(const CdbRecord&)>& match) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<CdbRecord> out;
  for (const CdbRecord& r : log_)
    if (match(r)) out.push_back(r);
  return out;
}

int VirtualBridge::OpenHandles() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

void VirtualBridge::Record(CdbRecord&& record) {
  if (logEnabled_) log_.push_back(std::move(record));
}

// --- Pass-through --------------------------------------------------------------------------------------------

DeviceHandle VirtualBridge::OpenDevice(const char* path, std::uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::uint32_t ignored = 0;
  if (error == nullptr) error = &ignored;
  VirtualDevice* device = path ? Device(path) : nullptr;
  if (device == nullptr) {
    *error = platform::kErrorFileNotFound;
    return kInvalidDeviceHandle;
  }
  if (!device->openable) {
    *error = device->openError;
    return kInvalidDeviceHandle;
  }
  const DeviceHandle handle = nextHandle_++;
  handles_[handle] = device->path;
  ++openCount_;
  return handle;
}

void VirtualBridge::CloseDevice(DeviceHandle handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handles_.erase(handle);
}

PassThroughResult VirtualBridge::SendPassThrough(DeviceHandle handle, std::uint8_t* request, std::uint32_t inLength,
                                                 std::uint32_t outLength) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  PassThroughResult result;
  auto h = handles_.find(handle);
  if (h == handles_.end() || request == nullptr) {
    result.error = platform::kErrorInvalidHandle;
    return result;
  }
  VirtualDevice* device = Device(h->second);

  // Read the request header (the 44-byte 32-bit SCSI_PASS_THROUGH layout).
  CdbRecord record;
  record.path = h->second;
  record.inLength = inLength;
  record.outLength = outLength;
  const bool headerFits = inLength >= kHeader && (request[0] | (request[1] << 8)) == kHeader;
  if (headerFits) {
    record.cdbLength = request[6];
    record.senseLength = request[7];
    record.dataIn = request[8] != 0;
    record.transferLength = Le32(request + 12);
    record.timeoutSeconds = Le32(request + 16);
    std::memcpy(record.cdb.data(), request + 28, 16);
  }
  const std::uint32_t room = std::max(inLength, outLength);
  const bool valid = headerFits && record.cdbLength > 0 && record.cdbLength <= 16 &&
                     record.transferLength <= kMaxData && room <= kData + kMaxData &&
                     (record.transferLength == 0 ||
                      (Le32(request + 20) == kData && kData + record.transferLength <= room)) &&
                     (record.senseLength == 0 || (Le32(request + 24) == kSense && record.senseLength <= 24));
  if (valid && !record.dataIn && record.transferLength > 0) {
    // Only the input length reaches the device; anything beyond it is not sent.
    std::vector<std::uint8_t> out(record.transferLength, 0);
    if (inLength > kData) std::memcpy(out.data(), request + kData, std::min(record.transferLength, inLength - kData));
    record.dataOut = std::move(out);
  }

  auto finish = [&](PassThroughResult r) {
    record.ok = r.ok;
    record.bytesReturned = r.bytesReturned;
    record.scsiStatus = r.scsiStatus;
    record.error = r.error;
    if (record.dataOut.size() > logDataLimit_) record.dataOut.resize(logDataLimit_);
    Record(std::move(record));
    return r;
  };

  if (device == nullptr || device->unplugged) {
    result.error = platform::kErrorDeviceNotConnected;
    return finish(result);
  }
  if (!valid) {
    result.error = platform::kErrorInvalidParameter;
    return finish(result);
  }

  Fault fault;
  const bool faulted = NextFault(record, &fault);
  if (faulted && fault.kind == FaultKind::Fail) {
    result.error = fault.error;
    return finish(result);
  }
  if (faulted && fault.kind == FaultKind::Disappear) {
    Unplug(device->path);
    result.error = platform::kErrorDeviceNotConnected;
    return finish(result);
  }

  auto reject = [&]() {
    result.ok = true;
    result.scsiStatus = platform::kScsiStatusCheckCondition;
    request[2] = result.scsiStatus;
    std::uint32_t returned = kHeader;
    if (record.senseLength > 0 && outLength >= kSense + record.senseLength) {
      // Fixed-format sense: ILLEGAL REQUEST, invalid field in CDB.
      std::memset(request + kSense, 0, record.senseLength);
      request[kSense + 0] = 0x70;
      request[kSense + 2] = 0x05;
      if (record.senseLength > 12) request[kSense + 12] = 0x24;
      returned = kSense + record.senseLength;
    }
    result.bytesReturned = std::min(returned, outLength);
    return finish(result);
  };
  if (faulted && fault.kind == FaultKind::CheckCondition) return reject();

  const CommandHandler* handler = FindHandler(*device->controller, record);
  if (handler == nullptr) return reject();

  std::vector<std::uint8_t> data =
      record.dataIn ? std::vector<std::uint8_t>(record.transferLength, 0) : record.dataOut;
  CommandContext context{*device->controller, *device, record, data};
  const CommandOutcome outcome = (*handler)(context);
  if (outcome.status == CommandOutcome::Status::Fail) {
    result.error = outcome.error;
    return finish(result);
  }
  if (outcome.status == CommandOutcome::Status::CheckCondition) return reject();

  result.ok = true;
  result.scsiStatus = platform::kScsiStatusGood;
  request[2] = result.scsiStatus;
  std::uint32_t returned = kHeader;
  if (record.dataIn && record.transferLength > 0) {
    const std::uint32_t delivered = std::min<std::uint32_t>(outcome.dataLength, record.transferLength);
    const std::uint32_t fits = outLength > kData ? std::min(delivered, outLength - kData) : 0;
    std::memcpy(request + kData, data.data(), fits);
    returned = kData + delivered;
  }
  result.bytesReturned = std::min(returned, outLength);
  if (faulted && fault.kind == FaultKind::ShortReply) result.bytesReturned = std::min(fault.bytesReturned, result.bytesReturned);
  return finish(result);
}

// --- System side ---------------------------------------------------------------------------------------------

std::unique_ptr<platform::InterfaceList> VirtualBridge::ListInterfaces(InterfaceClass cls) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (listFails) return nullptr;
  std::vector<StorageInterface> items;
  if (cls == InterfaceClass::Volume) {
    for (const VirtualVolume& v : volumes_) items.push_back(v.info);
  } else {
    auto it = interfaces_.find(cls);
    if (it != interfaces_.end()) items.assign(it->second.begin(), it->second.end());
  }
  return std::make_unique<SnapshotList>(std::move(items));
}

bool VirtualBridge::QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!mountPointManagerOpens || links == nullptr) return false;
  for (const VirtualVolume& v : volumes_) {
    if (!v.info.deviceNameOk || v.info.deviceName != deviceName) continue;
    if (!v.mountManagerAnswers) return false;
    links->clear();
    if (v.driveLetter != 0) links->push_back(std::string("\\DosDevices\\") + v.driveLetter + ":");
    links->push_back("\\??\\" + v.volumeGuidPath);
    return true;
  }
  return false;
}

std::uint32_t VirtualBridge::LogicalDrives() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::uint32_t mask = otherDrives;
  for (const VirtualVolume& v : volumes_)
    if (v.driveLetter >= 'A' && v.driveLetter <= 'Z') mask |= 1u << (v.driveLetter - 'A');
  return mask;
}

bool VirtualBridge::MountVolumeAt(const char* driveRoot, const char* volumePath) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (driveRoot == nullptr || volumePath == nullptr) return false;
  const char letter = driveRoot[0];
  if (letter < 'A' || letter > 'Z' || std::strcmp(driveRoot + 1, ":\\") != 0) return false;
  if (LogicalDrives() & (1u << (letter - 'A'))) return false;
  for (VirtualVolume& v : volumes_) {
    if ("\\\\?\\" + v.volumeGuidPath + "\\" != volumePath) continue;
    if (v.driveLetter != 0) return false;
    v.driveLetter = letter;
    mounts.emplace_back(driveRoot, volumePath);
    return true;
  }
  return false;
}

VirtualVolume* VirtualBridge::VolumeByLetter(char letter) {
  for (VirtualVolume& v : volumes_)
    if (letter != 0 && v.driveLetter == letter) return &v;
  return nullptr;
}

DeviceHandle VirtualBridge::OpenVolume(char driveLetter, std::uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (VolumeByLetter(driveLetter) == nullptr) {
    if (error != nullptr) *error = platform::kErrorFileNotFound;
    return kInvalidDeviceHandle;
  }
  const DeviceHandle handle = nextHandle_++;
  volumeHandles_[handle] = driveLetter;
  return handle;
}

bool VirtualBridge::ControlVolume(DeviceHandle volume, platform::VolumeControl control, std::uint32_t* error) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = volumeHandles_.find(volume);
  if (it == volumeHandles_.end()) {
    if (error != nullptr) *error = platform::kErrorInvalidHandle;
    return false;
  }
  VolumeEvent event{it->second, control, true};
  int& failures = volumeControlFailures_[control];
  if (failures > 0) {
    --failures;
    event.ok = false;
    if (error != nullptr) *error = platform::kErrorAccessDenied;
  }
  volumeEvents_.push_back(event);
  return event.ok;
}

void VirtualBridge::CloseVolume(DeviceHandle volume) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  volumeHandles_.erase(volume);
}

bool VirtualBridge::QueryDiskGeometry(const char* path, platform::DiskGeometry* out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  VirtualDevice* device = path ? Device(path) : nullptr;
  if (device == nullptr || !device->openable || out == nullptr) return false;
  if (device->geometryFailures > 0) {
    --device->geometryFailures;
    return false;
  }
  out->bytesPerSector = kBlockSize;
  out->diskSize = device->Disk().BlockCount() * kBlockSize;
  return true;
}

void VirtualBridge::SleepMilliseconds(std::uint32_t milliseconds) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  clock_ += milliseconds;
  sleeps_.push_back(milliseconds);
}

}  // namespace quillon::testing
