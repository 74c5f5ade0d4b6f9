// State of the emulated controller: sparse disks and memory, the SPI flash part, identify replies.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "virtual_bridge.h"

namespace quillon::testing {

// --- SparseDisk ------------------------------------------------------------------------------------------

bool SparseDisk::Read(std::uint64_t block, std::uint8_t* out) const {
  if (block >= blockCount_) return false;
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    std::memset(out, 0, kBlockSize);
  } else {
    std::memcpy(out, it->second.data(), kBlockSize);
  }
  return true;
}

bool SparseDisk::Write(std::uint64_t block, const std::uint8_t* in) {
  if (block >= blockCount_) return false;
  const bool zero = std::all_of(in, in + kBlockSize, [](std::uint8_t b) { return b == 0; });
  if (zero) {
    blocks_.erase(block);
  } else {
    std::memcpy(blocks_[block].data(), in, kBlockSize);
  }
  return true;
}

bool SparseDisk::ReadBytes(std::uint64_t offset, void* out, std::size_t length) const {
  auto* dst = static_cast<std::uint8_t*>(out);
  std::array<std::uint8_t, kBlockSize> block{};
  while (length > 0) {
    const std::uint64_t b = offset / kBlockSize;
    const std::size_t within = static_cast<std::size_t>(offset % kBlockSize);
    const std::size_t take = std::min<std::size_t>(length, kBlockSize - within);
    if (!Read(b, block.data())) return false;
    std::memcpy(dst, block.data() + within, take);
    dst += take;
    offset += take;
    length -= take;
  }
  return true;
}

bool SparseDisk::WriteBytes(std::uint64_t offset, const void* in, std::size_t length) {
  const auto* src = static_cast<const std::uint8_t*>(in);
  std::array<std::uint8_t, kBlockSize> block{};
  while (length > 0) {
    const std::uint64_t b = offset / kBlockSize;
    const std::size_t within = static_cast<std::size_t>(offset % kBlockSize);
    const std::size_t take = std::min<std::size_t>(length, kBlockSize - within);
    if (!Read(b, block.data())) return false;
    std::memcpy(block.data() + within, src, take);
    Write(b, block.data());
    src += take;
    offset += take;
    length -= take;
  }
  return true;
}

bool SparseDisk::ExportImage(const std::string& file, std::uint64_t firstBlock, std::uint64_t count) const {
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (f == nullptr) return false;
  static const std::array<std::uint8_t, kBlockSize> kZero{};
  bool ok = true;
  for (std::uint64_t i = 0; ok && i < count; ++i) {
    auto it = blocks_.find(firstBlock + i);
    const std::uint8_t* data = it == blocks_.end() ? kZero.data() : it->second.data();
    ok = std::fwrite(data, 1, kBlockSize, f) == kBlockSize;
  }
  return std::fclose(f) == 0 && ok;
}

bool SparseDisk::ImportImage(const std::string& file, std::uint64_t firstBlock) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) return false;
  std::array<std::uint8_t, kBlockSize> block{};
  bool ok = true;
  for (std::uint64_t b = firstBlock; ok; ++b) {
    block.fill(0);
    const std::size_t n = std::fread(block.data(), 1, kBlockSize, f);
    if (n == 0) break;
    ok = Write(b, block.data());
  }
  std::fclose(f);
  return ok;
}

// --- SparseMemory --------------------------------------------------------------------------------------

void SparseMemory::Read(std::uint32_t address, void* out, std::size_t length) const {
  auto* dst = static_cast<std::uint8_t*>(out);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    auto it = pages_.find(a / 4096);
    dst[i] = it == pages_.end() ? 0 : it->second[a % 4096];
  }
}

void SparseMemory::Write(std::uint32_t address, const void* in, std::size_t length) {
  const auto* src = static_cast<const std::uint8_t*>(in);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint32_t a = address + static_cast<std::uint32_t>(i);
    auto it = pages_.find(a / 4096);
    if (it == pages_.end()) it = pages_.emplace(a / 4096, std::array<std::uint8_t, 4096>{}).first;
    it->second[a % 4096] = src[i];
  }
}

std::uint32_t SparseMemory::ReadBe32(std::uint32_t address) const {
  std::uint8_t b[4];
  Read(address, b, 4);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

void SparseMemory::WriteBe32(std::uint32_t address, std::uint32_t value) {
  const std::uint8_t b[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                             static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  Write(address, b, 4);
}

// --- Flash -----------------------------------------------------------------------------------------------

FlashPart FlashPartW25X40() {
  FlashPart p;
  p.name = "W25X40";
  p.size = 512 * 1024;
  p.rdid = {0xEF, 0x30, 0x13};
  p.rems = {0xEF, 0x12};
  p.res = {0x12, 0x12};
  return p;
}

FlashPart FlashPartEN25P20() {
  FlashPart p;
  p.name = "EN25P20";
  p.size = 256 * 1024;
  p.rdid = {0x1C, 0x20, 0x12};
  p.rems = {0x1C, 0x11};
  p.res = {0x11, 0x11};
  p.eraseOpcodes = {{0xD8, 65536}};
  return p;
}

FlashPart FlashPartGD25Q16() {
  FlashPart p;
  p.name = "GD25Q16";
  p.size = 2 * 1024 * 1024;
  p.rdid = {0xC8, 0x40, 0x15};
  p.rems = {0xC8, 0x14};
  p.res = {0x14, 0x14};
  return p;
}

void FlashState::Load(const FlashPart& newPart) {
  part = newPart;
  cells.assign(part.size, 0xFF);
}

void FlashState::Fill(std::uint32_t address, const void* data, std::size_t length) {
  const auto* src = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length && !cells.empty(); ++i) cells[(address + i) % cells.size()] = src[i];
}

// --- Controller ----------------------------------------------------------------------------------------

VirtualController::VirtualController() {
  SetIdentifyB("FCC1", 0, 0x02000000);
  cards[0].serial = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  // One public region of 2^21 blocks of 512 bytes (1 GiB).
  RegionEntry region;
  region.type = 1;
  region.lastBlock = (1u << 21) - 1;
  region.blockLength = 512;
  regions.push_back(region);
}

void VirtualController::SetIdentifyB(const std::string& chipName, std::uint32_t word1, std::uint32_t word2) {
  identifyReply.fill(0);
  identifyReply[0] = 'B';
  if (chipName == "6623") {
    identifyReply[4] = 0x66;
    identifyReply[3] = 0x23;
  } else {
    for (std::size_t i = 0; i < chipName.size() && i < 4; ++i) identifyReply[1 + i] = static_cast<std::uint8_t>(chipName[i]);
  }
  for (int i = 0; i < 4; ++i) {
    identifyReply[5 + i] = static_cast<std::uint8_t>(word1 >> (8 * i));
    identifyReply[9 + i] = static_cast<std::uint8_t>(word2 >> (8 * i));
  }
}

void VirtualController::SetIdentifyF(const std::string& chipName, std::uint16_t word1, std::uint32_t word2) {
  identifyReply.fill(0);
  identifyReply[0] = 'F';
  for (std::size_t i = 0; i < chipName.size() && i < 6; ++i) identifyReply[1 + i] = static_cast<std::uint8_t>(chipName[i]);
  identifyReply[7] = static_cast<std::uint8_t>(word1);
  identifyReply[8] = static_cast<std::uint8_t>(word1 >> 8);
  for (int i = 0; i < 4; ++i) identifyReply[9 + i] = static_cast<std::uint8_t>(word2 >> (8 * i));
}

SparseDisk& VirtualDevice::Disk() const {
  switch (role) {
    case DiskRole::Cipher: return controller->cipherDisk;
    case DiskRole::CdRom: return controller->isoRegion;
    case DiskRole::Public: break;
  }
  return controller->publicDisk;
}

}  // namespace quillon::testing
