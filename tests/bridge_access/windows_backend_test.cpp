// The Windows backend as 32-bit Windows code: mount-manager records, device opens through
// CreateFileA, and the enumeration on a machine without bridges.

#include <gtest/gtest.h>

#include <cstring>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/discovery.h"
#include "platform/backend.h"
#include "access/scsi.h"
#include "platform/windows/mount_manager_format.h"
#include "platform/windows/native_request.h"
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

// The translation a 64-bit process uses; 32-bit builds hand the request over unchanged.
TEST(NativeRequestTest, RequestsAreRebuiltInTheNativeLayoutAndRepliesMappedBack) {
  BridgeDevice device{};
  ASSERT_TRUE(OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive1"));
  ScsiCommand in = VendorCommand(device, 0x34);
  in.dataIn = true;
  in.transferLength = 13;
  in.timeoutSeconds = 2;
  in.inLength = in.outLength = 81;
  std::vector<std::uint8_t> request(kRequestBufferSize, 0);
  EncodeRequestHeader(in, request.data());
  windows::NativeRequest native;
  ASSERT_TRUE(windows::ToNativeRequest(request.data(), 81, 81, &native));
  auto* spt = reinterpret_cast<SCSI_PASS_THROUGH*>(native.buffer.data());
  EXPECT_EQ(spt->Length, sizeof(SCSI_PASS_THROUGH));
  EXPECT_EQ(spt->CdbLength, 16);
  EXPECT_EQ(spt->DataIn, 1);
  EXPECT_EQ(spt->DataTransferLength, 13u);
  EXPECT_EQ(spt->TimeOutValue, 2u);
  EXPECT_EQ(spt->DataBufferOffset, native.dataOffset);
  EXPECT_EQ(spt->Cdb[1], 0x34);
  EXPECT_EQ(native.outLength, native.dataOffset + 13);

  spt->ScsiStatus = 2;
  for (int i = 0; i < 13; ++i) native.buffer[native.dataOffset + i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(windows::FromNativeReply(native, native.dataOffset + 13, request.data(), 81), 81u);
  EXPECT_EQ(request[2], 2);
  EXPECT_EQ(request[68], 1);
  EXPECT_EQ(request[80], 13);
  EXPECT_EQ(windows::FromNativeReply(native, sizeof(SCSI_PASS_THROUGH), request.data(), 81), 44u);

  ScsiCommand out = VendorCommand(device, 0x5D);
  out.transferLength = 32;
  out.inLength = out.outLength = 100;
  EncodeRequestHeader(out, request.data());
  request[68] = 0xAA;
  request[99] = 0xBB;
  ASSERT_TRUE(windows::ToNativeRequest(request.data(), 100, 100, &native));
  EXPECT_EQ(native.inLength, native.dataOffset + 32);
  EXPECT_EQ(native.buffer[native.dataOffset], 0xAA);
  EXPECT_EQ(native.buffer[native.dataOffset + 31], 0xBB);
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
