// The Linux backend's SG_IO translation and device-path mapping.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "access/commands.h"
#include "access/scsi.h"
#include "platform/linux/block_devices.h"
#include "platform/linux/sg_request.h"

namespace quillon::platform {
namespace {

std::vector<std::uint8_t> Request(const ScsiCommand& c) {
  std::vector<std::uint8_t> buffer(kRequestBufferSize, 0);
  EncodeRequestHeader(c, buffer.data());
  return buffer;
}

ScsiCommand Vendor(bool in, std::uint32_t n) {
  BridgeDevice d{};
  OpenBridgeDevice(&d, "/dev/sg0");
  ScsiCommand c = VendorCommand(d, 0x21);
  c.dataIn = in;
  c.transferLength = n;
  c.inLength = in ? 44 : 68 + n;
  c.outLength = 68 + n;
  return c;
}

TEST(LinuxSgTest, RequestBecomesAnSgIoHeader) {
  ScsiCommand c = Vendor(true, 512);
  c.timeoutSeconds = 300;
  auto buffer = Request(c);
  sg_io_hdr_t hdr;
  std::uint8_t scratch[linux_sg::kScratchSenseSize];
  ASSERT_TRUE(linux_sg::PrepareSgIo(buffer.data(), c.inLength, c.outLength, &hdr, scratch));
  EXPECT_EQ(hdr.interface_id, 'S');
  EXPECT_EQ(hdr.cmd_len, 16);
  EXPECT_EQ(hdr.cmdp, buffer.data() + 28);
  EXPECT_EQ(hdr.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(hdr.dxferp, buffer.data() + 68);
  EXPECT_EQ(hdr.dxfer_len, 512u);
  EXPECT_EQ(hdr.sbp, scratch);
  EXPECT_EQ(hdr.timeout, 300000u);

  ScsiCommand none = Vendor(false, 0);
  none.senseLength = 24;
  buffer = Request(none);
  ASSERT_TRUE(linux_sg::PrepareSgIo(buffer.data(), 68, 68, &hdr, scratch));
  EXPECT_EQ(hdr.dxfer_direction, SG_DXFER_NONE);
  EXPECT_EQ(hdr.sbp, buffer.data() + 44);
  EXPECT_EQ(hdr.mx_sb_len, 24);
}

TEST(LinuxSgTest, MalformedOrOversizedRequestsAreRefused) {
  sg_io_hdr_t hdr;
  std::uint8_t scratch[linux_sg::kScratchSenseSize];
  ScsiCommand c = Vendor(true, 512);
  auto buffer = Request(c);
  EXPECT_FALSE(linux_sg::PrepareSgIo(buffer.data(), 44, 100, &hdr, scratch));  // reply does not fit
  ScsiCommand out = Vendor(false, 512);
  buffer = Request(out);
  EXPECT_FALSE(linux_sg::PrepareSgIo(buffer.data(), 68, 580, &hdr, scratch));  // data not handed over
  buffer = Request(c);
  buffer[6] = 17;  // CDB longer than 16
  EXPECT_FALSE(linux_sg::PrepareSgIo(buffer.data(), 44, 580, &hdr, scratch));
  buffer = Request(c);
  buffer[0] = 56;  // not the 44-byte header
  EXPECT_FALSE(linux_sg::PrepareSgIo(buffer.data(), 44, 580, &hdr, scratch));
}

TEST(LinuxSgTest, OutcomesAreReportedLikeThePassThrough) {
  ScsiCommand c = Vendor(true, 512);
  auto buffer = Request(c);
  sg_io_hdr_t hdr;
  std::uint8_t scratch[linux_sg::kScratchSenseSize];
  ASSERT_TRUE(linux_sg::PrepareSgIo(buffer.data(), c.inLength, c.outLength, &hdr, scratch));

  hdr.resid = 500;
  PassThroughResult r = linux_sg::CompleteSgIo(hdr, 0, 0, buffer.data(), c.outLength);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytesReturned, 80u);  // 68 + the 12 bytes that came
  EXPECT_EQ(GetLe32(buffer.data() + 12), 12u);

  hdr.resid = 0;
  hdr.status = 0x02;
  hdr.driver_status = 0x08;  // sense available
  r = linux_sg::CompleteSgIo(hdr, 0, 0, buffer.data(), c.outLength);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.scsiStatus, kScsiStatusCheckCondition);
  EXPECT_EQ(buffer[2], 0x02);

  hdr.status = 0;
  hdr.driver_status = 0;
  hdr.host_status = 0x03;
  EXPECT_EQ(linux_sg::CompleteSgIo(hdr, 0, 0, buffer.data(), c.outLength).error, kErrorSemTimeout);
  hdr.host_status = 0x07;
  EXPECT_EQ(linux_sg::CompleteSgIo(hdr, 0, 0, buffer.data(), c.outLength).error, kErrorGenFailure);
  hdr.host_status = 0;
  hdr.driver_status = 0x06;
  EXPECT_EQ(linux_sg::CompleteSgIo(hdr, 0, 0, buffer.data(), c.outLength).error, kErrorSemTimeout);
  EXPECT_EQ(linux_sg::CompleteSgIo(hdr, -1, EACCES, buffer.data(), c.outLength).error, kErrorAccessDenied);
  EXPECT_FALSE(linux_sg::CompleteSgIo(hdr, -1, EIO, buffer.data(), c.outLength).ok);
}

TEST(LinuxBlockTest, PathsAndNames) {
  using namespace linux_block;
  std::uint32_t n = 0;
  EXPECT_TRUE(ParseNumberedPath("\\\\.\\PhysicalDrive12", "\\\\.\\PhysicalDrive", &n));
  EXPECT_EQ(n, 12u);
  EXPECT_FALSE(ParseNumberedPath("\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive", &n));
  EXPECT_FALSE(ParseNumberedPath("\\\\.\\PhysicalDrive1x", "\\\\.\\PhysicalDrive", &n));
  EXPECT_FALSE(ParseNumberedPath("\\\\.\\PhysicalDrive99999999999", "\\\\.\\PhysicalDrive", &n));
  EXPECT_TRUE(KernelNameLess("sdz", "sdaa"));
  EXPECT_TRUE(KernelNameLess("sdb", "sdc"));
  EXPECT_EQ(ResolveDevicePath("/dev/sg3"), "/dev/sg3");
  EXPECT_EQ(ResolveDevicePath("\\\\.\\PhysicalDrive4000"), "");
  EXPECT_EQ(ResolveDevicePath("C:"), "");
}

// A sysfs tree as the kernel lays it out for two USB disks (sdb with partition sdb1 and sg node sg2;
// sdc whose sg driver is not loaded) and a CD-ROM, built in a temporary folder.
class ScsiGenericNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    root_ = fs::temp_directory_path() / ("quillon-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    const fs::path host = root_ / "devices/pci0000:00/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0";
    fs::create_directories(host / "scsi_generic/sg2");
    fs::create_directories(host / "block/sdb/sdb1");
    std::ofstream(host / "block/sdb/sdb1/partition") << "1\n";
    fs::create_directory_symlink("../..", host / "block/sdb/device");
    const fs::path other = root_ / "devices/pci0000:00/usb1/1-2/1-2:1.0/host1/target1:0:0/1:0:0:0";
    fs::create_directories(other / "block/sdc");
    fs::create_directory_symlink("../..", other / "block/sdc/device");
    const fs::path cd = root_ / "devices/pci0000:00/usb1/1-3/1-3:1.0/host2/target2:0:0/2:0:0:0";
    fs::create_directories(cd / "scsi_generic/sg9");
    fs::create_directories(cd / "block/sr0");
    fs::create_directory_symlink("../..", cd / "block/sr0/device");
    fs::create_directories(root_ / "class/block");
    fs::create_directory_symlink(host / "block/sdb", root_ / "class/block/sdb");
    fs::create_directory_symlink(host / "block/sdb/sdb1", root_ / "class/block/sdb1");
    fs::create_directory_symlink(other / "block/sdc", root_ / "class/block/sdc");
    fs::create_directory_symlink(cd / "block/sr0", root_ / "class/block/sr0");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path root_;
};

TEST_F(ScsiGenericNodeTest, BlockNodesMapToTheirDisksSgNode) {
  using linux_block::ScsiGenericNode;
  const std::string sys = root_.string();
  const struct {
    const char* node;
    const char* expected;
  } cases[] = {
      {"/dev/sdb", "/dev/sg2"},    // the disk
      {"/dev/sdb1", "/dev/sg2"},   // a partition: its disk's node
      {"/dev/sr0", "/dev/sg9"},    // a CD-ROM
      {"/dev/sdc", ""},            // no sg driver
      {"/dev/sdz", ""},            // no such disk
      {"/dev/sg4", "/dev/sg4"},    // already a generic node
      {"/dev/qvb1", ""},           // not in sysfs (the preloaded virtual bridge's nodes)
      {"/dev/", ""},
      {"/dev/..", ""},
      {"sdb", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ScsiGenericNode(c.node, sys), c.expected) << c.node;
}

TEST_F(ScsiGenericNodeTest, CommandsFallBackToTheBlockNodeWithoutAnSgNode) {
  using linux_block::CommandNodeFor;
  // Nodes not in the temporary sysfs, or whose sg node is not a device here, stay as they are.
  EXPECT_EQ(CommandNodeFor("/dev/qvb1", root_.string()), "/dev/qvb1");
  EXPECT_EQ(CommandNodeFor("/dev/sdc", root_.string()), "/dev/sdc");
  EXPECT_EQ(CommandNodeFor("\\\\.\\PhysicalDrive4000", root_.string()), "");
}

TEST(LinuxBackendTest, MissingDeviceCannotBeOpened) {
  std::uint32_t error = 0;
  EXPECT_EQ(NativeBackend().OpenDevice("\\\\.\\PhysicalDrive4000", &error), kInvalidDeviceHandle);
  EXPECT_EQ(error, kErrorFileNotFound);
  EXPECT_EQ(NativeBackend().OpenDevice("/dev/quillon-none", &error), kInvalidDeviceHandle);
  EXPECT_EQ(error, kErrorFileNotFound);
}

}  // namespace
}  // namespace quillon::platform
