// The controller's answers to every command of the library's command set.

#include <algorithm>
#include <cstring>

#include "virtual_bridge.h"
#include "region_disks.h"

namespace quillon::testing {
namespace {

using Outcome = CommandOutcome;

std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }
std::uint32_t Be32(const std::uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }

const std::uint8_t* Cdb(const CommandContext& c) { return c.request.cdb.data(); }

// Fills the reply with a short answer repeated, like an SPI part that keeps clocking out its id.
void Repeat(std::vector<std::uint8_t>& data, const std::uint8_t* answer, std::size_t n) {
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = answer[i % n];
}

bool WriteEnabled(const FlashState& f) { return f.slots[3] == f.part.writeEnableOpcode; }

// --- SPI flash -----------------------------------------------------------------------------------------

Outcome FlashProgram(CommandContext& c) {
  FlashState& f = c.controller.flash;
  if (!f.present || f.cells.empty()) return Outcome::Reject();
  const std::uint32_t address = Be24(Cdb(c) + 4);
  const std::uint32_t length = std::min<std::uint32_t>(Be16(Cdb(c) + 2) + 1, static_cast<std::uint32_t>(c.data.size()));
  if (f.slots[0] != f.part.pageProgramOpcode || !WriteEnabled(f)) return Outcome::Good();  // the part ignores it
  const std::uint32_t page = std::max<std::uint32_t>(f.part.pageSize, 1);
  const std::uint32_t base = address - address % page;
  for (std::uint32_t i = 0; i < length; ++i) {
    const std::uint32_t a = base + (address % page + i) % page;  // wraps inside the page
    f.cells[a % f.cells.size()] &= c.data[i];                    // programming only clears bits
  }
  ++f.programs;
  return Outcome::Good();
}

Outcome FlashRead(CommandContext& c) {
  FlashState& f = c.controller.flash;
  if (!f.present || f.cells.empty()) return Outcome::Reject();
  const std::uint8_t mode = Cdb(c)[7];
  const std::uint8_t opcode = f.slots[1];
  const std::uint8_t none[1] = {0xFF};
  if (mode == 0) {
    if (opcode != f.part.readOpcode && opcode != 0x0B) {
      Repeat(c.data, none, 1);
      return Outcome::Good();
    }
    const std::uint32_t address = Be24(Cdb(c) + 4);
    for (std::size_t i = 0; i < c.data.size(); ++i) c.data[i] = f.cells[(address + i) % f.cells.size()];
  } else if (mode == 1) {
    if (opcode == 0x9F && f.part.answersRdid) {
      Repeat(c.data, f.part.rdid.data(), 3);
    } else if (opcode == 0x15) {
      Repeat(c.data, f.part.rdid15.data(), 3);
    } else {
      Repeat(c.data, none, 1);
    }
  } else if (mode == 2) {
    if (opcode == 0x90) {
      Repeat(c.data, f.part.rems.data(), 2);
    } else if (opcode == 0xAB) {
      Repeat(c.data, f.part.res.data(), 2);
    } else {
      Repeat(c.data, none, 1);
    }
  } else {
    return Outcome::Reject();
  }
  return Outcome::Good();
}

Outcome FlashChipErase(CommandContext& c) {
  FlashState& f = c.controller.flash;
  if (!f.present) return Outcome::Reject();
  const auto& ops = f.part.chipEraseOpcodes;
  if (WriteEnabled(f) && std::find(ops.begin(), ops.end(), f.slots[0]) != ops.end()) {
    std::fill(f.cells.begin(), f.cells.end(), 0xFF);
    ++f.erases;
  }
  return Outcome::Good();
}

Outcome FlashSectorErase(CommandContext& c) {
  FlashState& f = c.controller.flash;
  if (!f.present || f.cells.empty()) return Outcome::Reject();
  auto size = f.part.eraseOpcodes.find(f.slots[0]);
  if (!WriteEnabled(f) || size == f.part.eraseOpcodes.end()) return Outcome::Good();  // nothing erased
  const std::uint32_t address = Be24(Cdb(c) + 2) % static_cast<std::uint32_t>(f.cells.size());
  const std::uint32_t start = address - address % size->second;
  const std::uint32_t end = std::min<std::uint32_t>(start + size->second, static_cast<std::uint32_t>(f.cells.size()));
  std::fill(f.cells.begin() + start, f.cells.begin() + end, 0xFF);
  ++f.erases;
  return Outcome::Good();
}

Outcome SetSpiOpcode(CommandContext& c) {
  const std::uint8_t slot = Cdb(c)[2];
  if (slot >= c.controller.flash.slots.size()) return Outcome::Reject();
  c.controller.flash.slots[slot] = Cdb(c)[3];
  return Outcome::Good();
}

// --- Controller memory and state ----------------------------------------------------------------------

Outcome WriteMemory(CommandContext& c) {
  const std::uint32_t length = std::min<std::uint32_t>(Be16(Cdb(c) + 2), static_cast<std::uint32_t>(c.data.size()));
  c.controller.memory.Write(Be32(Cdb(c) + 4), c.data.data(), length);
  return Outcome::Good();
}

Outcome ReadMemory(CommandContext& c) {
  c.controller.memory.Read(Be32(Cdb(c) + 4), c.data.data(), c.data.size());
  return Outcome::Good();
}

Outcome ReplyByte(CommandContext& c, std::uint8_t value) {
  if (!c.data.empty()) c.data[0] = value;
  return Outcome::Good();
}

// --- Cards ---------------------------------------------------------------------------------------------------

CardSlot* Card(CommandContext& c, std::uint8_t index) {
  if (index >= c.controller.cards.size() || !c.controller.cards[index].present) return nullptr;
  return &c.controller.cards[index];
}

Outcome WriteCardBlock(CommandContext& c) {
  CardSlot* card = Card(c, Cdb(c)[7]);
  if (card == nullptr || c.data.size() != kBlockSize) return Outcome::Reject();
  return card->blocks.Write(Be24(Cdb(c) + 4), c.data.data()) ? Outcome::Good() : Outcome::Reject();
}

Outcome ReadCardBlock(CommandContext& c) {
  CardSlot* card = Card(c, Cdb(c)[7]);
  if (card == nullptr || c.data.size() != kBlockSize) return Outcome::Reject();
  return card->blocks.Read(Be24(Cdb(c) + 4), c.data.data()) ? Outcome::Good() : Outcome::Reject();
}

Outcome RegionTable(CommandContext& c) {
  std::uint8_t area[40] = {};
  for (std::size_t i = 0; i < c.controller.regions.size() && i < 4; ++i) {
    const RegionEntry& e = c.controller.regions[i];
    std::uint8_t* p = area + 10 * i;
    p[0] = e.type;
    p[1] = e.flags;
    for (int b = 0; b < 4; ++b) {
      p[2 + b] = static_cast<std::uint8_t>(e.lastBlock >> (24 - 8 * b));
      p[6 + b] = static_cast<std::uint8_t>(e.blockLength >> (24 - 8 * b));
    }
  }
  std::memcpy(c.data.data(), area, std::min<std::size_t>(c.data.size(), sizeof(area)));
  return Outcome::Good();
}

Outcome WriteIsoBlocks(CommandContext& c) {
  const std::uint8_t* inner = Cdb(c) + 2;  // a WRITE(10) CDB
  if (inner[0] != 0x2A) return Outcome::Reject();
  const std::uint64_t offset = std::uint64_t{Be32(inner + 2)} * kBlockSize;
  return c.controller.isoRegion.WriteBytes(offset, c.data.data(), c.data.size()) ? Outcome::Good()
                                                                                 : Outcome::Reject();
}

// --- Passwords -------------------------------------------------------------------------------------------

std::array<std::uint8_t, 32> Block(const CommandContext& c) {
  std::array<std::uint8_t, 32> block{};
  std::memcpy(block.data(), c.data.data(), std::min<std::size_t>(c.data.size(), block.size()));
  return block;
}

Outcome Password(CommandContext& c) {
  PasswordState& p = c.controller.passwords;
  const std::uint8_t* cdb = Cdb(c);
  switch (cdb[2]) {
    case 0x01: {  // set
      if (c.data.size() != 32) return Outcome::Reject();
      PasswordEntry entry{cdb[3], Block(c)};
      auto same = std::find_if(p.entries.begin(), p.entries.end(),
                               [&](const PasswordEntry& e) { return e.selector == entry.selector; });
      if (same == p.entries.end()) {
        p.entries.push_back(entry);
      } else {
        *same = entry;
      }
      return Outcome::Good();
    }
    case 0x02: return ReplyByte(c, p.entries.empty() ? 0 : 1);
    case 0x03: {  // cipher disk size, little-endian
      const std::uint32_t size = cdb[3] | (std::uint32_t{cdb[4]} << 8) | (std::uint32_t{cdb[5]} << 16) |
                                 (std::uint32_t{cdb[6]} << 24);
      c.controller.cipherSize = size;
      c.controller.cipherFull = cdb[7] != 0;
      c.controller.cipherDisk.SetBlockCount(size);
      return Outcome::Good();
    }
    case 0x04:
      p.entries.clear();
      p.unlocked = false;
      return Outcome::Good();
    case 0x05: {
      if (c.data.size() != 32) return Outcome::Reject();
      const auto block = Block(c);
      ++p.verifyAttempts;
      p.unlocked = std::any_of(p.entries.begin(), p.entries.end(), [&](const PasswordEntry& e) { return e.block == block; });
      return Outcome::Good();
    }
    case 0x06: {
      if (c.data.size() != 32) return Outcome::Reject();
      const auto block = Block(c);
      p.entries.erase(std::remove_if(p.entries.begin(), p.entries.end(),
                                     [&](const PasswordEntry& e) { return e.block == block; }),
                      p.entries.end());
      return Outcome::Good();
    }
    case 0x07: return ReplyByte(c, static_cast<std::uint8_t>(p.entries.size()));
    case 0x08:
      if (cdb[3] < p.entries.size()) p.entries.erase(p.entries.begin() + cdb[3]);
      return Outcome::Good();
    case 0x09:
      for (std::size_t i = 0; i < p.entries.size() && (i + 1) * 32 <= c.data.size(); ++i)
        std::memcpy(c.data.data() + 32 * i, p.entries[i].block.data(), 32);
      return Outcome::Good();
    default: return Outcome::Reject();
  }
}

// --- Fingerprint module and region queries ----------------------------------------------------------

Outcome Finger(CommandContext& c) {
  FingerState& f = c.controller.finger;
  const std::uint8_t* cdb = Cdb(c);
  switch (cdb[2]) {
    case 0x00: return ReplyByte(c, f.pressedByte);
    case 0x01: {
      std::array<std::uint8_t, 7> command{};
      std::memcpy(command.data(), cdb + 3, 7);
      f.commands.push_back(command);
      if (f.responder) {
        f.responder(command.data(), c.data.data(), static_cast<std::uint32_t>(c.data.size()));
      } else {
        for (std::size_t i = 0; i < c.data.size(); ++i) c.data[i] = static_cast<std::uint8_t>(command[3] + i);
      }
      return Outcome::Good();
    }
    case 0x02:
      f.mode = cdb[3];
      f.modeValue = cdb[4];
      return Outcome::Good();
    case 0x03: return ReplyByte(c, c.device.role == DiskRole::Public ? 1 : 0);
    case 0x04:
      f.power = cdb[3];
      return Outcome::Good();
    case 0x05: return ReplyByte(c, c.controller.encryptStateByte);
    default: return Outcome::Reject();
  }
}

// --- Standard block commands ----------------------------------------------------------------------------

Outcome Read10(CommandContext& c) {
  const std::uint32_t lba = Be32(Cdb(c) + 2);
  const std::uint32_t count = Be16(Cdb(c) + 7);
  if (c.data.size() != std::size_t{count} * kBlockSize) return Outcome::Reject();
  SparseDisk& disk = c.device.Disk();
  for (std::uint32_t i = 0; i < count; ++i)
    if (!disk.Read(std::uint64_t{lba} + i, c.data.data() + std::size_t{i} * kBlockSize)) return Outcome::Reject();
  return Outcome::Good();
}

Outcome Write10(CommandContext& c) {
  const std::uint32_t lba = Be32(Cdb(c) + 2);
  const std::uint32_t count = Be16(Cdb(c) + 7);
  if (c.data.size() != std::size_t{count} * kBlockSize) return Outcome::Reject();
  SparseDisk& disk = c.device.Disk();
  if (std::uint64_t{lba} + count > disk.BlockCount()) return Outcome::Reject();
  for (std::uint32_t i = 0; i < count; ++i) disk.Write(std::uint64_t{lba} + i, c.data.data() + std::size_t{i} * kBlockSize);
  return Outcome::Good();
}

}  // namespace

void VirtualBridge::InstallCoreHandlers() {
  SetVendorHandler(0x00, FlashProgram);
  SetVendorHandler(0x01, FlashRead);
  SetVendorHandler(0x02, FlashChipErase);
  SetVendorHandler(0x05, SetSpiOpcode);
  SetVendorHandler(0x06, [](CommandContext& c) { return ReplyByte(c, c.controller.flash.present ? 1 : 0); });
  SetVendorHandler(0x07, FlashSectorErase);
  SetVendorHandler(0x20, WriteMemory);
  SetVendorHandler(0x21, ReadMemory);
  SetVendorHandler(0x30, [](CommandContext& c) {
    ++c.controller.resetChipCount;
    return Outcome::Good();
  });
  SetVendorHandler(0x33, [](CommandContext& c) {
    ++c.controller.resetUsbCount;
    return Outcome::Good();
  });
  SetVendorHandler(0x34, [](CommandContext& c) {
    std::memcpy(c.data.data(), c.controller.identifyReply.data(), std::min<std::size_t>(c.data.size(), 13));
    return Outcome::Good();
  });
  SetVendorHandler(0x40, [](CommandContext& c) { return ReplyByte(c, 0); });
  SetVendorHandler(0x41, [](CommandContext& c) { return ReplyByte(c, 0); });
  SetVendorHandler(0x42, WriteCardBlock);
  SetVendorHandler(0x43, ReadCardBlock);
  SetVendorHandler(0x44, [](CommandContext& c) {
    const CardSlot* card = Card(c, Cdb(c)[2]);
    return ReplyByte(c, card ? card->presentByte : 0);
  });
  SetVendorHandler(0x46, [](CommandContext& c) {
    const CardSlot* card = Card(c, Cdb(c)[2]);
    return ReplyByte(c, card ? card->initByte : 0);
  });
  SetVendorHandler(0x47, RegionTable);
  SetVendorHandler(0x48, WriteIsoBlocks);
  SetVendorHandler(0x4A, [](CommandContext& c) {
    c.controller.hiddenPartitionCommands.push_back({Cdb(c)[2], Be32(Cdb(c) + 3), Be32(Cdb(c) + 7)});
    return Outcome::Good();
  });
  SetVendorHandler(0x4B, [](CommandContext& c) {
    c.controller.passwords.oldPasswordsSent.push_back(Block(c));
    return Outcome::Good();
  });
  SetVendorHandler(0x4C, [](CommandContext& c) {
    std::memcpy(c.data.data(), c.controller.cards[0].serial.data(), std::min<std::size_t>(c.data.size(), 16));
    return Outcome::Good();
  });
  SetVendorHandler(0x52, [](CommandContext& c) {
    return c.controller.passwords.supportsOld ? Outcome::Good() : Outcome::Reject();
  });
  SetVendorHandler(0x5C, Finger);
  SetVendorHandler(0x5D, Password);
  SetVendorHandler(0x60, [](CommandContext& c) {
    c.controller.sdLockRequests.push_back({Cdb(c)[2], Cdb(c)[3], c.data});
    return Outcome::Good();
  });
  SetVendorHandler(0x61, [](CommandContext& c) { return ReplyByte(c, c.controller.sdStatus); });
  SetStandardHandler(0x28, Read10);
  SetStandardHandler(0x2A, Write10);
  InstallRegionDiskHandlers(*this);
}

}  // namespace quillon::testing
