// The Linux volume helpers: which mounts belong to a device, and leaving non-devices alone.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/linux/volume_mounts.h"

namespace quillon::platform::linux_volume {
namespace {

TEST(VolumeMounts, ParsesMountInfoWithEscapedPoints) {
    const std::string text =
        "22 1 8:17 / /media/usb\\040stick rw,nosuid shared:1 - vfat /dev/sdb1 rw\n"
        "23 22 8:16 / /mnt/a\\134b rw - exfat /dev/sdb rw\n"
        "garbage\n"
        "24 1 x:1 / /bad rw - tmpfs none rw\n"
        "25 1 0:5 /sub /proc rw - proc proc rw\n";
    const std::vector<Mount> mounts = ParseMountInfo(text);
    ASSERT_EQ(mounts.size(), 3u);
    EXPECT_EQ(mounts[0].major, 8u);
    EXPECT_EQ(mounts[0].minor, 17u);
    EXPECT_EQ(mounts[0].mountPoint, "/media/usb stick");
    EXPECT_EQ(mounts[1].mountPoint, "/mnt/a\\b");
    EXPECT_EQ(mounts[2].major, 0u);
    EXPECT_EQ(mounts[2].mountPoint, "/proc");
}

TEST(VolumeMounts, NothingToDoForAnOrdinaryFile) {
    char name[] = "/tmp/volume_mounts_XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    std::uint32_t error = 0;
    EXPECT_TRUE(UnmountFileSystems(fd, &error));
    EXPECT_EQ(error, 0u);
    RereadDisk(fd);  // not a disk: nothing happens
    close(fd);
    std::remove(name);
}

}  // namespace
}  // namespace quillon::platform::linux_volume
