// The Windows backend as 32-bit Windows code: mount-manager records, device opens through
// CreateFileA, and the enumeration on a machine without bridges.

#include <gtest/gtest.h>

#include <cstring>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/discovery.h"
#include "platform/backend.h"
#include "platform/windows/mount_manager_format.h"
#include "quillon_discovery.h"

namespace quillon::platform {
namespace {

void PutLe16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

TEST(MountManagerFormatTest, QueryNamesTheDevice) {
  const std::vector<std::uint8_t> request = windows::BuildQueryPointsRequest(u"\\Device\\HarddiskVolume7");
  ASSERT_EQ(request.size(), 24u + 2 * 23);
  EXPECT_EQ(request[16], 24);
  EXPECT_EQ(request[20], 46);
  EXPECT_EQ(request[24], '\\');
  EXPECT_EQ(request[26], 'D');
  for (int i : {0, 4, 8, 12}) EXPECT_EQ(request[i], 0);
}

TEST(MountManagerFormatTest, RepliesAreReadWithinTheirBounds) {
  std::vector<std::uint8_t> reply(1024, 0);
  reply[4] = 2;                      // two mount points
  const std::u16string link = u"\\DosDevices\\E:";
  reply[8] = 200;                    // first: link at 200
  PutLe16(reply, 12, static_cast<std::uint32_t>(link.size() * 2));
  for (std::size_t i = 0; i < link.size(); ++i) PutLe16(reply, 200 + 2 * i, link[i]);
  std::vector<std::u16string> links;
  ASSERT_TRUE(windows::ParseQueryPointsReply(reply.data(), 300, &links));
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0], link);
  EXPECT_TRUE(links[1].empty());     // second has no link

  EXPECT_FALSE(windows::ParseQueryPointsReply(reply.data(), 210, &links));  // link runs past the reply
  reply[4] = 100;                    // more records than bytes
  EXPECT_FALSE(windows::ParseQueryPointsReply(reply.data(), 1024, &links));

  std::u16string name;
  std::vector<std::uint8_t> dev = {6, 0, 'a', 0, 'b', 0, 'c', 0};
  ASSERT_TRUE(windows::ParseMountDevName(dev.data(), dev.size(), &name));
  EXPECT_EQ(name, u"abc");
  EXPECT_FALSE(windows::ParseMountDevName(dev.data(), 6, &name));
}

TEST(WindowsBackendTest, MissingPhysicalDriveCannotBeOpened) {
  std::uint32_t error = 0;
  EXPECT_EQ(NativeBackend().OpenDevice("\\\\.\\PhysicalDrive97", &error), kInvalidDeviceHandle);
  EXPECT_NE(error, 0u);
  BridgeDevice device{};
  ASSERT_TRUE(OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive97"));
  EXPECT_EQ(CmdGetPasswordNumber(device), -1);
  EXPECT_EQ(CmdResetUsb(device), 0);
}

TEST(WindowsBackendTest, NoBridgesOnThisMachine) {
  char path[25] = "unchanged";
  EXPECT_EQ(FindFirstDevice(path), 0);
  EXPECT_STREQ(path, "unchanged");
  const char letter = FirstFreeDriveLetter();
  EXPECT_TRUE(letter == 0 || (letter >= 'C' && letter <= 'Z'));
}

}  // namespace
}  // namespace quillon::platform
