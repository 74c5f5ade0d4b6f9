// UpdateFw, CheckFw and WriteFirmwareCopies against the virtual bridge.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "access/commands.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "firmware_copies.h"
#include "firmware_image_builder.h"
#include "flash_parts.h"
#include "quillon_firmware.h"
#include "virtual_bridge.h"

namespace quillon {
namespace {

using testing::CdbRecord;
using testing::FaultKind;
using testing::MatchVendor;
using testing::ReadFlipper;
using testing::VirtualBridge;
using testing::VirtualController;

constexpr char kPath[] = "\\\\.\\PhysicalDrive1";

std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }

// Flash address of a program or array-read request, of a sector erase, and the block of a card request.
std::uint32_t FlashAddress(const CdbRecord& r) { return Be24(r.cdb.data() + 4); }
std::uint32_t EraseAddress(const CdbRecord& r) { return Be24(r.cdb.data() + 2); }
std::uint32_t CardBlock(const CdbRecord& r) { return Be24(r.cdb.data() + 4); }

bool IsArrayRead(const CdbRecord& r) { return r.cdbLength == 16 && r.cdb[1] == sub::kFlashRead && r.cdb[7] == 0; }

bool AllErased(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

fwbuild::ImageRecipe CardRecipe() {
  fwbuild::ImageRecipe r = fwbuild::PcRecipe();
  r.optionBits = 0x80;
  return r;
}

class FirmwareBridge : public ::testing::Test {
 protected:
  VirtualBridge bridge;
  std::shared_ptr<VirtualController> ctl = bridge.AttachDisk(1);
  std::vector<std::uint8_t> pc = fwbuild::BuildImage(fwbuild::PcRecipe()).bytes;
  std::vector<std::uint8_t> apple = fwbuild::BuildImage(fwbuild::AppleRecipe()).bytes;

  int Update(const std::string& file, const char* product = nullptr) {
    return UpdateFw(kPath, file.data(), static_cast<std::uint32_t>(file.size()), product);
  }
  std::vector<CdbRecord> Sent(std::uint8_t subCommand) { return bridge.LogMatching(MatchVendor(subCommand)); }
  std::vector<CdbRecord> ArrayReads() { return bridge.LogMatching(IsArrayRead); }
  // Flash addresses the array reads started at, each 64 KiB read counted once.
  std::vector<std::uint32_t> CopiesReadBack() {
    std::vector<std::uint32_t> starts;
    for (const CdbRecord& r : ArrayReads())
      if (FlashAddress(r) % 0x10000 == 0) starts.push_back(FlashAddress(r));
    return starts;
  }
  void UseCards(bool card0, bool card1) {
    ctl->flash.present = false;
    ctl->cards[0].present = card0;
    ctl->cards[1].present = card1;
  }
  void FailAlways(std::uint8_t subCommand) {
    testing::Fault fault;
    fault.match = MatchVendor(subCommand);
    fault.kind = FaultKind::CheckCondition;
    fault.times = -1;
    bridge.AddFault(fault);
  }
};

// --- UpdateFw on SPI flash -----------------------------------------------------------------------------

TEST_F(FirmwareBridge, SingleImageGoesToCopiesZeroAndOne) {
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pc)));
  EXPECT_EQ(pc, testing::FlashCopy(*ctl, 0, pc.size()));
  EXPECT_EQ(pc, testing::FlashCopy(*ctl, 1, pc.size()));
  EXPECT_TRUE(AllErased(testing::FlashCopy(*ctl, 2, 0x10000)));
  EXPECT_TRUE(AllErased(testing::FlashCopy(*ctl, 3, 0x10000)));
  EXPECT_EQ((std::vector<std::uint32_t>{0x00000, 0x10000}), CopiesReadBack());
}

TEST_F(FirmwareBridge, TwoImagesGoToAllFourCopiesEraseFirstVerifyLast) {
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pc, &apple)));
  for (int copy = 0; copy < 4; ++copy) EXPECT_EQ(copy < 2 ? pc : apple, testing::FlashCopy(*ctl, copy, pc.size())) << copy;
  EXPECT_EQ((std::vector<std::uint32_t>{0x00000, 0x10000, 0x20000, 0x30000}), CopiesReadBack());

  // One chip erase, the 4,000 ms wait, every program, then every read-back.
  const auto& log = bridge.Log();
  std::size_t erase = log.size(), lastProgram = 0, firstCopyRead = log.size();
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i].cdb[1] == sub::kFlashChipErase) erase = std::min(erase, i);
    if (log[i].cdb[1] == sub::kFlashProgram) lastProgram = i;
    if (IsArrayRead(log[i]) && i > erase) firstCopyRead = std::min(firstCopyRead, i);
  }
  ASSERT_LT(erase, log.size());
  EXPECT_EQ(1u, Sent(sub::kFlashChipErase).size());
  EXPECT_LT(erase, lastProgram);
  EXPECT_LT(lastProgram, firstCopyRead);
  EXPECT_EQ(std::vector<std::uint32_t>{4000}, bridge.Sleeps());
  // Pages of 256 bytes: each image is sent page by page, each copy read back as 64 KiB.
  EXPECT_EQ(4 * pc.size() / 256, Sent(sub::kFlashProgram).size());
}

TEST_F(FirmwareBridge, WithoutSecondImageSupportOnlyCopyZeroIsWrittenAndReadBack) {
  ctl->SetIdentifyB("FCC1", 0, 0x01000000);
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pc, &apple)));
  EXPECT_EQ(pc, testing::FlashCopy(*ctl, 0, pc.size()));
  for (int copy = 1; copy < 4; ++copy) EXPECT_TRUE(AllErased(testing::FlashCopy(*ctl, copy, 0x10000))) << copy;
  EXPECT_EQ(std::vector<std::uint32_t>{0x00000}, CopiesReadBack());
}

TEST_F(FirmwareBridge, FileWithLineBreaksAndProductString) {
  fwbuild::BuiltImage pcBuilt = fwbuild::BuildImage(fwbuild::PcRecipe());
  fwbuild::BuiltImage appleBuilt = fwbuild::BuildImage(fwbuild::AppleRecipe());
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pcBuilt.bytes, &appleBuilt.bytes, 16, "\r\n"), "AB"));
  const std::vector<std::uint8_t> descriptor = {0x06, 0x03, 0x41, 0x00, 0x42, 0x00};
  const std::size_t pcAt = pcBuilt.record13 + 5 + 344;
  const std::size_t appleAt = appleBuilt.record13 + 5 + 312;
  for (int copy = 0; copy < 4; ++copy) {
    const std::vector<std::uint8_t> stored = testing::FlashCopy(*ctl, copy, pc.size());
    const std::size_t at = copy < 2 ? pcAt : appleAt;
    EXPECT_EQ(descriptor, std::vector<std::uint8_t>(stored.begin() + at, stored.begin() + at + 6)) << copy;
    EXPECT_TRUE(FirmwareTrailerMatches(stored.data(), stored.size())) << copy;
  }
}

TEST_F(FirmwareBridge, VerifyMismatchFailsTheUpdate) {
  for (std::uint32_t address : {0x00000u + 10, 0x10000u + 700, 0x30000u + 1000}) {
    ReadFlipper flipper(bridge);
    flipper.FlipFlashRead(address);
    EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc, &apple))) << address;
    EXPECT_EQ(1, flipper.Flipped());
  }
}

TEST_F(FirmwareBridge, BadInputIsRefusedBeforeTheDeviceIsTouched) {
  std::vector<std::uint8_t> badCrc = pc;
  fwbuild::BreakChecksum(badCrc);
  fwbuild::ImageRecipe small = fwbuild::PcRecipe();
  small.productAreaSize = 344 + 8;
  const std::string good = fwbuild::FirmwareFile(pc, &apple);
  struct Case {
    const char* name;
    std::string file;
    const char* product;
  } cases[] = {
      {"badChecksum", fwbuild::FirmwareFile(badCrc), nullptr},
      {"productTooLong", good, "123456789012345678901234567890123456789012345678901234567890123"},
      {"productNotAscii", good, "Gr\xc3\xbc\xc3\x9f"},
      {"productDoesNotFit", fwbuild::FirmwareFile(fwbuild::BuildImage(small).bytes), "ABCD"},
      {"appleTrailerCut", good.substr(0, good.size() - 3 * 5), nullptr},
      {"pcCut", good.substr(0, 3 * 500), nullptr},
      {"empty", "", nullptr},
  };
  for (const Case& c : cases) {
    bridge.ClearLog();
    EXPECT_EQ(0, Update(c.file, c.product)) << c.name;
    EXPECT_TRUE(bridge.Log().empty()) << c.name;
  }
  EXPECT_EQ(0, UpdateFw(kPath, nullptr, 100, nullptr));
  EXPECT_EQ(0, UpdateFw(nullptr, good.data(), static_cast<std::uint32_t>(good.size()), nullptr));
  EXPECT_EQ(0, UpdateFw("\\\\.\\PhysicalDrive1234567890123", good.data(), static_cast<std::uint32_t>(good.size()), nullptr));
  EXPECT_TRUE(bridge.Log().empty());
  EXPECT_TRUE(AllErased(testing::FlashCopy(*ctl, 0, 0x40000)));
}

// A two-image file cut inside its second image must not pass for a single-image file: the update would
// erase the chip and leave the Apple copies blank. Padding after a single image stays accepted.
TEST_F(FirmwareBridge, CutSecondImageIsRefusedAndTheCopiesAreKept) {
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pc, &apple)));
  const std::vector<std::uint8_t> before = testing::FlashCopy(*ctl, 0, 0x40000);
  const std::string good = fwbuild::FirmwareFile(pc, &apple);
  for (std::size_t keep : {std::size_t{1}, std::size_t{100}, apple.size() / 2, apple.size() - 17, apple.size() - 16,
                           apple.size() - 9, apple.size() - 1}) {
    const std::size_t end = pc.size() + keep;
    ClearLastError();
    bridge.ClearLog();
    EXPECT_EQ(0, Update(good.substr(0, 3 * end))) << keep;
    EXPECT_TRUE(bridge.Log().empty()) << keep;
    EXPECT_EQ(ErrorKind::BadInput, LastErrorKind()) << keep;
    EXPECT_NE(std::string(LastErrorText()).find("second image truncated at byte " + GroupDigits(end)), std::string::npos)
        << LastErrorText();
  }
  std::vector<std::uint8_t> damaged = apple;
  damaged[40] ^= 0x01;  // checksum no longer matches
  ClearLastError();
  EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc, &damaged)));
  EXPECT_NE(std::string(LastErrorText()).find("second image (bytes " + GroupDigits(pc.size()) + " to"), std::string::npos) << LastErrorText();
  EXPECT_EQ(before, testing::FlashCopy(*ctl, 0, 0x40000));

  for (std::uint8_t fill : {0x00, 0xFF}) {
    const std::vector<std::uint8_t> padding(3000, fill);
    EXPECT_EQ(1, Update(fwbuild::FirmwareFile(pc, &padding))) << int{fill};
  }
}

TEST_F(FirmwareBridge, UnsuitableControllerIsNotWritten) {
  for (const char* chip : {"BC1", "6623", "FCC9"}) {
    ctl->SetIdentifyB(chip, 0, 0x02000000);
    bridge.ClearLog();
    EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc))) << chip;
    EXPECT_TRUE(Sent(sub::kFlashChipErase).empty()) << chip;
  }
  ctl->SetIdentifyB("FCC2", 0, 0x02000000);
  ctl->flash.present = false;  // flash storage wanted, no flash there
  EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc)));
  EXPECT_TRUE(Sent(sub::kFlashChipErase).empty());
}

TEST_F(FirmwareBridge, FlashFailuresStopAtOnce) {
  {
    // The identification reads fail: nothing is erased.
    testing::Fault fault;
    fault.match = MatchVendor(sub::kFlashRead);
    fault.kind = FaultKind::CheckCondition;
    bridge.AddFault(fault);
    EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc)));
    EXPECT_TRUE(Sent(sub::kFlashChipErase).empty());
    bridge.ClearFaults();
  }
  {
    bridge.ClearLog();
    FailAlways(sub::kFlashChipErase);
    EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc)));
    EXPECT_TRUE(Sent(sub::kFlashProgram).empty());
    EXPECT_TRUE(bridge.Sleeps().empty());
    bridge.ClearFaults();
  }
  {
    // The third page of copy 0 is refused: nothing after it is programmed or read back.
    bridge.ClearLog();
    testing::Fault fault;
    fault.match = MatchVendor(sub::kFlashProgram);
    fault.kind = FaultKind::CheckCondition;
    fault.skip = 2;
    fault.times = -1;
    bridge.AddFault(fault);
    EXPECT_EQ(0, Update(fwbuild::FirmwareFile(pc, &apple)));
    EXPECT_EQ(3u, Sent(sub::kFlashProgram).size());
    EXPECT_TRUE(CopiesReadBack().empty());
  }
}

// --- UpdateFw on cards ---------------------------------------------------------------------------------

TEST_F(FirmwareBridge, CardsGetCopiesZeroAndOneFromASingleImage) {
  UseCards(true, true);
  const std::vector<std::uint8_t> cardPc = fwbuild::BuildImage(CardRecipe()).bytes;
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(cardPc)));
  for (int card = 0; card < 2; ++card) {
    EXPECT_EQ(cardPc, testing::CardCopy(*ctl, card, 0, cardPc.size())) << card;
    EXPECT_EQ(cardPc, testing::CardCopy(*ctl, card, 1, cardPc.size())) << card;
    EXPECT_EQ(std::vector<std::uint8_t>(cardPc.size(), 0), testing::CardCopy(*ctl, card, 2, cardPc.size()));
  }
  // Card preparation of a format-B controller, with its one-second pause.
  std::vector<std::pair<std::uint8_t, std::uint8_t>> prep;
  for (const CdbRecord& r : bridge.Log())
    if (r.cdb[1] >= sub::kCardPrepareA && r.cdb[1] <= sub::kCardInit && r.cdb[1] != sub::kWriteCardBlock &&
        r.cdb[1] != sub::kReadCardBlock)
      prep.emplace_back(r.cdb[1], r.cdb[2]);
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected = {
      {sub::kCardPrepareB, 0}, {sub::kCardPrepareA, 0}, {sub::kCardInit, 0},
      {sub::kCardInit, 1},     {sub::kCardPresent, 0},  {sub::kCardPresent, 1}};
  EXPECT_EQ(expected, prep);
  EXPECT_EQ(std::vector<std::uint32_t>{1000}, bridge.Sleeps());
}

TEST_F(FirmwareBridge, CardsGetAllFourCopiesAndEachIsReadBack) {
  UseCards(true, false);
  ctl->SetIdentifyF("FCC2", 0, 0x02000000);  // format F: no card preparation
  const std::vector<std::uint8_t> cardPc = fwbuild::BuildImage(CardRecipe()).bytes;
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(cardPc, &apple)));
  for (int copy = 0; copy < 4; ++copy)
    EXPECT_EQ(copy < 2 ? cardPc : apple, testing::CardCopy(*ctl, 0, copy, cardPc.size())) << copy;
  std::vector<std::uint32_t> readStarts;
  for (const CdbRecord& r : Sent(sub::kReadCardBlock))
    if (CardBlock(r) % 128 == 0) readStarts.push_back(CardBlock(r));
  EXPECT_EQ((std::vector<std::uint32_t>{256, 384, 0, 128}), readStarts);
  EXPECT_TRUE(Sent(sub::kCardPrepareB).empty());
  EXPECT_TRUE(bridge.Sleeps().empty());
}

TEST_F(FirmwareBridge, CardOutcomes) {
  const std::vector<std::uint8_t> cardPc = fwbuild::BuildImage(CardRecipe()).bytes;
  const std::string file = fwbuild::FirmwareFile(cardPc, &apple);
  struct Case {
    const char* name;
    bool card0, card1;
    int failWritesOnCard;  // -1: none
    int flipOnCard;        // -1: none; else a bit of copy 1 reads back wrong on that card
    int result;
  } cases[] = {
      {"noCard", false, false, -1, -1, 0},
      {"card1Only", false, true, -1, -1, 1},
      {"card1WriteFails", true, true, 1, -1, 1},
      {"onlyCardWriteFails", true, false, 0, -1, 0},
      {"copy1MismatchOtherCardGood", true, true, -1, 0, 1},
      {"copy1MismatchOnlyCard", true, false, -1, 0, 0},
  };
  for (const Case& c : cases) {
    VirtualBridge fresh;
    auto controller = fresh.AttachDisk(1);
    controller->flash.present = false;
    controller->cards[0].present = c.card0;
    controller->cards[1].present = c.card1;
    if (c.failWritesOnCard >= 0) {
      testing::Fault fault;
      const std::uint8_t card = static_cast<std::uint8_t>(c.failWritesOnCard);
      fault.match = [card](const CdbRecord& r) { return r.cdb[1] == sub::kWriteCardBlock && r.cdb[7] == card; };
      fault.kind = FaultKind::CheckCondition;
      fault.times = -1;
      fresh.AddFault(fault);
    }
    ReadFlipper flipper(fresh);
    if (c.flipOnCard >= 0) flipper.FlipCardRead(static_cast<std::uint8_t>(c.flipOnCard), 128 * 512 + 33, 0x10, -1);
    EXPECT_EQ(c.result, UpdateFw(kPath, file.data(), static_cast<std::uint32_t>(file.size()), nullptr)) << c.name;
  }
}

TEST_F(FirmwareBridge, FailedCardReadBackEndsTheUpdate) {
  UseCards(true, true);
  FailAlways(sub::kReadCardBlock);
  EXPECT_EQ(0, Update(fwbuild::FirmwareFile(fwbuild::BuildImage(CardRecipe()).bytes)));
  EXPECT_EQ(1u, Sent(sub::kReadCardBlock).size());
}

// --- CheckFw --------------------------------------------------------------------------------------------

std::string Check(const char* path = kPath) {
  std::vector<char> text(QUILLON_CHECK_FW_TEXT_CAPACITY, 'x');
  EXPECT_EQ(1, CheckFw(path, text.data()));
  return text.data();
}

std::vector<std::uint8_t> WithVersion(std::uint32_t version, fwbuild::ImageRecipe recipe = fwbuild::PcRecipe()) {
  recipe.version = version;
  return fwbuild::BuildImage(recipe).bytes;
}

TEST_F(FirmwareBridge, CheckFwOnFlash) {
  fwbuild::ImageRecipe two12 = fwbuild::PcRecipe();
  two12.records12 = 2;
  fwbuild::BuiltImage padded = fwbuild::BuildImage(fwbuild::PcRecipe());
  fwbuild::PutPaddingByte(padded);
  testing::SeedFlashCopy(*ctl, 0, WithVersion(0x05060708));
  testing::SeedFlashCopy(*ctl, 1, fwbuild::BuildImage(two12).bytes);
  testing::SeedFlashCopy(*ctl, 2, WithVersion(0x01020304));
  testing::SeedFlashCopy(*ctl, 3, padded.bytes);
  EXPECT_EQ(
      "PC fw copy 0 is OK. Firmware version is 5.6.7.8.\r\n"
      "PC fw copy 1 is error.\r\n"
      "Apple fw copy 0 is OK. Firmware version is 1.2.3.4.\r\n"
      "Apple fw copy 1 is error.\r\n",
      Check());

  std::vector<std::uint8_t> badCrc = WithVersion(0x01020304);
  fwbuild::BreakChecksum(badCrc);
  testing::SeedFlashCopy(*ctl, 0, badCrc);
  testing::SeedFlashCopy(*ctl, 1, WithVersion(0xFF80017F));  // shown as signed bytes
  testing::SeedFlashCopy(*ctl, 2, fwbuild::BuildImage(fwbuild::AppleRecipe()).bytes);
  ctl->flash.Fill(0x30000, std::vector<std::uint8_t>(0x10000, 0xFF).data(), 0x10000);
  EXPECT_EQ(
      "PC fw copy 0 is error.\r\n"
      "PC fw copy 1 is OK. Firmware version is -1.-128.1.127.\r\n"
      "Apple fw copy 0 is OK. Firmware version is 2.0.0.80.\r\n"
      "Apple fw copy 1 is error.\r\n",
      Check());
}

TEST_F(FirmwareBridge, CheckFwOnCards) {
  UseCards(true, true);
  fwbuild::ImageRecipe noVersion = fwbuild::PcRecipe();
  noVersion.withVersion = false;
  for (int copy = 0; copy < 4; ++copy) testing::SeedCardCopy(*ctl, 0, copy, WithVersion(0x01020300 + copy));
  testing::SeedCardCopy(*ctl, 1, 0, WithVersion(0x01020304));
  testing::SeedCardCopy(*ctl, 1, 1, fwbuild::BuildImage(noVersion).bytes);
  EXPECT_EQ(
      "PC fw copy 0 on card 0 is OK. Firmware version is 1.2.3.0.\r\n"
      "PC fw copy 1 on card 0 is OK. Firmware version is 1.2.3.1.\r\n"
      "Apple fw copy 0 on card 0 is OK. Firmware version is 1.2.3.2.\r\n"
      "Apple fw copy 1 on card 0 is OK. Firmware version is 1.2.3.3.\r\n"
      "PC fw copy 0 on card 1 is OK. Firmware version is 1.2.3.4.\r\n"
      "PC fw copy 1 on card 1 is error.\r\n"
      "Apple fw copy 0 on card 1 is error.\r\n"
      "Apple fw copy 1 on card 1 is error.\r\n",
      Check());

  ctl->cards[0].present = false;
  EXPECT_EQ(0u, Check().find("PC fw copy 0 on card 1 is OK."));
  ctl->cards[1].present = false;
  EXPECT_EQ("", Check());
}

TEST_F(FirmwareBridge, CheckFwWithoutTextOrDevice) {
  EXPECT_EQ(1, CheckFw(kPath, nullptr));
  EXPECT_EQ("", Check("\\\\.\\PhysicalDrive9"));
  EXPECT_EQ("", Check("\\\\.\\PhysicalDrive1234567890123"));
}

TEST_F(FirmwareBridge, UpdatedCopiesCheckOk) {
  ASSERT_EQ(1, Update(fwbuild::FirmwareFile(pc, &apple), "Quillon test"));
  EXPECT_EQ(
      "PC fw copy 0 is OK. Firmware version is 1.2.3.4.\r\n"
      "PC fw copy 1 is OK. Firmware version is 1.2.3.4.\r\n"
      "Apple fw copy 0 is OK. Firmware version is 2.0.0.80.\r\n"
      "Apple fw copy 1 is OK. Firmware version is 2.0.0.80.\r\n",
      Check());
}

// --- WriteFirmwareCopies -------------------------------------------------------------------------------

class RewriteCopies : public FirmwareBridge {
 protected:
  BridgeDevice device{};

  void SetUp() override {
    ASSERT_EQ(1, OpenBridgeDevice(&device, kPath));
    ASSERT_EQ(1, IdentifyFlash(device));
    bridge.ClearLog();
  }
  int Write(bool withApple, const FirmwareProgress& progress = {}) {
    return WriteFirmwareCopies(device, pc.data(), static_cast<std::uint32_t>(pc.size()),
                               withApple ? apple.data() : nullptr,
                               withApple ? static_cast<std::uint32_t>(apple.size()) : 0, progress);
  }
  // Copies whose first sector was erased.
  std::vector<int> ErasedCopies() {
    std::vector<int> copies;
    for (const CdbRecord& r : Sent(sub::kFlashSectorErase))
      if (EraseAddress(r) % 0x10000 == 0) copies.push_back(static_cast<int>(EraseAddress(r) / 0x10000));
    return copies;
  }
  void CardFlags() {
    const std::uint8_t flags[4] = {0x80, 0, 0, 0};
    ctl->memory.Write(kFirmwareFlagsAddress, flags, 4);
  }
};

struct StopCase {
  std::uint32_t word2;
  bool apple;
  std::vector<int> copies;
};

class StopRules : public RewriteCopies, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopRules, OnFlash) {
  const StopCase& c = GetParam();
  ctl->SetIdentifyB("FCC1", 0, c.word2);
  ASSERT_EQ(1, Write(c.apple));
  EXPECT_EQ(c.copies, ErasedCopies());
  EXPECT_EQ(15 * c.copies.size(), Sent(sub::kFlashSectorErase).size());
  for (int copy : c.copies) EXPECT_EQ(copy < 2 ? pc : apple, testing::FlashCopy(*ctl, copy, pc.size())) << copy;
}

TEST_P(StopRules, OnCards) {
  const StopCase& c = GetParam();
  ctl->SetIdentifyB("FCC1", 0, c.word2);
  CardFlags();
  ctl->cards[0].present = true;
  ctl->cards[1].present = true;
  ASSERT_EQ(1, Write(c.apple));
  for (int card = 0; card < 2; ++card) {
    std::vector<int> written;
    for (const CdbRecord& r : Sent(sub::kWriteCardBlock))
      if (r.cdb[7] == card && CardBlock(r) % 128 == 0) written.push_back(static_cast<int>(CardBlock(r) / 128));
    EXPECT_EQ(c.copies, written) << card;
  }
  EXPECT_TRUE(Sent(sub::kFlashSectorErase).empty());
}

INSTANTIATE_TEST_SUITE_P(Word2, StopRules,
                         ::testing::Values(StopCase{0x01000000, true, {0}}, StopCase{0x02000000, false, {0, 1}},
                                           StopCase{0x02000000, true, {0, 1, 2, 3}},
                                           StopCase{0x00000000, true, {0, 1, 2, 3}},
                                           StopCase{0x00000000, false, {0, 1}}));

TEST_F(RewriteCopies, KeepsTheLastSectorOfEachCopyArea) {
  const std::vector<std::uint8_t> trace(0x1000, 0x33);
  for (std::uint32_t area = 0; area < 4; ++area) ctl->flash.Fill(area * 0x10000 + 0xF000, trace.data(), trace.size());
  ASSERT_EQ(1, Write(true));
  for (std::uint32_t area = 0; area < 4; ++area) {
    const std::vector<std::uint8_t> stored = testing::FlashCopy(*ctl, static_cast<int>(area), 0x10000);
    EXPECT_EQ(trace, std::vector<std::uint8_t>(stored.begin() + 0xF000, stored.end())) << area;
  }
}

TEST_F(RewriteCopies, MismatchStopsBeforeTheNextCopy) {
  ReadFlipper flipper(bridge);
  flipper.FlipFlashRead(0x10000 + 5);
  EXPECT_EQ(0, Write(true));
  EXPECT_EQ((std::vector<int>{0, 1}), ErasedCopies());

  CardFlags();
  ctl->cards[0].present = true;
  ctl->cards[1].present = true;
  bridge.ClearLog();
  flipper.FlipCardRead(0, 256 * 512 + 1);
  EXPECT_EQ(0, Write(true));
  std::vector<std::uint32_t> blocks;
  for (const CdbRecord& r : Sent(sub::kWriteCardBlock))
    if (CardBlock(r) % 128 == 0) blocks.push_back(CardBlock(r));
  EXPECT_EQ((std::vector<std::uint32_t>{0, 128, 256}), blocks);
}

TEST_F(RewriteCopies, Refusals) {
  EXPECT_EQ(0, WriteFirmwareCopies(device, nullptr, 100, apple.data(), static_cast<std::uint32_t>(apple.size())));
  EXPECT_EQ(0, WriteFirmwareCopies(device, pc.data(), 0, nullptr, 0));
  const std::vector<std::uint8_t> big(61441, 0);
  EXPECT_EQ(0, WriteFirmwareCopies(device, big.data(), static_cast<std::uint32_t>(big.size()), nullptr, 0));
  EXPECT_EQ(0, WriteFirmwareCopies(device, pc.data(), static_cast<std::uint32_t>(pc.size()), big.data(),
                                   static_cast<std::uint32_t>(big.size())));
  BridgeDevice unknown = device;
  unknown.flashName[0] = '\0';
  EXPECT_EQ(0, WriteFirmwareCopies(unknown, pc.data(), static_cast<std::uint32_t>(pc.size()), nullptr, 0));
  BridgeDevice bigSectors = device;
  bigSectors.sectorSize = 65536;
  EXPECT_EQ(0, WriteFirmwareCopies(bigSectors, pc.data(), static_cast<std::uint32_t>(pc.size()), nullptr, 0));
  EXPECT_TRUE(Sent(sub::kFlashSectorErase).empty());

  // Cards: none present, and an image longer than a copy's 128 blocks.
  CardFlags();
  EXPECT_EQ(0, Write(false));
  ctl->cards[0].present = true;
  const std::vector<std::uint8_t> huge(65537, 0);
  EXPECT_EQ(0, WriteFirmwareCopies(device, huge.data(), static_cast<std::uint32_t>(huge.size()), nullptr, 0));
  EXPECT_TRUE(Sent(sub::kWriteCardBlock).empty());

  // The flags word or the identify step failing.
  FailAlways(sub::kReadMemory);
  EXPECT_EQ(0, Write(false));
  bridge.ClearFaults();
  ctl->identifyReply[0] = 'X';
  EXPECT_EQ(0, Write(false));
  EXPECT_TRUE(Sent(sub::kWriteCardBlock).empty());
}

TEST_F(RewriteCopies, ReportsProgressPerCopy) {
  std::vector<std::pair<unsigned, unsigned>> steps;
  ASSERT_EQ(1, Write(true, [&](unsigned done, unsigned total) { steps.emplace_back(done, total); }));
  EXPECT_EQ((std::vector<std::pair<unsigned, unsigned>>{{1, 4}, {2, 4}, {3, 4}, {4, 4}}), steps);

  steps.clear();
  CardFlags();
  ctl->cards[1].present = true;  // card 0 absent
  ASSERT_EQ(1, Write(false, [&](unsigned done, unsigned total) { steps.emplace_back(done, total); }));
  EXPECT_EQ((std::vector<std::pair<unsigned, unsigned>>{{1, 2}, {2, 2}}), steps);
}

TEST_F(FirmwareBridge, UpdateReportsProgressToTheEnd) {
  std::vector<std::pair<unsigned, unsigned>> steps;
  const std::string file = fwbuild::FirmwareFile(pc, &apple);
  ASSERT_EQ(1, UpdateFirmware(kPath, file.data(), static_cast<std::uint32_t>(file.size()), nullptr,
                              [&](unsigned done, unsigned total) { steps.emplace_back(done, total); }));
  ASSERT_EQ(9u, steps.size());  // erase, four programs, four read-backs
  for (unsigned i = 0; i < steps.size(); ++i) EXPECT_EQ(std::make_pair(i + 1, 9u), steps[i]);
}

}  // namespace
}  // namespace quillon
