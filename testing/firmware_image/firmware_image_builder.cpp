#include "firmware_image_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fwbuild {

namespace {

constexpr std::size_t kTrailer = 16;

void Fail(const char* why) {
  std::fprintf(stderr, "firmware image builder: %s\n", why);
  std::abort();
}

void PutValueRecord(std::vector<std::uint8_t>& out, std::uint32_t key, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(key >> 16));
  out.push_back(static_cast<std::uint8_t>(key));
  out.push_back(static_cast<std::uint8_t>(key >> 8));
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A 0x12 or 0x13 record of `total` bytes (at least 6).
void PutLongRecord(std::vector<std::uint8_t>& out, std::uint8_t type, std::size_t total, std::uint8_t fill) {
  if (total < 6 || total - 6 > 0xFFFF) Fail("long record size out of range");
  const std::size_t n = total - 6;
  out.push_back(type);
  out.push_back(0x00);
  out.push_back(0x00);
  out.push_back(static_cast<std::uint8_t>(n));
  out.push_back(static_cast<std::uint8_t>(n >> 8));
  out.insert(out.end(), n + 1, fill);
}

std::uint32_t Ascii4(const std::string& s) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4 && i < s.size(); ++i) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[i])) << (8 * i);
  return v;
}

bool Accepted(const std::string& code) {
  return code == "FCC1" || code == "FCC2" || code == "FCC4" || code == "FCC5";
}

}  // namespace

bool IsSecondLayout(const ImageRecipe& recipe) {
  return recipe.withVersion && Accepted(recipe.chipCode) && recipe.chipPlace == ChipPlace::BeforeVersion &&
         (recipe.version >> 24) > 1 &&
         ((recipe.version & 0xFF) >> 4) == 5;
}

BuiltImage BuildImage(const ImageRecipe& recipe) {
  BuiltImage built;
  built.secondLayout = IsSecondLayout(recipe);
  std::vector<std::uint8_t>& b = built.bytes;

  auto chip = [&] {
    if (recipe.chipCode.empty()) return;
    built.chipRecord = b.size();
    PutValueRecord(b, 0x30000, Ascii4(recipe.chipCode));
  };
  if (recipe.chipPlace == ChipPlace::BeforeVersion) chip();
  if (recipe.withVersion) {
    built.versionRecord = b.size();
    PutValueRecord(b, 0x30002, recipe.version);
  }
  if (recipe.chipPlace == ChipPlace::AfterVersion) chip();
  if (recipe.withOptions) {
    built.optionRecord = b.size();
    if (built.secondLayout)
      PutValueRecord(b, 0x30200, static_cast<std::uint32_t>(recipe.passwordFlagBits) << 24);
    else
      PutValueRecord(b, 0x301FA, recipe.optionBits);
  }
  if (recipe.withPasswordRecords) {
    if (recipe.password.size() > 31) Fail("password text longer than 31 characters");
    std::uint8_t text[32] = {};
    std::memcpy(text, recipe.password.data(), recipe.password.size());
    built.passwordRecords = b.size();
    const std::uint32_t first = built.secondLayout ? 0x30202 : 0x3020C;
    for (std::uint32_t k = 0; k < 8; ++k) {
      std::uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(text[4 * k + i]) << (8 * i);
      PutValueRecord(b, first + k, v);
    }
  }
  for (const auto& r : recipe.extraRecords) b.insert(b.end(), r.begin(), r.end());
  if (recipe.unknownType) {
    b.push_back(recipe.unknownType);
    b.insert(b.end(), 4, 0x00);
  }
  for (int i = 0; i < recipe.records13; ++i) {
    if (i == 0) built.record13 = b.size();
    PutLongRecord(b, 0x13, recipe.productAreaSize + 5, recipe.productAreaFill);
  }
  if (recipe.chipPlace == ChipPlace::AfterProductRecord) chip();
  for (const auto& r : recipe.extraRecordsAfter13) b.insert(b.end(), r.begin(), r.end());
  for (int i = 0; i < recipe.records12; ++i) {
    std::size_t total = 16;
    if (i == recipe.records12 - 1 && recipe.endRecordOffset) {
      if (recipe.endRecordOffset < b.size() + 6) Fail("end record offset too small for the records");
      total = recipe.endRecordOffset - b.size();
    }
    PutLongRecord(b, 0x12, total, 0xA5);
  }
  if (recipe.endRecordOffset && b.size() != recipe.endRecordOffset) Fail("end record offset needs a 0x12 record");
  built.endRecord = b.size();
  b.push_back(0x80);

  const std::size_t after = b.size();
  std::size_t padded = (after + 1023) / 1024 * 1024;
  if (padded - after < kTrailer) padded += 1024;
  b.resize(padded - kTrailer, 0x00);
  const char sig[] = "KAVRITEX";
  b.insert(b.end(), sig, sig + 8);
  b.insert(b.end(), 5, 0x00);
  b.push_back(0x30);
  b.push_back(0);
  b.push_back(0);
  Seal(b);
  return built;
}

std::vector<std::uint8_t> ValueRecord(std::uint32_t key, std::uint32_t value) {
  std::vector<std::uint8_t> r;
  PutValueRecord(r, key, value);
  return r;
}

std::vector<std::vector<std::uint8_t>> HiddenCountRecords(std::uint32_t sectors) {
  std::vector<std::vector<std::uint8_t>> records;
  for (std::uint32_t k = 0; k < 4; ++k) records.push_back(ValueRecord(0x30207 + k, 0));
  std::vector<std::uint8_t> last = ValueRecord(0x3020B, 0);
  for (int i = 0; i < 4; ++i) last[3 + i] = static_cast<std::uint8_t>(sectors >> (24 - 8 * i));
  records.push_back(last);
  return records;
}

ImageRecipe PcRecipe() { return ImageRecipe{}; }

ImageRecipe AppleRecipe() {
  ImageRecipe s;
  s.version = 0x02000050;
  return s;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x8005) : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

void Seal(std::vector<std::uint8_t>& image) {
  if (image.size() < 2) Fail("image too short to seal");
  const std::uint16_t crc = Crc16(image.data(), image.size() - 2);
  image[image.size() - 2] = static_cast<std::uint8_t>(crc >> 8);
  image[image.size() - 1] = static_cast<std::uint8_t>(crc);
}

void BreakChecksum(std::vector<std::uint8_t>& image) { image.back() ^= 0x01; }

void PutPaddingByte(BuiltImage& image, std::uint8_t value) {
  const std::size_t at = image.endRecord + 1;
  if (image.bytes.size() < kTrailer || at >= image.bytes.size() - kTrailer) Fail("no padding to damage");
  image.bytes[at] = value;
  Seal(image.bytes);
}

void BreakSignature(std::vector<std::uint8_t>& image) {
  image[image.size() - kTrailer + 7] = 'Y';
  Seal(image);
}

void Truncate(std::vector<std::uint8_t>& image, std::size_t length) {
  if (length < image.size()) image.resize(length);
}

std::string HexText(const std::vector<std::uint8_t>& bytes, std::size_t bytesPerLine, const std::string& lineEnd) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 3 + (bytesPerLine ? bytes.size() / bytesPerLine * lineEnd.size() : 0));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
    text.push_back(' ');
    if (bytesPerLine && (i + 1) % bytesPerLine == 0) text += lineEnd;
  }
  return text;
}

std::string FirmwareFile(const std::vector<std::uint8_t>& pc, const std::vector<std::uint8_t>* apple,
                         std::size_t bytesPerLine, const std::string& lineEnd) {
  std::vector<std::uint8_t> all = pc;
  if (apple) all.insert(all.end(), apple->begin(), apple->end());
  return HexText(all, bytesPerLine, lineEnd);
}

std::uint32_t RecordValue(const std::vector<std::uint8_t>& image, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(image.at(offset + 3 + i)) << (8 * i);
  return v;
}

}  // namespace fwbuild
