// Enumeration of SCSI block devices through libudev.

#include "platform/linux/block_devices.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <map>
#include <memory>

namespace quillon::platform::linux_block {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};

template <class T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

struct Scan {
  std::vector<BlockDisk> disks;    // sd*
  std::vector<BlockDisk> cdroms;   // sr*
};

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

Scan ScanBlockDevices() {
  Scan scan;
  UdevPtr<udev> context(udev_new());
  if (!context) return scan;
  UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return scan;
  udev_enumerate_add_match_subsystem(enumerate.get(), "block");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return scan;

  std::map<std::string, BlockDisk> disks;
  std::vector<std::pair<std::string, std::string>> partitions;  // parent name, devnode
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UdevPtr<udev_device> device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!device) continue;
    const char* sysname = udev_device_get_sysname(device.get());
    const char* devtype = udev_device_get_devtype(device.get());
    const char* devnode = udev_device_get_devnode(device.get());
    if (sysname == nullptr || devtype == nullptr || devnode == nullptr) continue;
    const std::string name = sysname;
    if (!StartsWith(name, "sd") && !StartsWith(name, "sr")) continue;
    if (std::string(devtype) == "disk") {
      BlockDisk disk;
      disk.name = name;
      disk.devnode = devnode;
      disk.usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device") != nullptr;
      disks[name] = disk;
    } else if (std::string(devtype) == "partition") {
      udev_device* parent = udev_device_get_parent(device.get());  // owned by the child
      const char* parentName = parent ? udev_device_get_sysname(parent) : nullptr;
      if (parentName != nullptr) partitions.emplace_back(parentName, devnode);
    }
  }
  for (const auto& [parent, node] : partitions) {
    auto it = disks.find(parent);
    if (it != disks.end()) it->second.partitions.push_back(node);
  }
  for (auto& [name, disk] : disks) {
    std::sort(disk.partitions.begin(), disk.partitions.end(), KernelNameLess);
    (StartsWith(name, "sr") ? scan.cdroms : scan.disks).push_back(disk);
  }
  auto byName = [](const BlockDisk& a, const BlockDisk& b) { return KernelNameLess(a.name, b.name); };
  std::sort(scan.disks.begin(), scan.disks.end(), byName);
  std::sort(scan.cdroms.begin(), scan.cdroms.end(), byName);
  return scan;
}

}  // namespace

bool KernelNameLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::vector<BlockDisk> ListDisks(bool cdrom) {
  Scan scan = ScanBlockDevices();
  return cdrom ? scan.cdroms : scan.disks;
}

std::vector<Volume> ListVolumes() {
  std::vector<Volume> volumes;
  const std::vector<BlockDisk> disks = ListDisks(false);
  for (std::uint32_t number = 0; number < disks.size(); ++number) {
    const BlockDisk& disk = disks[number];
    std::vector<std::string> nodes = disk.partitions;
    if (nodes.empty()) nodes.push_back(disk.devnode);
    for (const std::string& node : nodes) {
      Volume v;
      v.devnode = node;
      v.diskNumber = number;
      v.usb = disk.usb;
      const std::size_t letterIndex = volumes.size() + 2;  // C: first
      v.driveLetter = letterIndex < 26 ? static_cast<char>('A' + letterIndex) : 0;
      volumes.push_back(v);
    }
  }
  return volumes;
}

bool ParseNumberedPath(const std::string& path, const std::string& prefix, std::uint32_t* number) {
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  std::uint64_t value = 0;
  for (std::size_t i = prefix.size(); i < path.size(); ++i) {
    const char c = path[i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return false;
  }
  *number = static_cast<std::uint32_t>(value);
  return true;
}

std::string ResolveDevicePath(const std::string& path) {
  if (StartsWith(path, "/dev/")) return path;
  std::uint32_t number = 0;
  const bool disk = ParseNumberedPath(path, "\\\\.\\PhysicalDrive", &number);
  if (!disk && !ParseNumberedPath(path, "\\\\.\\CDROM", &number)) return {};
  const std::vector<BlockDisk> list = ListDisks(!disk);
  return number < list.size() ? list[number].devnode : std::string();
}

std::string ScsiGenericNode(const std::string& node, const std::string& sysRoot) {
  namespace fs = std::filesystem;
  if (!StartsWith(node, "/dev/")) return {};
  const std::string name = node.substr(node.rfind('/') + 1);
  if (StartsWith(name, "sg") && name.size() > 2) return node;
  if (name.empty() || name == "." || name == "..") return {};
  std::error_code ec;
  fs::path block = fs::path(sysRoot) / "class" / "block" / name;
  if (!fs::exists(block, ec)) return {};
  // A partition sits inside its disk's folder; resolving the link first makes ".." that folder.
  if (fs::exists(block / "partition", ec)) block = fs::canonical(block, ec).parent_path();
  if (ec) return {};
  std::vector<std::string> found;
  for (fs::directory_iterator it(block / "device" / "scsi_generic", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string sg = it->path().filename().string();
    if (StartsWith(sg, "sg")) found.push_back(sg);
  }
  if (found.empty()) return {};
  std::sort(found.begin(), found.end(), KernelNameLess);
  return "/dev/" + found.front();
}

std::string CommandNodeFor(const std::string& path, const std::string& sysRoot) {
  const std::string node = ResolveDevicePath(path);
  if (node.empty()) return {};
  std::string sg = ScsiGenericNode(node, sysRoot);
  struct stat st {};
  // Only a node that exists as a character device; otherwise the block node (root may use it).
  if (sg.empty() || sg == node || ::stat(sg.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return node;
  return sg;
}

}  // namespace quillon::platform::linux_block
