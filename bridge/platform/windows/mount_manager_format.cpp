// Mount-manager records.

#include "platform/windows/mount_manager_format.h"

namespace quillon::platform::windows {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::u16string Utf16At(const std::uint8_t* p, std::size_t bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes; i += 2) text.push_back(static_cast<char16_t>(Le16(p + i)));
  return text;
}

}  // namespace

std::vector<std::uint8_t> BuildQueryPointsRequest(const std::u16string& deviceName) {
  const std::size_t nameBytes = deviceName.size() * 2;
  if (nameBytes > 0xFFFF) return {};
  std::vector<std::uint8_t> request(kMountPointRecordSize + nameBytes, 0);
  request[16] = static_cast<std::uint8_t>(kMountPointRecordSize);  // DeviceNameOffset
  request[20] = static_cast<std::uint8_t>(nameBytes);               // DeviceNameLength
  request[21] = static_cast<std::uint8_t>(nameBytes >> 8);
  for (std::size_t i = 0; i < deviceName.size(); ++i) {
    request[kMountPointRecordSize + 2 * i] = static_cast<std::uint8_t>(deviceName[i]);
    request[kMountPointRecordSize + 2 * i + 1] = static_cast<std::uint8_t>(deviceName[i] >> 8);
  }
  return request;
}

bool ParseQueryPointsReply(const std::uint8_t* reply, std::size_t length, std::vector<std::u16string>* links) {
  if (reply == nullptr || links == nullptr || length < kMountPointsHeaderSize) return false;
  const std::uint32_t count = Le32(reply + 4);
  if (count > (length - kMountPointsHeaderSize) / kMountPointRecordSize) return false;
  std::vector<std::u16string> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* record = reply + kMountPointsHeaderSize + i * kMountPointRecordSize;
    const std::uint32_t offset = Le32(record);
    const std::uint16_t bytes = Le16(record + 4);
    if (bytes == 0) {
      out.emplace_back();
      continue;
    }
    if (offset > length || bytes > length - offset) return false;
    out.push_back(Utf16At(reply + offset, bytes));
  }
  *links = std::move(out);
  return true;
}

bool ParseMountDevName(const std::uint8_t* reply, std::size_t length, std::u16string* name) {
  if (reply == nullptr || name == nullptr || length < 2) return false;
  const std::uint16_t bytes = Le16(reply);
  if (bytes > length - 2) return false;
  *name = Utf16At(reply + 2, bytes);
  return true;
}

}  // namespace quillon::platform::windows
