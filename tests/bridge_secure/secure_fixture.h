#ifndef QUILLON_TESTS_SECURE_FIXTURE_H
#define QUILLON_TESTS_SECURE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "firmware_copies.h"
#include "firmware_image_builder.h"
#include "quillon_hidden.h"
#include "quillon_password.h"
#include "secure_storage.h"
#include "virtual_bridge.h"

namespace quillon::testing {

constexpr const char* kDrive = "\\\\.\\PhysicalDrive1";
constexpr std::uint32_t kFlagWordAddress = 0x307E8;
constexpr std::uint32_t kRecordAddress = 0x30830;

// A bridge on PhysicalDrive1 with a W25X40 flash whose four firmware copies hold a PC image (with a
// hidden sector count) and an Apple image.
class SecureTest : public ::testing::Test {
 public:
  void SetUp() override {
    controller = bridge.AttachDisk(1);
    controller->SetIdentifyB("FCC1", 0, 0x02000000);
    InstallSecureStorageHandlers(bridge);
    SeedFirmware(kHidden);
  }

  void SeedFirmware(std::uint32_t hiddenSectors) {
    fwbuild::ImageRecipe pcRecipe = fwbuild::PcRecipe();
    pcRecipe.extraRecords = fwbuild::HiddenCountRecords(hiddenSectors);
    pc = fwbuild::BuildImage(pcRecipe);
    apple = fwbuild::BuildImage(fwbuild::AppleRecipe());
    for (int copy = 0; copy < 4; ++copy) SeedFlashCopy(*controller, copy, copy < 2 ? pc.bytes : apple.bytes);
  }

  // Back to the state SetUp made, faults and log included.
  void Reset() {
    bridge.ClearFaults();
    controller->passwords = PasswordState{};
    controller->cards = std::array<CardSlot, 4>{};
    controller->memory = SparseMemory();
    controller->flash.Load(FlashPartW25X40());
    controller->publicDisk.Clear();
    controller->hiddenPartitionCommands.clear();
    SeedFirmware(kHidden);
    bridge.ClearLog();
  }

  std::uint8_t FlagByte() const {
    std::uint8_t flags[4];
    controller->memory.Read(kFlagWordAddress, flags, 4);
    return flags[0];
  }
  void SetFlagByte(std::uint8_t value) {
    std::uint8_t flags[4] = {value, 0, 0, 0};
    controller->memory.Write(kFlagWordAddress, flags, 4);
  }
  std::vector<std::uint8_t> Copy(int copy, std::size_t length) const { return FlashCopy(*controller, copy, length); }

  // Bytes as "aa bb cc" text.
  static std::string HexOf(const std::uint8_t* p, std::size_t n) {
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(cell, sizeof(cell), i ? " %02x" : "%02x", p[i]);
      text += cell;
    }
    return text;
  }

  static constexpr std::uint32_t kHidden = 64;
  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
  fwbuild::BuiltImage pc;
  fwbuild::BuiltImage apple;
};

}  // namespace quillon::testing

#endif
