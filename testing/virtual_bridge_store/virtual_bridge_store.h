#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_STORE_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_STORE_H

// A virtual bridge whose controller lives in a folder between runs, so that separate processes (the
// host tool, a script) can work on the same emulated device one after the other.
//
//   BridgeStore::Create(dir, options, &error);   // a fresh controller
//   VirtualBridge bridge;                        // installs itself as the process backend
//   BridgeStore store;
//   store.Load(dir, bridge, &error);             // \\.\PhysicalDrive1 (public), \\.\PhysicalDrive2 (cipher)
//   ... call the library ...
//   store.Save(&error);                          // writes back what the requests changed
//
// Folder layout:
//   bridge.ini          identify reply, flash part, cards, regions, passwords, cipher size, small state
//   flash.bin           the SPI flash cells (absent when the controller has no flash)
//   memory.hex          controller memory, the rows that are not zero
//   public.img          the public disk as a raw image (sparse), sized to the public region
//   cipher.img          the cipher disk as a raw image (sparse), sized to the cipher region
//   *.beyond            blocks of a disk that lie past its image (hidden sectors near block 2^32)
//   iso.img             the CD region, up to the last block written
//   cardN.img           memory card N, up to the last block written
//   sample-firmware.hex a valid firmware file for this controller (written by Create); once written to
//                       the flash, its PC image gives the controller its hidden sectors
//
// Save writes only the blocks and memory rows that were loaded or that a logged request could have
// changed, so a run that touches a few sectors of a large disk stays cheap. It relies on the bridge's
// request log; the store turns off the logging of data bytes to keep that log small.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "testing/virtual_bridge/virtual_bridge.h"

namespace quillon::testing {

struct StoreOptions {
  std::string chip = "FCC1";              // identify name: FCC1, FCC2, BC1 or 6623
  std::string flashPart = "W25X40";       // catalogue part name, or "none" for a controller without flash
  std::uint64_t diskSectors = 131072;     // whole-disk size in 512-byte sectors (64 MiB)
  int cards = 0;                          // card slots 0..cards-1 hold a card (0 to 4)
  std::uint32_t firmwareWord = 0x02000000;  // identify word 2: firmware version, top byte > 1 = two images
  std::uint32_t hiddenSectors = 2048;     // hidden sector count the sample firmware's PC image carries
};

// Checks options before anything is written; false with a message naming the bad value.
bool ValidateStoreOptions(const StoreOptions& options, std::string* error);

class BridgeStore {
 public:
  static constexpr const char* kStateFile = "bridge.ini";
  static constexpr const char* kSampleFirmware = "sample-firmware.hex";
  // Held from Load until the store is destroyed, so two runs never work on one folder at once.
  static constexpr const char* kLockFolder = ".in-use";

  BridgeStore() = default;
  ~BridgeStore();
  BridgeStore(const BridgeStore&) = delete;
  BridgeStore& operator=(const BridgeStore&) = delete;

  // True when dir holds a stored bridge.
  static bool Exists(const std::string& dir);
  // Creates the folder (or uses an empty one) and writes a fresh controller into it. Refuses a folder
  // that already holds a bridge or anything else.
  static bool Create(const std::string& dir, const StoreOptions& options, std::string* error);

  // Builds the topology on the bridge and loads the controller state. On failure nothing is attached.
  // Refused while another store has the folder loaded.
  bool Load(const std::string& dir, VirtualBridge& bridge, std::string* error);
  // Writes the controller state back.
  bool Save(std::string* error);

  const std::shared_ptr<VirtualController>& Controller() const { return controller_; }
  std::uint64_t DiskSectors() const { return diskSectors_; }
  static constexpr std::uint32_t kPublicDiskNumber = 1;
  static constexpr std::uint32_t kCipherDiskNumber = 2;

 private:
  using BlockSet = std::set<std::uint64_t>;
  struct DiskFile {
    SparseDisk* disk = nullptr;
    std::string name;        // "public" -> public.img, public.beyond
    bool fixedSize = false;  // image sized to the region; otherwise to the last block in use
    BlockSet candidates;     // blocks loaded or possibly written
  };

  bool LoadState(const std::filesystem::path& root, VirtualBridge& bridge, std::string* error);
  void CollectWrites();
  std::uint64_t ImageBlocks(const DiskFile& d) const;
  bool SaveDisk(DiskFile& d, std::string* error);
  bool LoadDisk(DiskFile& d, std::string* error);

  std::string dir_;
  VirtualBridge* bridge_ = nullptr;
  std::shared_ptr<VirtualController> controller_;
  std::uint64_t diskSectors_ = 0;
  std::map<std::string, DiskFile> disks_;
  std::set<std::uint32_t> memoryRows_;   // 32-byte rows (address / 32) loaded or possibly written
  std::string flashPartName_;
  std::size_t logConsumed_ = 0;
  std::string lock_;  // the lock folder this store created, empty when none
};

}  // namespace quillon::testing

#endif
