// The layout walk that finds the customisable places of an image, and the customisation itself.

#include <cstdlib>
#include <cstring>

#include "access/digest.h"
#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_records.h"

namespace quillon {

namespace {

std::uint8_t VersionTop(std::uint32_t version) { return static_cast<std::uint8_t>(version >> 24); }

// The layout is fixed at the first version record: the second layout needs an accepted chip code
// before it, a top version byte above 1 and 5 in the upper half of the lowest version byte.
bool SecondLayoutVersion(std::uint32_t version, bool chipAcceptedBefore) {
  return chipAcceptedBefore && VersionTop(version) > 1 && ((version & 0xFF) >> 4) == 5;
}

// Offset of a run of eight consecutive 7-byte records keyed first, first + 1, ... that starts at
// `offset` and ends before `limit`, or -1.
std::int32_t PasswordRun(const std::vector<std::uint8_t>& image, std::int32_t offset, std::size_t limit,
                         std::uint32_t firstKey) {
  if (offset < 0) return -1;
  FirmwareRecord r;
  for (std::size_t k = 0; k < kPasswordRecordCount; ++k) {
    const std::size_t at = static_cast<std::size_t>(offset) + k * kValueRecordSize;
    if (ReadFirmwareRecord(image.data(), limit, at, &r) != RecordStep::Record || r.size != kValueRecordSize ||
        r.key != firstKey + k)
      return -1;
  }
  return offset;
}

// A place of `size` bytes at `position` lies inside its 0x13 record and before the trailer.
bool PlaceFits(std::int32_t position, std::int32_t limit, std::size_t size, std::size_t imageLength) {
  if (position < 0 || limit < 0 || imageLength < kFirmwareTrailerSize) return false;
  const std::size_t end = static_cast<std::size_t>(position) + size;
  return end <= static_cast<std::size_t>(limit) && end <= imageLength - kFirmwareTrailerSize;
}

bool RecordRunFits(std::int32_t offset, std::size_t imageLength) {
  return offset >= 0 &&
         static_cast<std::size_t>(offset) + kPasswordRecordCount * kValueRecordSize <= imageLength;
}

void WriteBlockIntoRecords(std::vector<std::uint8_t>& image, std::int32_t offset,
                           const std::uint8_t block[kFirmwarePasswordBlockSize]) {
  for (std::size_t k = 0; k < kPasswordRecordCount; ++k)
    std::memcpy(image.data() + offset + k * kValueRecordSize + kValueOffsetInRecord, block + 4 * k, 4);
}

}  // namespace

int WalkImageLayout(std::string_view imageHex, ImageLayout* layout, FirmwareLayout* kind) {
  std::vector<std::uint8_t> image;
  if (!layout || !HexSpacedParse(imageHex, &image)) return 0;
  const ImageSummary summary = SummariseFirmwareImage(image.data(), image.size(), 0);
  if (!summary.walked) return 0;

  // First pass: the layout, fixed at the first version record.
  bool chipAcceptedSeen = false;
  bool versionSeen = false;
  bool second = false;
  std::size_t endOffset = 0;
  WalkFirmwareRecords(image.data(), image.size(), &endOffset, [&](const FirmwareRecord& r) {
    if (r.size != kValueRecordSize) return;
    if (r.key == kKeyChipCode && FirmwareChipCodeAccepted(r.value)) chipAcceptedSeen = true;
    if (r.key == kKeyVersion && !versionSeen) {
      versionSeen = true;
      second = SecondLayoutVersion(r.value, chipAcceptedSeen);
    }
  });

  // Second pass: the places, counted only up to the first 0x13 record.
  FirstLayoutPlaces first;
  SecondLayoutPlaces secondPlaces;
  std::int32_t passwordFirst = -1;
  std::int32_t passwordSecond = -1;
  bool before13 = true;
  std::size_t first13 = image.size();
  bool oldVersionSeen = false;
  chipAcceptedSeen = false;
  WalkFirmwareRecords(image.data(), image.size(), &endOffset, [&](const FirmwareRecord& r) {
    if (!before13) return;
    const auto at = static_cast<std::int32_t>(r.offset);
    if (r.type == 0x13) {
      before13 = false;
      first13 = r.offset;
      std::size_t m = second ? kProductOffsetSecond : kProductOffsetFirst;
      if (oldVersionSeen && !chipAcceptedSeen) m = kProductOffsetOldVersion;
      const auto position = static_cast<std::int32_t>(r.offset + 5 + m);
      const auto limit = static_cast<std::int32_t>(r.offset + r.size);
      if (second) {
        secondPlaces.productPosition = position;
        secondPlaces.productLimit = limit;
      } else {
        first.productPosition = position;
        first.productLimit = limit;
      }
      return;
    }
    if (r.size != kValueRecordSize) return;
    if (r.key == kKeyChipCode && FirmwareChipCodeAccepted(r.value)) chipAcceptedSeen = true;
    if (r.key == kKeyVersion && VersionTop(r.value) > 2 && VersionTop(r.value) < 0x80) oldVersionSeen = true;
    if (!second) {
      if (r.key == kKeyOptions) {
        first.optionOffset = at + static_cast<std::int32_t>(kValueOffsetInRecord);
        first.optionBits = static_cast<std::uint8_t>(r.value);
      }
      if (r.key == kKeyPasswordFirst) passwordFirst = at;
    } else {
      if (r.key == kKeyPasswordFlag) secondPlaces.passwordFlagOffset = at + static_cast<std::int32_t>(kValueOffsetInRecord + 3);
      if (r.key == kKeyPasswordSecond) passwordSecond = at;
    }
  });

  if (!second) {
    first.passwordRecords = PasswordRun(image, passwordFirst, first13, kKeyPasswordFirst);
    if (first.passwordRecords >= 0)
      for (std::size_t k = 0; k < kPasswordRecordCount; ++k)
        std::memcpy(first.passwordText + 4 * k,
                    image.data() + first.passwordRecords + k * kValueRecordSize + kValueOffsetInRecord, 4);
    layout->first = first;
  } else {
    secondPlaces.passwordRecords = PasswordRun(image, passwordSecond, first13, kKeyPasswordSecond);
    layout->second = secondPlaces;
  }
  if (kind) *kind = second ? FirmwareLayout::Second : FirmwareLayout::First;

  return summary.count12 == 1 && summary.trailerReached && summary.zeroPadding && summary.signature &&
                 summary.chipAccepted
             ? 1 : 0;
}

std::vector<std::uint8_t> ProductStringDescriptor(std::string_view product) {
  std::vector<std::uint8_t> descriptor;
  if (product.size() > kMaxProductLength) return descriptor;
  for (char c : product)
    if (static_cast<unsigned char>(c) == 0 || static_cast<unsigned char>(c) > 0x7F) return descriptor;
  descriptor.reserve(2 + 2 * product.size());
  descriptor.push_back(static_cast<std::uint8_t>(2 * product.size() + 2));
  descriptor.push_back(3);
  for (char c : product) {
    descriptor.push_back(static_cast<std::uint8_t>(c));
    descriptor.push_back(0);
  }
  return descriptor;
}

int CustomiseImages(const char* product, std::string_view pcImageHex, std::string_view appleImageHex,
                    const ImageLayout& layout, std::vector<std::uint8_t>* pcImage,
                    std::vector<std::uint8_t>* appleImage) {
  if (!pcImage || !appleImage) return 0;
  std::vector<std::uint8_t> pc;
  std::vector<std::uint8_t> apple;
  if (!HexSpacedParse(pcImageHex, &pc) || pc.size() < kFirmwareTrailerSize) return 0;
  const bool hasApple = !appleImageHex.empty();
  if (hasApple && (!HexSpacedParse(appleImageHex, &apple) || apple.size() < kFirmwareTrailerSize)) return 0;

  if (product && *product) {
    const std::vector<std::uint8_t> descriptor = ProductStringDescriptor(product);
    if (descriptor.empty()) return 0;
    if (!PlaceFits(layout.first.productPosition, layout.first.productLimit, descriptor.size(), pc.size()))
      return 0;
    if (hasApple && !PlaceFits(layout.second.productPosition, layout.second.productLimit, descriptor.size(),
                               apple.size()))
      return 0;
    if (hasApple) std::memcpy(apple.data() + layout.second.productPosition, descriptor.data(), descriptor.size());
    std::memcpy(pc.data() + layout.first.productPosition, descriptor.data(), descriptor.size());
  }

  const std::int32_t option = layout.first.optionOffset;
  const bool optionKnown = option >= 0 && static_cast<std::size_t>(option) < pc.size() - kFirmwareTrailerSize;
  if (optionKnown && (pc[option] & kOptionPassword)) {
    // Every place the verifier goes to must be known before anything is changed.
    if (!RecordRunFits(layout.first.passwordRecords, pc.size() - kFirmwareTrailerSize)) return 0;
    const std::int32_t appleFlag = layout.second.passwordFlagOffset;
    if (hasApple && (!RecordRunFits(layout.second.passwordRecords, apple.size() - kFirmwareTrailerSize) ||
                     appleFlag < 0 || static_cast<std::size_t>(appleFlag) >= apple.size() - kFirmwareTrailerSize))
      return 0;

    std::uint8_t text[kFirmwarePasswordBlockSize] = {};
    const void* end = std::memchr(layout.first.passwordText, 0, kFirmwarePasswordBlockSize);
    const std::size_t textLength =
        end ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - layout.first.passwordText)
            : kFirmwarePasswordBlockSize;
    std::memcpy(text, layout.first.passwordText, textLength);

    std::uint8_t block[kFirmwarePasswordBlockSize] = {};
    std::uint32_t digestLength = 0;
    if (Sha1Digest(text, textLength, block, &digestLength) && digestLength == kSha1Size) {
      std::uint32_t mask = 0;
      for (int i = 0; i < 4; ++i) mask |= static_cast<std::uint32_t>(std::rand() & 0xFF) << (8 * i);
      const std::uint32_t check = Crc32Raw32(text) ^ mask;
      for (int i = 0; i < 4; ++i) block[28 + i] = static_cast<std::uint8_t>(check >> (8 * i));
      WriteBlockIntoRecords(pc, layout.first.passwordRecords, block);
      if (hasApple) {
        WriteBlockIntoRecords(apple, layout.second.passwordRecords, block);
        apple[appleFlag] |= kPasswordFlagSecond;
      }
    } else {
      if (hasApple) apple[appleFlag] &= static_cast<std::uint8_t>(~kPasswordFlagSecond);
      pc[option] &= static_cast<std::uint8_t>(~kOptionPassword);
    }
  }

  SealFirmwareImage(pc.data(), pc.size());
  if (hasApple) SealFirmwareImage(apple.data(), apple.size());
  *pcImage = std::move(pc);
  *appleImage = std::move(apple);
  return 1;
}

}  // namespace quillon

namespace quillon {

namespace {

// An image as UpdateFw may write it: what the image check accepts, ending exactly at its trailer.
bool FitsFirmwareCopy(const std::vector<std::uint8_t>& image) {
  FirmwareImageInfo info;
  return image.size() <= kFirmwareWalkLimit && ParseFirmwareImage(image.data(), image.size(), kKeyVersion, &info) &&
         info.trailerIntact && info.paddedLength == image.size();
}

}  // namespace

int PrepareFirmwareUpdate(std::string_view fileText, const char* product, PreparedFirmware* out) {
  if (!out) return 0;
  if (product && *product && ProductStringDescriptor(product).empty())
    return RefuseInput("product string: plain ASCII, at most %u characters", static_cast<unsigned>(kMaxProductLength));
  std::string pcHex;
  std::string appleHex;
  if (!SplitFirmwareFile(fileText, &pcHex, &appleHex)) return 0;

  // Each image is checked on its own first, so that a refusal says which image and which byte.
  std::vector<std::uint8_t> pcBytes;
  std::vector<std::uint8_t> appleBytes;
  HexSpacedParse(pcHex, &pcBytes);
  HexSpacedParse(appleHex, &appleBytes);
  std::string problem = FirmwareImageProblem(pcBytes.data(), pcBytes.size(), "first image", 0);
  if (problem.empty() && !appleBytes.empty())
    problem = FirmwareImageProblem(appleBytes.data(), appleBytes.size(), "second image", pcBytes.size());
  if (!problem.empty()) return RefuseInput("firmware file: %s", problem.c_str());

  // Each image provides the places of its own layout only; nothing measured in one image is ever
  // applied to the other.
  ImageLayout appleLayout;
  ImageLayout pcLayout;
  if (!appleHex.empty() && !WalkImageLayout(appleHex, &appleLayout))
    return RefuseInput("firmware file: the second image is not valid");
  if (!WalkImageLayout(pcHex, &pcLayout)) return RefuseInput("firmware file: the first image is not valid");
  ImageLayout layout;
  layout.first = pcLayout.first;
  layout.second = appleLayout.second;
  if (layout.first.optionOffset < 0)
    return RefuseInput("firmware file: the first image has no option record (key 0x301FA) saying where the copies live");

  PreparedFirmware prepared;
  if (!CustomiseImages(product, pcHex, appleHex, layout, &prepared.pc, &prepared.apple)) {
    if (product && *product)
      return RefuseInput("firmware file: the product string \"%s\" has no room in the images, or the password "
                         "records are incomplete", product);
    return RefuseInput("firmware file: the password records the image enables are incomplete");
  }
  if (!FitsFirmwareCopy(prepared.pc)) return RefuseInput("firmware file: the first image does not fit a copy");
  if (!prepared.apple.empty() && !FitsFirmwareCopy(prepared.apple))
    return RefuseInput("firmware file: the second image does not fit a copy");
  prepared.cardStorage = (prepared.pc[static_cast<std::size_t>(layout.first.optionOffset)] & kOptionCardStorage) != 0;
  *out = std::move(prepared);
  return 1;
}

}  // namespace quillon
