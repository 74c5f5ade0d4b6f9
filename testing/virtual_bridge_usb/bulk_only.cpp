#include "bulk_only.h"

namespace quillon::testing::bot {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

bool ParseCbw(const std::uint8_t* data, std::size_t length, std::uint8_t maxLun, Cbw* out) {
  if (data == nullptr || out == nullptr || length != kCbwSize || Le32(data) != kCbwSignature) return false;
  Cbw cbw;
  cbw.tag = Le32(data + 4);
  cbw.dataLength = Le32(data + 8);
  const std::uint8_t flags = data[12];
  // Bits 0-6 of the flags, the upper nibble of the LUN byte and the top three bits of the CDB length are
  // reserved; a wrapper with them set is not meaningful.
  if ((flags & 0x7F) != 0 || (data[13] & 0xF0) != 0 || (data[14] & 0xE0) != 0) return false;
  cbw.dataIn = (flags & 0x80) != 0;
  cbw.lun = data[13] & 0x0F;
  cbw.cdbLength = data[14] & 0x1F;
  if (cbw.lun > maxLun || cbw.cdbLength == 0 || cbw.cdbLength > 16) return false;
  for (int i = 0; i < 16; ++i) cbw.cdb[i] = i < cbw.cdbLength ? data[15 + i] : 0;
  *out = cbw;
  return true;
}

std::vector<std::uint8_t> MakeCsw(std::uint32_t tag, std::uint32_t residue, CswStatus status) {
  std::vector<std::uint8_t> csw(kCswSize, 0);
  PutLe32(csw.data(), kCswSignature);
  PutLe32(csw.data() + 4, tag);
  PutLe32(csw.data() + 8, residue);
  csw[12] = static_cast<std::uint8_t>(status);
  return csw;
}

std::vector<std::uint8_t> FixedSense(const Sense& sense) {
  std::vector<std::uint8_t> data(18, 0);
  data[0] = 0x70;
  data[2] = sense.key & 0x0F;
  data[7] = 10;  // additional length: bytes 8-17
  data[12] = static_cast<std::uint8_t>(sense.asc >> 8);
  data[13] = static_cast<std::uint8_t>(sense.asc);
  return data;
}

Sense ParseSense(const std::vector<std::uint8_t>& data) {
  Sense sense;
  if (data.empty()) return sense;
  const std::uint8_t code = data[0] & 0x7F;
  if ((code == 0x72 || code == 0x73) && data.size() >= 4) {
    sense.key = data[1] & 0x0F;
    sense.asc = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
  } else if ((code == 0x70 || code == 0x71) && data.size() >= 3) {
    sense.key = data[2] & 0x0F;
    if (data.size() >= 14) sense.asc = static_cast<std::uint16_t>((data[12] << 8) | data[13]);
  }
  return sense;
}

}  // namespace quillon::testing::bot
