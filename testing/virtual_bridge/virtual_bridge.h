#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_H

// An emulated bridge controller behind the library's platform seam. It answers every controller command
// at the CDB level with real state (identify reply, SPI flash, controller memory, card slots, region
// table, public and cipher disks, passwords, fingerprint module, SD lock), logs every request, injects
// faults, provides the system side the discovery code asks about (interfaces, volumes, drive letters,
// mount points, volume locks, disk geometry) and keeps a virtual clock for every wait.
//
// Typical use:
//   quillon::testing::VirtualBridge bridge;                 // installs itself as the process backend
//   auto ctl = bridge.AttachDisk(1);                        // "\\.\PhysicalDrive1", an FCC1 controller
//   ctl->flash.Load(quillon::testing::FlashPartW25X40());
//   ... call the library ...
//   bridge.Log()                                            // every CDB with direction and lengths
//
// Growing it: a later feature adds its own handlers (SetVendorHandler / SetStandardHandler) and its own
// state (VirtualController::State<T>()) from its own files, without changing this one.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <typeindex>
#include <vector>

#include "platform/backend.h"

namespace quillon::testing {

using platform::InterfaceClass;
using platform::StorageInterface;

constexpr std::uint32_t kBlockSize = 512;

// A sparse store of 512-byte blocks; absent blocks read as zeros. Addresses are 64-bit so a disk can
// hold 2^32 blocks.
class SparseDisk {
 public:
  explicit SparseDisk(std::uint64_t blockCount = std::uint64_t{1} << 32) : blockCount_(blockCount) {}
  std::uint64_t BlockCount() const { return blockCount_; }
  void SetBlockCount(std::uint64_t count) { blockCount_ = count; }
  // False (nothing copied) when block is beyond the disk.
  bool Read(std::uint64_t block, std::uint8_t* out) const;
  bool Write(std::uint64_t block, const std::uint8_t* in);
  // Byte-level helpers spanning blocks (test convenience); false when the range leaves the disk.
  bool ReadBytes(std::uint64_t offset, void* out, std::size_t length) const;
  bool WriteBytes(std::uint64_t offset, const void* in, std::size_t length);
  std::size_t StoredBlocks() const { return blocks_.size(); }
  void Clear() { blocks_.clear(); }
  // Writes blocks [firstBlock, firstBlock + count) to a file (absent blocks as zeros), for checking a
  // written file system with external tools. False when the file cannot be written.
  bool ExportImage(const std::string& file, std::uint64_t firstBlock, std::uint64_t count) const;
  // Loads a file at firstBlock (the last block zero-padded).
  bool ImportImage(const std::string& file, std::uint64_t firstBlock);

 private:
  std::uint64_t blockCount_;
  std::map<std::uint64_t, std::array<std::uint8_t, kBlockSize>> blocks_;
};

// Controller memory: a sparse 32-bit address space of bytes, zero where never written.
class SparseMemory {
 public:
  void Read(std::uint32_t address, void* out, std::size_t length) const;
  void Write(std::uint32_t address, const void* in, std::size_t length);
  std::uint32_t ReadBe32(std::uint32_t address) const;
  void WriteBe32(std::uint32_t address, std::uint32_t value);

 private:
  std::map<std::uint32_t, std::array<std::uint8_t, 4096>> pages_;
};

// An SPI flash part as the controller's flash commands see it.
struct FlashPart {
  std::string name;
  std::uint32_t size = 512 * 1024;          // bytes
  std::uint32_t pageSize = 256;             // program wraps inside a page, like the real parts
  bool answersRdid = true;                  // false: opcode 0x9F reads FF FF FF
  std::array<std::uint8_t, 3> rdid = {0xFF, 0xFF, 0xFF};   // bytes answered to 0x9F
  std::array<std::uint8_t, 3> rdid15 = {0xFF, 0xFF, 0xFF}; // bytes answered to 0x15
  std::array<std::uint8_t, 2> rems = {0xFF, 0xFF};         // bytes answered to 0x90
  std::array<std::uint8_t, 2> res = {0xFF, 0xFF};          // bytes answered to 0xAB
  std::uint8_t readOpcode = 0x03;
  std::uint8_t pageProgramOpcode = 0x02;
  std::uint8_t writeEnableOpcode = 0x06;
  std::vector<std::uint8_t> chipEraseOpcodes = {0xC7, 0x60};
  std::map<std::uint8_t, std::uint32_t> eraseOpcodes = {{0x20, 4096}, {0x52, 32768}, {0xD8, 65536}};
};

// Ready-made parts.
FlashPart FlashPartW25X40();   // EF 30 13 / EF 12, 512 KiB, 4 KiB sectors
FlashPart FlashPartEN25P20();  // 1C 20 12 / 1C 11, 256 KiB, 64 KiB sectors only (0xD8)
FlashPart FlashPartGD25Q16();  // C8 40 15 / C8 14, 2 MiB

struct FlashState {
  bool present = true;                    // answer of the flash-present command
  FlashPart part = FlashPartW25X40();
  std::vector<std::uint8_t> cells = std::vector<std::uint8_t>(512 * 1024, 0xFF);
  // Opcode slots loaded with the set-opcode command: 0 program/erase, 1 read, 3 write enable, 4 flag.
  std::array<std::uint8_t, 8> slots = {0x02, 0x03, 0x00, 0x06, 0x01, 0x00, 0x00, 0x00};
  int programs = 0;   // accepted page programs
  int erases = 0;     // sector and chip erases that erased something

  // Replaces the part and erases the whole chip.
  void Load(const FlashPart& newPart);
  void Fill(std::uint32_t address, const void* data, std::size_t length);  // raw write, no program rules
};

struct CardSlot {
  bool present = false;
  std::uint8_t presentByte = 1;   // reply of the card-present command when present
  std::uint8_t initByte = 1;      // reply of the card-init command when present
  SparseDisk blocks = SparseDisk(std::uint64_t{1} << 24);
  std::array<std::uint8_t, 16> serial = {};  // reply of the card-serial command (card 0)
};

struct RegionEntry {
  std::uint8_t type = 1;          // 1 and 2 count
  std::uint8_t flags = 0;
  std::uint32_t lastBlock = 0;
  std::uint32_t blockLength = 512;
};

struct PasswordEntry {
  std::uint8_t selector = 0;
  std::array<std::uint8_t, 32> block = {};
};

struct PasswordState {
  std::vector<PasswordEntry> entries;          // set with the set-password command
  bool unlocked = false;                       // last verify matched an entry
  int verifyAttempts = 0;
  bool supportsOld = true;                     // answer to the old-scheme probe
  std::vector<std::array<std::uint8_t, 32>> oldPasswordsSent;  // old-scheme unlock transfers
};

struct FingerState {
  std::uint8_t pressedByte = 0;
  int mode = -1;
  int modeValue = 0;
  int power = -1;
  std::vector<std::array<std::uint8_t, 7>> commands;  // module commands received
  // Reply to a module command; by default byte i is the command's fourth byte plus i.
  std::function<void(const std::uint8_t* command, std::uint8_t* reply, std::uint32_t length)> responder;
};

struct SdLockRequest {
  std::uint8_t operation = 0;
  std::uint8_t lengthByte = 0;
  std::vector<std::uint8_t> data;
};

struct HiddenPartitionCommand {
  std::uint8_t selector = 0;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
};

// The emulated controller with everything behind it. Several device paths (public disk, cipher disk,
// CD-ROM) can share one controller.
class VirtualController {
 public:
  VirtualController();

  std::array<std::uint8_t, 13> identifyReply{};
  FlashState flash;
  SparseMemory memory;
  std::array<CardSlot, 4> cards;
  std::vector<RegionEntry> regions;            // at most 4 kept; the reply carries 20 bytes
  PasswordState passwords;
  FingerState finger;
  std::uint8_t encryptStateByte = 0;
  std::uint8_t sdStatus = 0;
  std::vector<SdLockRequest> sdLockRequests;
  std::vector<HiddenPartitionCommand> hiddenPartitionCommands;
  std::uint32_t cipherSize = 0;                // last size set with the cipher-size command
  bool cipherFull = false;
  int resetChipCount = 0;
  int resetUsbCount = 0;
  SparseDisk publicDisk;
  SparseDisk cipherDisk = SparseDisk(0);       // grows with the cipher-size command
  SparseDisk isoRegion = SparseDisk(std::uint64_t{1} << 32);
  std::vector<std::uint8_t> vendorOpcodes = {0x17, 0xC2};  // accepted CDB byte 0 of vendor commands

  // Sets the identify reply: format B with a chip name of up to 4 characters in r1..r4 ("FCC1", "BC1")
  // or the "6623" form (r4 0x66, r3 0x23), word 1 in r5..r8 and word 2 in r9..r12 (least significant
  // first).
  void SetIdentifyB(const std::string& chipName, std::uint32_t word1 = 0, std::uint32_t word2 = 0);
  // Format F: name in r1..r6, word 1 in r7..r8.
  void SetIdentifyF(const std::string& chipName, std::uint16_t word1 = 0, std::uint32_t word2 = 0);

  // State a later feature keeps with the controller: one instance per type, created on first use.
  template <class T>
  T& State() {
    auto& slot = extensions_[std::type_index(typeid(T))];
    if (!slot) slot = std::shared_ptr<void>(new T(), [](void* p) { delete static_cast<T*>(p); });
    return *static_cast<T*>(slot.get());
  }

 private:
  std::map<std::type_index, std::shared_ptr<void>> extensions_;
};

enum class DiskRole { Public, Cipher, CdRom };

// A device path ("\\.\PhysicalDrive1") that reaches a controller.
struct VirtualDevice {
  std::string path;
  std::shared_ptr<VirtualController> controller;
  DiskRole role = DiskRole::Public;
  bool openable = true;                        // false: opening fails with openError
  std::uint32_t openError = platform::kErrorFileNotFound;
  int geometryFailures = 0;                    // this many geometry queries fail first
  InterfaceClass interfaceClass = InterfaceClass::Disk;
  std::uint32_t deviceNumber = 0;
  bool unplugged = false;
  SparseDisk& Disk() const;                    // the disk READ(10)/WRITE(10) reach on this path
};

// A volume interface with its mount points.
struct VirtualVolume {
  StorageInterface info;                       // class Volume; deviceName set
  std::string volumeGuidPath;                  // "\\?\Volume{...}\"
  char driveLetter = 0;                        // 0: no drive letter
  bool mountManagerAnswers = true;
};

// One request as the bridge received it, with its outcome.
struct CdbRecord {
  std::string path;
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;
  bool dataIn = false;
  std::uint32_t transferLength = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint8_t senseLength = 0;
  std::uint32_t inLength = 0;
  std::uint32_t outLength = 0;
  std::vector<std::uint8_t> dataOut;           // data sent to the device (capped, see SetLogDataLimit)
  // Outcome.
  bool ok = false;
  std::uint32_t bytesReturned = 0;
  std::uint8_t scsiStatus = 0;
  std::uint32_t error = 0;

  std::uint8_t Opcode() const { return cdb[0]; }
  std::uint8_t Sub() const { return cdb[1]; }
};

enum class FaultKind {
  Fail,            // the request does not reach the device: ok false with `error`
  ShortReply,      // the command runs but fewer than 44 bytes come back (`bytesReturned`)
  CheckCondition,  // the device rejects the command (SCSI status CHECK CONDITION)
  Disappear,       // the device is unplugged before this request
};

struct Fault {
  std::function<bool(const CdbRecord&)> match;  // which requests
  FaultKind kind = FaultKind::Fail;
  std::uint32_t error = platform::kErrorGenFailure;
  std::uint32_t bytesReturned = 20;
  int skip = 0;     // let this many matching requests through first
  int times = 1;    // then hit this many (-1: every one)
};

// Request matchers for faults and log searches.
std::function<bool(const CdbRecord&)> MatchAny();
std::function<bool(const CdbRecord&)> MatchVendor(std::uint8_t sub);
std::function<bool(const CdbRecord&)> MatchVendor(std::uint8_t sub, std::uint8_t byte2);
std::function<bool(const CdbRecord&)> MatchOpcode(std::uint8_t opcode);

// What a handler sees of one request.
struct CommandContext {
  VirtualController& controller;
  VirtualDevice& device;
  const CdbRecord& request;
  // Data area: for data-out the bytes sent (transferLength); for data-in zeroed room for the reply.
  std::vector<std::uint8_t>& data;
};

struct CommandOutcome {
  enum class Status { Good, CheckCondition, Fail } status = Status::Good;
  std::uint32_t error = platform::kErrorGenFailure;  // for Fail
  std::uint32_t dataLength = UINT32_MAX;             // data-in bytes delivered; default all

  static CommandOutcome Good() { return {}; }
  static CommandOutcome Reject() { return {Status::CheckCondition}; }
  static CommandOutcome Failure(std::uint32_t error) { return {Status::Fail, error}; }
};

using CommandHandler = std::function<CommandOutcome(CommandContext&)>;

// A volume-control request seen by the bridge.
struct VolumeEvent {
  char driveLetter = 0;
  platform::VolumeControl control = platform::VolumeControl::Lock;
  bool ok = false;
};

class VirtualBridge : public platform::Backend {
 public:
  // Installs the bridge as the process backend unless install is false; the previous backend is
  // restored when the bridge is destroyed.
  explicit VirtualBridge(bool install = true);
  ~VirtualBridge() override;
  VirtualBridge(const VirtualBridge&) = delete;
  VirtualBridge& operator=(const VirtualBridge&) = delete;

  // --- Topology ----------------------------------------------------------------------------------
  // A USB disk "\\.\PhysicalDrive<n>" with its disk interface. A new controller (identify "FCC1", W25X40
  // flash, no cards) is made when none is given. Returns the controller.
  std::shared_ptr<VirtualController> AttachDisk(std::uint32_t deviceNumber,
                                                std::shared_ptr<VirtualController> controller = nullptr,
                                                DiskRole role = DiskRole::Public);
  // A USB CD-ROM "\\.\CDROM<n>" with its CD-ROM interface.
  std::shared_ptr<VirtualController> AttachCdRom(std::uint32_t deviceNumber,
                                                 std::shared_ptr<VirtualController> controller = nullptr);
  // Any interface, for example a SATA disk (bus type 11) or one that does not open.
  StorageInterface& AddInterface(InterfaceClass cls, const StorageInterface& info);
  // The device reached through a path (null when none).
  VirtualDevice* Device(const std::string& path);
  // The interfaces of a class, in enumeration order (editable).
  std::deque<StorageInterface>& Interfaces(InterfaceClass cls);
  // A volume on disk number diskNumber (USB), optionally with a drive letter.
  VirtualVolume& AddVolume(std::uint32_t diskNumber, char driveLetter = 0);
  std::deque<VirtualVolume>& Volumes() { return volumes_; }
  // Unplugs the device on a path: its interfaces vanish, opens fail, open handles fail.
  void Unplug(const std::string& path);
  bool listFails = false;                      // the interface list cannot be built

  // Drive letters in use besides those of the volumes (bit n: 'A' + n).
  std::uint32_t otherDrives = (1u << 2);       // C:
  bool mountPointManagerOpens = true;

  // --- Faults ---------------------------------------------------------------------------------------
  void AddFault(const Fault& fault);
  void ClearFaults();
  // The next `times` controls of this kind on any volume fail.
  void FailVolumeControl(platform::VolumeControl control, int times);

  // --- Handlers -------------------------------------------------------------------------------------
  // Replace or add the handler of a vendor sub-command, of one operation of a family (byte 2), or of a
  // standard opcode. The most specific handler wins; an unknown command is rejected (CHECK CONDITION).
  void SetVendorHandler(std::uint8_t sub, CommandHandler handler);
  void SetVendorHandler(std::uint8_t sub, std::uint8_t byte2, CommandHandler handler);
  void SetStandardHandler(std::uint8_t opcode, CommandHandler handler);

  // --- Observation -----------------------------------------------------------------------------------
  const std::vector<CdbRecord>& Log() const { return log_; }
  void ClearLog() { log_.clear(); }
  std::vector<CdbRecord> LogMatching(const std::function<bool(const CdbRecord&)>& match) const;
  void SetLogEnabled(bool enabled) { logEnabled_ = enabled; }
  // How many data-out bytes each record keeps (default 65,536).
  void SetLogDataLimit(std::size_t bytes) { logDataLimit_ = bytes; }
  int OpenCount() const { return openCount_; }       // device opens that succeeded
  int OpenHandles() const;                           // device handles not yet closed
  const std::vector<VolumeEvent>& VolumeEvents() const { return volumeEvents_; }
  std::vector<std::pair<std::string, std::string>> mounts;  // MountVolumeAt calls that succeeded

  // --- Virtual time ----------------------------------------------------------------------------------
  std::uint64_t NowMilliseconds() const { return clock_; }
  const std::vector<std::uint32_t>& Sleeps() const { return sleeps_; }
  platform::LocalTime localTime{124, 0, 1, 12, 0, 0};  // 2024-01-01 12:00:00

  // --- platform::Backend ---------------------------------------------------------------------------
  platform::DeviceHandle OpenDevice(const char* path, std::uint32_t* error) override;
  platform::PassThroughResult SendPassThrough(platform::DeviceHandle handle, std::uint8_t* request,
                                              std::uint32_t inLength, std::uint32_t outLength) override;
  void CloseDevice(platform::DeviceHandle handle) override;
  std::unique_ptr<platform::InterfaceList> ListInterfaces(InterfaceClass cls) override;
  bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) override;
  std::uint32_t LogicalDrives() override;
  bool MountVolumeAt(const char* driveRoot, const char* volumePath) override;
  platform::DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) override;
  bool ControlVolume(platform::DeviceHandle volume, platform::VolumeControl control, std::uint32_t* error) override;
  void CloseVolume(platform::DeviceHandle volume) override;
  bool QueryDiskGeometry(const char* path, platform::DiskGeometry* out) override;
  void SleepMilliseconds(std::uint32_t milliseconds) override;
  platform::LocalTime Now() override { return localTime; }

 private:
  struct HandlerKey {
    int kind;    // 0 vendor sub, 1 vendor sub + byte 2, 2 standard opcode
    int first;
    int second;
    bool operator<(const HandlerKey& o) const {
      return kind != o.kind ? kind < o.kind : first != o.first ? first < o.first : second < o.second;
    }
  };
  void InstallCoreHandlers();
  const CommandHandler* FindHandler(const VirtualController& controller, const CdbRecord& request) const;
  bool NextFault(const CdbRecord& request, Fault* hit);
  VirtualVolume* VolumeByLetter(char letter);
  void Record(CdbRecord&& record);

  mutable std::recursive_mutex mutex_;
  bool installed_ = false;
  platform::Backend* previous_ = nullptr;
  std::deque<VirtualDevice> devices_;
  std::map<InterfaceClass, std::deque<StorageInterface>> interfaces_;
  std::deque<VirtualVolume> volumes_;
  std::map<platform::DeviceHandle, std::string> handles_;
  std::map<platform::DeviceHandle, char> volumeHandles_;
  platform::DeviceHandle nextHandle_ = 100;
  std::map<HandlerKey, CommandHandler> handlers_;
  struct ActiveFault {
    Fault fault;
    int seen = 0;
    int hits = 0;
  };
  std::vector<ActiveFault> faults_;
  std::map<platform::VolumeControl, int> volumeControlFailures_;
  std::vector<CdbRecord> log_;
  bool logEnabled_ = true;
  std::size_t logDataLimit_ = 65536;
  int openCount_ = 0;
  std::vector<VolumeEvent> volumeEvents_;
  std::uint64_t clock_ = 0;
  std::vector<std::uint32_t> sleeps_;
};

// Interface paths the bridge gives its disks and CD-ROMs (lower case, like the system's).
std::string DiskInterfacePath(std::uint32_t deviceNumber);
std::string CdRomInterfacePath(std::uint32_t deviceNumber);

}  // namespace quillon::testing

#endif
