// Firmware update, verified rewrite and check of the firmware copies on SPI flash and memory cards.

#include "firmware/firmware_update.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "access/commands.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "platform/backend.h"

namespace quillon {

namespace {

constexpr int kCards = 2;

struct Image {
  const std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  bool Present() const { return data != nullptr && length > 0; }
};

// Counts steps and passes them on.
class Steps {
 public:
  Steps(const FirmwareProgress& progress, unsigned total) : progress_(progress), total_(total) {}
  void Plan(unsigned total) { total_ = total; }
  void Done() {
    ++done_;
    if (progress_) progress_(done_, total_ < done_ ? done_ : total_);
  }

 private:
  const FirmwareProgress& progress_;
  unsigned done_ = 0;
  unsigned total_;
};

void Wait(std::uint32_t milliseconds) { platform::CurrentBackend().SleepMilliseconds(milliseconds); }

// Reads a copy back from flash (whole pages covering the image) and compares it with the image.
bool FlashCopyEquals(const BridgeDevice& device, std::uint32_t address, const Image& image, std::uint32_t readLength) {
  std::vector<std::uint8_t> back(readLength);
  if (!CmdFlashRead(device, address, back.data(), readLength)) return false;
  return std::memcmp(back.data(), image.data, image.length) == 0;
}

bool CardCopyEquals(const BridgeDevice& device, std::uint8_t card, std::uint32_t block, const Image& image,
                    std::uint32_t readLength, bool* readFailed) {
  std::vector<std::uint8_t> back(readLength);
  if (!CmdReadCardBlock(device, card, block, back.data(), readLength)) {
    *readFailed = true;
    return false;
  }
  return std::memcmp(back.data(), image.data, image.length) == 0;
}

// Copies written in turn: 0 always, 1 unless the top byte of identify word 2 is 1, 2 and 3 with an
// Apple image.
int LastRewriteCopy(const IdentifyInfo& info, const Image& apple) {
  if ((info.word2 >> 24) == 1) return 0;
  return apple.Present() ? 3 : 1;
}

const Image& CopyImage(int copy, const Image& pc, const Image& apple) { return copy < 2 ? pc : apple; }

}  // namespace

int WriteFirmwareCopies(BridgeDevice& device, const std::uint8_t* pcImage, std::uint32_t pcLength,
                        const std::uint8_t* appleImage, std::uint32_t appleLength, const FirmwareProgress& progress) {
  const Image pc{pcImage, pcLength};
  const Image apple{appleImage, appleImage ? appleLength : 0};
  if (!pc.Present()) return 0;
  // A copy must not run into the next one.
  if (pc.length > kCopyReadLength || apple.length > kCopyReadLength) return 0;

  std::uint8_t flags[4] = {};
  if (!CmdReadMemory(device, kFirmwareFlagsAddress, flags, sizeof(flags))) return 0;
  // Without the identify reply the number of copies is unknown: write none.
  IdentifyInfo info{};
  if (!IdentifyBridge(device, &info)) return 0;
  const int lastCopy = LastRewriteCopy(info, apple);
  const unsigned copies = static_cast<unsigned>(lastCopy + 1);

  if (flags[0] & kOptionCardStorage) {
    Steps steps(progress, copies * kCards);
    int cardsWritten = 0;
    for (int card = 0; card < kCards; ++card) {
      if (CmdCardPresent(device, static_cast<std::uint8_t>(card)) == 0) {
        steps.Plan(copies * static_cast<unsigned>(cardsWritten + (kCards - 1 - card)));
        continue;
      }
      for (int copy = 0; copy <= lastCopy; ++copy) {
        const Image& image = CopyImage(copy, pc, apple);
        const std::uint8_t slot = static_cast<std::uint8_t>(card);
        bool readFailed = false;
        if (!CmdWriteCardBlock(device, slot, kCopyCardBlock[copy], image.data, image.length) ||
            !CardCopyEquals(device, slot, kCopyCardBlock[copy], image, image.length, &readFailed))
          return 0;
        steps.Done();
      }
      ++cardsWritten;
    }
    // Nothing written is not a rewrite.
    return cardsWritten > 0 ? 1 : 0;
  }

  if (device.sectorSize != kRewriteSectorSize || device.flashName[0] == '\0' || pc.length > kRewriteMaxImage ||
      apple.length > kRewriteMaxImage)
    return 0;
  const std::uint32_t page = device.pageSize;
  if (page == 0) return 0;
  Steps steps(progress, copies);
  for (int copy = 0; copy <= lastCopy; ++copy) {
    const Image& image = CopyImage(copy, pc, apple);
    const std::uint32_t address = kCopyFlashAddress[copy];
    for (std::uint32_t sector = 0; sector < kRewriteSectors; ++sector)
      if (!CmdFlashSectorErase(device, address + sector * kRewriteSectorSize)) return 0;
    if (!CmdFlashProgram(device, address, image.data, image.length)) return 0;
    const std::uint32_t readLength = (image.length + page - 1) / page * page;
    if (!FlashCopyEquals(device, address, image, readLength)) return 0;
    steps.Done();
  }
  return 1;
}

namespace {

int UpdateCards(const BridgeDevice& device, const IdentifyInfo& info, const PreparedFirmware& fw,
                const FirmwareProgress& progress) {
  if (info.formatB) {
    // Outcomes not consulted: a card that did not come up shows in its present answer.
    CmdCardPrepareB(device);
    Wait(kCardPrepareWaitMs);
    CmdCardPrepareA(device);
    CmdCardInit(device, 0);
    CmdCardInit(device, 1);
  }
  bool present[kCards] = {};
  int presentCount = 0;
  for (int card = 0; card < kCards; ++card) {
    present[card] = CmdCardPresent(device, static_cast<std::uint8_t>(card)) != 0;
    presentCount += present[card] ? 1 : 0;
  }
  if (presentCount == 0) return ReportDeviceFailure("the firmware lives on memory cards and no card is present");

  const Image pc{fw.pc.data(), static_cast<std::uint32_t>(fw.pc.size())};
  const Image apple{fw.apple.data(), static_cast<std::uint32_t>(fw.apple.size())};
  const bool writeApple = device.secondImageSupport && apple.Present();
  // Apple copies first, then the PC copies.
  std::vector<int> copies;
  if (writeApple) copies = {2, 3};
  copies.push_back(0);
  copies.push_back(1);
  Steps steps(progress, static_cast<unsigned>(2 * copies.size() * presentCount));

  // Every card is written before any is read back; a card whose write fails is not written further.
  bool written[kCards] = {};
  for (int card = 0; card < kCards; ++card) {
    if (!present[card]) continue;
    written[card] = true;
    for (int copy : copies) {
      const Image& image = CopyImage(copy, pc, apple);
      if (!CmdWriteCardBlock(device, static_cast<std::uint8_t>(card), kCopyCardBlock[copy], image.data, image.length)) {
        written[card] = false;
        break;
      }
      steps.Done();
    }
  }

  int passed = 0;
  for (int card = 0; card < kCards; ++card) {
    if (!written[card]) continue;
    bool equal = true;
    for (int copy : copies) {
      bool readFailed = false;
      equal = CardCopyEquals(device, static_cast<std::uint8_t>(card), kCopyCardBlock[copy],
                             CopyImage(copy, pc, apple), kCopyReadLength, &readFailed);
      if (readFailed) return 0;
      if (!equal) {
        ReportDeviceFailure("copy %d on card %d read back different from what was written", copy, card);
        break;
      }
      steps.Done();
    }
    passed += equal ? 1 : 0;
  }
  return passed > 0 ? 1 : 0;
}

int UpdateFlash(BridgeDevice& device, const PreparedFirmware& fw, const FirmwareProgress& progress) {
  if (CmdFlashPresent(device) != 1)
    return ReportDeviceFailure("the image puts the firmware in SPI flash, but the bridge reports no flash");
  // Identification reads that fail mean the flash commands do not work: erase nothing.
  if (!IdentifyFlash(device)) return ReportDeviceFailure("the SPI flash did not answer its identification reads");
  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kCopyReadLength) return 0;

  const Image pc{fw.pc.data(), static_cast<std::uint32_t>(fw.pc.size())};
  const Image apple{fw.apple.data(), static_cast<std::uint32_t>(fw.apple.size())};
  std::vector<int> copies = {0};
  if (device.secondImageSupport) {
    copies.push_back(1);
    if (apple.Present()) {
      copies.push_back(2);
      copies.push_back(3);
    }
  }
  Steps steps(progress, static_cast<unsigned>(1 + 2 * copies.size()));

  // The whole chip is erased before any copy is programmed, and all programming precedes the
  // read-back.
  if (!CmdFlashChipErase(device)) return 0;
  Wait(kChipEraseWaitMs);
  steps.Done();
  for (int copy : copies) {
    const Image& image = CopyImage(copy, pc, apple);
    if (!CmdFlashProgram(device, kCopyFlashAddress[copy], image.data, image.length)) return 0;
    steps.Done();
  }
  // Only the copies programmed are read back.
  for (int copy : copies) {
    ClearLastError();
    if (!FlashCopyEquals(device, kCopyFlashAddress[copy], CopyImage(copy, pc, apple), readLength)) {
      if (LastErrorKind() == ErrorKind::None)
        ReportDeviceFailure("copy %d at flash address 0x%05x read back different from what was written", copy,
                            static_cast<unsigned>(kCopyFlashAddress[copy]));
      return 0;
    }
    steps.Done();
  }
  return 1;
}

}  // namespace

int UpdateFirmware(const char* path, const char* fileText, std::uint32_t fileLength, const char* product,
                   const FirmwareProgress& progress) {
  if (path == nullptr || fileText == nullptr) return 0;
  PreparedFirmware fw;
  if (!PrepareFirmwareUpdate(std::string_view(fileText, fileLength), product, &fw)) return 0;

  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path)) return RefuseInput("device path longer than 24 characters");
  IdentifyInfo info{};
  if (!IdentifyBridge(device, &info)) return 0;
  if (device.chipKind != ChipKind::KindFcc)
    return ReportDeviceFailure("%s is a \"%s\" controller; firmware updates need an FCC controller", path, info.chipName);
  return fw.cardStorage ? UpdateCards(device, info, fw, progress) : UpdateFlash(device, fw, progress);
}

namespace {

const char* ImageName(int copy) { return copy < 2 ? "PC" : "Apple"; }

// A copy is reported good only when the image check accepts it and its trailer, checksum included,
// is intact.
bool CopyGood(BridgeDevice& device, const std::vector<std::uint8_t>& bytes, int version[4]) {
  FirmwareImageInfo info;
  if (!ParseFirmwareImage(bytes.data(), bytes.size(), device, kKeyVersion, &info) || !info.trailerIntact ||
      info.keyOffset < 0)
    return false;
  const std::uint8_t* value = bytes.data() + info.keyOffset + kValueOffsetInRecord;
  for (int i = 0; i < 4; ++i) version[i] = static_cast<std::int8_t>(value[3 - i]);
  return true;
}

void AppendLine(std::string& report, int copy, const char* where, bool good, const int version[4]) {
  char line[160];
  if (good)
    std::snprintf(line, sizeof(line), "%s fw copy %d%s is OK. Firmware version is %d.%d.%d.%d.\r\n", ImageName(copy),
                  copy % 2, where, version[0], version[1], version[2], version[3]);
  else
    std::snprintf(line, sizeof(line), "%s fw copy %d%s is error.\r\n", ImageName(copy), copy % 2, where);
  report += line;
}

}  // namespace

std::string CheckFirmwareReport(const char* path) {
  std::string report;
  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path)) return report;

  if (CmdFlashPresent(device) == 1) {
    IdentifyFlash(device);
    const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
    for (int copy = 0; copy < kFirmwareCopies; ++copy) {
      std::vector<std::uint8_t> bytes(readLength);
      int version[4] = {};
      const bool good = readLength > 0 && CmdFlashRead(device, kCopyFlashAddress[copy], bytes.data(), readLength) &&
                        CopyGood(device, bytes, version);
      AppendLine(report, copy, "", good, version);
    }
    return report;
  }

  bool counted[kCards];
  for (int card = 0; card < kCards; ++card) counted[card] = CmdCardPresent(device, static_cast<std::uint8_t>(card)) != 0;
  for (int card = 0; card < kCards; ++card) {
    if (!counted[card]) continue;
    const char* where = card == 0 ? " on card 0" : " on card 1";
    for (int copy = 0; copy < kFirmwareCopies; ++copy) {
      std::vector<std::uint8_t> bytes(kCopyReadLength);
      int version[4] = {};
      const bool good =
          CmdReadCardBlock(device, static_cast<std::uint8_t>(card), kCopyCardBlock[copy], bytes.data(), kCopyReadLength) &&
          CopyGood(device, bytes, version);
      AppendLine(report, copy, where, good, version);
    }
  }
  return report;
}

}  // namespace quillon
