#include "platform/linux/volume_mounts.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/backend.h"
#include "platform/linux/sg_request.h"

namespace quillon::platform::linux_volume {

namespace {

std::string DecodeOctal(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The sysfs directory of a block device ("/sys/devices/.../block/sdb" or ".../sdb/sdb1"), empty when unknown.
std::string SysfsPath(unsigned major, unsigned minor) {
    const std::string link = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    char resolved[PATH_MAX];
    return realpath(link.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

std::vector<Mount> ParseMountInfo(const std::string& text) {
    std::vector<Mount> mounts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // mount-id parent-id major:minor root mount-point options ...
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (!(fields >> id >> parent >> device >> root >> point)) continue;
        const size_t colon = device.find(':');
        if (colon == std::string::npos) continue;
        char* end = nullptr;
        const unsigned long major = std::strtoul(device.c_str(), &end, 10);
        if (end != device.c_str() + colon) continue;
        const unsigned long minor = std::strtoul(device.c_str() + colon + 1, &end, 10);
        if (*end != '\0') continue;
        mounts.push_back({static_cast<unsigned>(major), static_cast<unsigned>(minor), DecodeOctal(point)});
    }
    return mounts;
}

bool UnmountFileSystems(int fd, std::uint32_t* error) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return true;
    const unsigned major = major(st.st_rdev);
    const unsigned minor = minor(st.st_rdev);
    const std::string disk = SysfsPath(major, minor);

    std::ifstream file("/proc/self/mountinfo");
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> points;
    for (const Mount& m : ParseMountInfo(text.str())) {
        bool ours = m.major == major && m.minor == minor;
        if (!ours && !disk.empty()) {
            const std::string path = SysfsPath(m.major, m.minor);
            ours = path.size() > disk.size() && path.compare(0, disk.size(), disk) == 0 && path[disk.size()] == '/';
        }
        if (ours) points.push_back(m.mountPoint);
    }
    // Innermost first, so that a file system mounted inside another comes off before its parent.
    std::sort(points.begin(), points.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& point : points) {
        if (umount2(point.c_str(), 0) != 0 && errno != EINVAL && errno != ENOENT) {
            if (error != nullptr) *error = linux_sg::ErrorFromErrno(errno);
            return false;
        }
    }
    return true;
}

void RereadDisk(int fd) {
    ioctl(fd, BLKRRPART, 0);
}

}  // namespace quillon::platform::linux_volume
