// Finding bridges, enumeration handles and drive letters.

#include <cstring>

#include "access/discovery.h"
#include "quillon_discovery.h"
#include "virtual_bridge.h"

#include <gtest/gtest.h>

namespace quillon::testing {
namespace {

using platform::InterfaceClass;

class DiscoveryTest : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualController> AttachBridge(std::uint32_t number, const char* chip) {
    auto c = bridge.AttachDisk(number);
    c->SetIdentifyB(chip);
    return c;
  }
  StorageInterface Other(std::uint32_t number, std::uint32_t busType) {
    StorageInterface i;
    i.interfacePath = "\\\\?\\scsi#disk#" + std::to_string(number);
    i.opened = i.propertyOk = i.numberOk = true;
    i.busType = busType;
    i.deviceNumber = number;
    return i;
  }

  VirtualBridge bridge;
  char path[32] = "untouched";
};

TEST_F(DiscoveryTest, OneBridgeIsReportedOnce) {
  AttachBridge(1, "FCC1");
  const int handle = FindFirstDevice(path);
  EXPECT_EQ(handle, 0x8001);
  EXPECT_STREQ(path, "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(FindNextDevice(path, handle), 0);
}

TEST_F(DiscoveryTest, HandleWithoutBit15EnumeratesNothing) {
  AttachBridge(1, "FCC1");
  EXPECT_EQ(FindNextDevice(path, 0x0001), 0);
  EXPECT_TRUE(bridge.Log().empty());
  EXPECT_STREQ(path, "untouched");
}

TEST_F(DiscoveryTest, OnlyUsbBridgesOfTheAcceptedChipsAreFound) {
  bridge.AddInterface(InterfaceClass::Disk, Other(0, 11));  // SATA: never asked
  StorageInterface closed = Other(5, platform::kBusTypeUsb);
  closed.opened = false;
  bridge.AddInterface(InterfaceClass::Disk, closed);
  StorageInterface unnumbered = Other(6, platform::kBusTypeUsb);
  unnumbered.numberOk = false;
  bridge.AddInterface(InterfaceClass::Disk, unnumbered);
  AttachBridge(2, "6623");
  auto broken = AttachBridge(3, "FCC1");
  broken->identifyReply[0] = 'Q';
  AttachBridge(4, "BC1");
  AttachBridge(7, "FCC5");

  int handle = FindFirstDevice(path);
  EXPECT_EQ(handle, 0x8000 | 6);
  EXPECT_STREQ(path, "\\\\.\\PhysicalDrive4");
  handle = FindNextDevice(path, handle);
  EXPECT_EQ(handle, 0x8000 | 7);
  EXPECT_STREQ(path, "\\\\.\\PhysicalDrive7");
  EXPECT_EQ(FindNextDevice(path, handle), 0);
  for (const CdbRecord& r : bridge.Log()) EXPECT_NE(r.path, "\\\\.\\PhysicalDrive0");
}

TEST_F(DiscoveryTest, NothingFoundLeavesThePathUnchanged) {
  AttachBridge(1, "6623");
  EXPECT_EQ(FindFirstDevice(path), 0);
  EXPECT_STREQ(path, "untouched");
  bridge.listFails = true;
  EXPECT_EQ(FindFirstDevice(path), 0);
  EXPECT_EQ(FindFirstDevice(nullptr), 0);
}

TEST_F(DiscoveryTest, EnumerationResetsTheIndexAtTheEnd) {
  AttachBridge(1, "FCC1");
  std::uint32_t index = 3;
  EXPECT_EQ(EnumerateBridges(InterfaceClass::Disk, &index, path), 0);
  EXPECT_EQ(index, 0u);
}

TEST_F(DiscoveryTest, CdRomClassFormsCdRomPaths) {
  bridge.AttachCdRom(0)->SetIdentifyB("FCC2");
  std::uint32_t index = 0;
  ASSERT_EQ(EnumerateBridges(InterfaceClass::CdRom, &index, path), 1);
  EXPECT_STREQ(path, "\\\\.\\CDROM0");
  EXPECT_EQ(FindFirstDevice(path), 0);  // the exports only look at disks
}

TEST_F(DiscoveryTest, DriveLetterOfAVolumeThatHasOne) {
  AttachBridge(2, "FCC1");
  bridge.AddVolume(2, 'E');
  char letter = 0;
  ASSERT_EQ(AssignDriveLetter("\\\\.\\PhysicalDrive2", &letter), 1);
  EXPECT_EQ(letter, 'E');
  EXPECT_TRUE(bridge.mounts.empty());
}

TEST_F(DiscoveryTest, VolumeWithoutALetterIsMountedAtTheFirstFreeOne) {
  bridge.otherDrives = 0x3C;  // C: to F:
  bridge.AddVolume(1, 0);     // another disk's volume: not touched
  VirtualVolume& target = bridge.AddVolume(2, 0);
  char letter = 0;
  ASSERT_EQ(AssignDriveLetter("\\\\.\\PhysicalDrive2", &letter), 1);
  EXPECT_EQ(letter, 'G');
  ASSERT_EQ(bridge.mounts.size(), 1u);
  EXPECT_EQ(bridge.mounts[0].first, "G:\\");
  EXPECT_EQ(bridge.mounts[0].second, "\\\\?\\" + target.volumeGuidPath + "\\");
}

TEST_F(DiscoveryTest, DriveLetterFailures) {
  char letter = 0;
  bridge.AddVolume(3, 0).info.interfacePath = "\\\\?\\storage#volume#cdrom#3";
  EXPECT_EQ(AssignDriveLetter("\\\\.\\PhysicalDrive3", &letter), 0);  // CD-ROM volumes are skipped
  bridge.AddVolume(4, 0);
  bridge.otherDrives = 0x03FFFFFF;  // A: to Z:
  EXPECT_EQ(AssignDriveLetter("\\\\.\\PhysicalDrive4", &letter), 0);
  bridge.otherDrives = 0;
  bridge.mountPointManagerOpens = false;
  EXPECT_EQ(AssignDriveLetter("\\\\.\\PhysicalDrive4", &letter), 0);
  EXPECT_EQ(letter, 0);
  EXPECT_TRUE(bridge.mounts.empty());
}

TEST_F(DiscoveryTest, MountPointsAreReadFromTheLinks) {
  VirtualVolume& v = bridge.AddVolume(1, 'H');
  std::string volumePath = "x";
  std::string root = "x";
  ASSERT_EQ(QueryMountPoints(v.info.deviceName, &volumePath, &root), 1);
  EXPECT_EQ(volumePath, "\\\\?\\" + v.volumeGuidPath + "\\");
  EXPECT_EQ(root, "H:\\");
  v.driveLetter = 0;
  ASSERT_EQ(QueryMountPoints(v.info.deviceName, &volumePath, &root), 1);
  EXPECT_EQ(root, "");
  EXPECT_EQ(QueryMountPoints(u"\\Device\\Unknown", &volumePath, &root), 0);
}

TEST_F(DiscoveryTest, FirstFreeDriveLetter) {
  const struct {
    std::uint32_t drives;
    char letter;
  } cases[] = {{0x0, 'C'}, {0x3, 'C'}, {0x4, 'D'}, {0x3C, 'G'}, {0x01FFFFFC, 'Z'}, {0x03FFFFFC, 0}, {0x07FFFFFF, 0}};
  for (const auto& c : cases) {
    bridge.otherDrives = c.drives;
    EXPECT_EQ(FirstFreeDriveLetter(), c.letter) << std::hex << c.drives;
  }
}

}  // namespace
}  // namespace quillon::testing
