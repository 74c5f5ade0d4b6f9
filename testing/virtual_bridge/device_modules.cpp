// The fingerprint module, SD lock, card serial, resets and trace records of the virtual bridge.

#include "device_modules.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillon::testing {
namespace {

using Outcome = CommandOutcome;

const std::uint8_t* Cdb(const CommandContext& c) { return c.request.cdb.data(); }

std::uint8_t Xor(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t x = 0;
  for (std::size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

// --- Fingerprint module ------------------------------------------------------------------------------

using Slots = std::array<std::uint8_t, kBlockSize>;

bool LoadSlots(VirtualController& controller, Slots* slots) {
  CardSlot& card = controller.cards[0];
  return card.present && card.blocks.Read(kFingerDataBlock, slots->data());
}

bool StoreSlots(VirtualController& controller, const Slots& slots) {
  return controller.cards[0].blocks.Write(kFingerDataBlock, slots.data());
}

std::uint8_t* SlotAt(Slots& slots, int slot) { return slots.data() + 32 * slot; }
bool SlotUsed(Slots& slots, int slot) { return SlotAt(slots, slot)[0] == 0xA5; }

// What one module command does; returns the ack, sets value.
std::uint8_t RunModuleCommand(CommandContext& c, const std::uint8_t* command, std::uint8_t* value,
                              std::vector<std::uint8_t>* bulk) {
  VirtualController& controller = c.controller;
  const bool pressed = controller.finger.pressedByte == 1;
  const std::uint8_t placed = controller.State<DeviceModuleState>().placedFinger;
  const std::uint8_t code = command[3];
  const std::uint8_t slot = command[1];
  if (command[0] != 0xF5 || Xor(command + 1, 5) != command[6]) return kFingerAckFail;
  if (code == 0x71 || code == 0x7F) {
    static const char kDescription[] = "Virtual fingerprint module VFP-16 v1.2";
    bulk->assign(kDescription, kDescription + sizeof kDescription);
    return kFingerAckOk;
  }
  Slots slots{};
  if (!LoadSlots(controller, &slots)) return kFingerAckNoStorage;
  switch (code) {
    case 0x01: {  // enrol
      if (slot >= kFingerSlots) return kFingerAckFail;
      if (!pressed) return kFingerAckNoFinger;
      std::uint8_t* s = SlotAt(slots, slot);
      s[0] = 0xA5;
      s[1] = placed;
      const std::vector<std::uint8_t> t = FingerTemplate(placed);
      std::copy(t.begin(), t.end(), s + 2);
      return StoreSlots(controller, slots) ? kFingerAckOk : kFingerAckNoStorage;
    }
    case 0x04: {  // delete one or all
      if (slot == 0xFF) {
        slots.fill(0);
      } else if (slot < kFingerSlots && SlotUsed(slots, slot)) {
        std::fill(SlotAt(slots, slot), SlotAt(slots, slot) + 32, 0);
      } else {
        return kFingerAckFail;
      }
      return StoreSlots(controller, slots) ? kFingerAckOk : kFingerAckNoStorage;
    }
    case 0x09: {  // count
      int n = 0;
      for (int i = 0; i < kFingerSlots; ++i) n += SlotUsed(slots, i) ? 1 : 0;
      *value = static_cast<std::uint8_t>(n);
      return kFingerAckOk;
    }
    case 0x0C: {  // match
      if (!pressed) return kFingerAckNoFinger;
      const std::vector<std::uint8_t> t = FingerTemplate(placed);
      for (int i = 0; i < kFingerSlots; ++i) {
        if (SlotUsed(slots, i) && std::equal(t.begin(), t.end(), SlotAt(slots, i) + 2)) {
          *value = static_cast<std::uint8_t>(i);
          return kFingerAckOk;
        }
      }
      return kFingerAckNoMatch;
    }
    case 0x7D:  // template bytes of a slot
      if (slot >= kFingerSlots || !SlotUsed(slots, slot)) return kFingerAckFail;
      bulk->assign(SlotAt(slots, slot), SlotAt(slots, slot) + 32);
      return kFingerAckOk;
    default:
      return kFingerAckFail;
  }
}

Outcome ModuleCommand(CommandContext& c) {
  FingerState& f = c.controller.finger;
  std::array<std::uint8_t, 7> command{};
  std::memcpy(command.data(), Cdb(c) + 3, 7);
  f.commands.push_back(command);
  if (f.power == 0) return Outcome::Reject();  // switched off: nobody answers
  std::uint8_t value = 0;
  std::vector<std::uint8_t> bulk;
  const std::uint8_t ack = RunModuleCommand(c, command.data(), &value, &bulk);
  std::fill(c.data.begin(), c.data.end(), 0);
  if (!bulk.empty() && ack == kFingerAckOk) {
    std::copy_n(bulk.begin(), std::min(bulk.size(), c.data.size()), c.data.begin());
    return Outcome::Good();
  }
  std::uint8_t reply[8] = {0xF5, command[3], value, command[1], ack, 0, 0, 0xF5};
  reply[6] = Xor(reply + 1, 5);
  std::copy_n(reply, std::min<std::size_t>(8, c.data.size()), c.data.begin());
  return Outcome::Good();
}

// --- SD lock -------------------------------------------------------------------------------------------

Outcome SdLock(CommandContext& c) {
  VirtualController& controller = c.controller;
  std::string& password = controller.State<DeviceModuleState>().sdPassword;
  controller.sdLockRequests.push_back({Cdb(c)[2], Cdb(c)[3], c.data});
  if (!controller.cards[0].present) return Outcome::Reject();
  const std::uint8_t flags = Cdb(c)[2];
  const std::string text(c.data.begin(), c.data.end());
  std::uint8_t& status = controller.sdStatus;
  auto fail = [&] {
    status |= kSdStatusLockFailed;
    return Outcome::Reject();
  };
  status &= static_cast<std::uint8_t>(~kSdStatusLockFailed);
  if (flags & 0x08) {  // forced erase: the password goes, the card opens
    password.clear();
    status = 0;
    return Outcome::Good();
  }
  if (flags & 0x01) {  // set (or change) the password, then lock when asked
    if (text.size() < password.size() || text.compare(0, password.size(), password) != 0) return fail();
    const std::string fresh = text.substr(password.size());
    if (fresh.empty()) return fail();
    password = fresh;
    status |= kSdStatusPassword;
    if (flags & 0x04) status |= kSdStatusLocked;
    return Outcome::Good();
  }
  if (password.empty() || text != password) return fail();
  if (flags & 0x02) {
    password.clear();
    status = 0;
  } else if (flags & 0x04) {
    status |= kSdStatusLocked;
  } else {
    status &= static_cast<std::uint8_t>(~kSdStatusLocked);
  }
  return Outcome::Good();
}

// --- Resets ----------------------------------------------------------------------------------------------

// The controller leaves the bus and comes back as a new device: the path does not open again in this
// run (a stored bridge is back in the next run).
void Reenumerate(CommandContext& c) {
  c.device.openable = false;
  c.device.openError = platform::kErrorDeviceNotConnected;
}

}  // namespace

void InstallDeviceModules(VirtualBridge& bridge) {
  bridge.SetVendorHandler(0x5C, 0x01, ModuleCommand);
  bridge.SetVendorHandler(0x60, SdLock);
  bridge.SetVendorHandler(0x61, [](CommandContext& c) {
    if (!c.data.empty()) c.data[0] = c.controller.sdStatus;
    return Outcome::Good();
  });
  bridge.SetVendorHandler(0x4C, [](CommandContext& c) {
    if (!c.controller.cards[0].present) return Outcome::Reject();
    std::copy_n(c.controller.cards[0].serial.begin(), std::min<std::size_t>(16, c.data.size()), c.data.begin());
    return Outcome::Good();
  });
  bridge.SetVendorHandler(0x30, [](CommandContext& c) {
    ++c.controller.resetChipCount;
    // A restarted controller powers the module down and relocks a card that has a password.
    c.controller.finger.power = -1;
    c.controller.finger.mode = -1;
    if (!c.controller.State<DeviceModuleState>().sdPassword.empty()) c.controller.sdStatus |= kSdStatusLocked;
    Reenumerate(c);
    return Outcome::Good();
  });
  bridge.SetVendorHandler(0x33, [](CommandContext& c) {
    ++c.controller.resetUsbCount;
    Reenumerate(c);
    return Outcome::Good();
  });
}

std::vector<std::uint8_t> FingerCommand(std::uint8_t code, std::uint8_t slot, std::uint8_t arg) {
  std::vector<std::uint8_t> command = {0xF5, slot, 0, code, arg, 0, 0};
  command[6] = Xor(command.data() + 1, 5);
  return command;
}

std::vector<std::uint8_t> FingerTemplate(std::uint8_t finger) {
  std::vector<std::uint8_t> t(30);
  std::uint32_t x = 0x9E3779B9u * (finger + 1u);
  for (std::uint8_t& b : t) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  return t;
}

void WriteTraceRecords(FlashState& flash, std::uint32_t address, const std::vector<std::string>& records) {
  std::string bytes;
  for (const std::string& r : records) bytes += "{" + r + "}";
  flash.Fill(address, bytes.data(), bytes.size());
}

std::vector<std::string> SampleTraceRecords(const std::string& host) {
  // Host, connection count, date and time, and two binary fields (port speed and a status byte).
  std::vector<std::string> records;
  const char* dates[] = {"20240105 091433", "20240211 174502", "20240302 080019"};
  for (int i = 0; i < 3; ++i) {
    std::string r = host + " " + std::to_string(i + 1) + " " + dates[i] + " ";
    r.push_back(static_cast<char>(0x02 + i));
    r.push_back(static_cast<char>(0x80 | i));
    r += ":";
    records.push_back(r);
  }
  return records;
}

}  // namespace quillon::testing
