// Time and write requests of the FAT32 and exFAT formatters against the system's mkfs.fat -F 32 and
// mkfs.exfat, for regions of 64 GiB and 1 TiB.
//
//   bridge_format_bench [DIR]      DIR holds the sparse image files (default /tmp)
//
// Our formatter runs twice per size: on a virtual region (the public disk of the virtual bridge, every
// write a WRITE(10) through the library's pass-through path into the emulated controller) and on a
// sparse image file written with pwrite, like mkfs. mkfs is
// timed on a sparse image file of the same size; its write requests are counted with strace
// (write, pwrite64, pwritev and their relatives). Each measurement is the median of three runs.
// Ratios are ours / mkfs: below 1 means fewer requests or less time than mkfs.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "region_disks.h"
#include "secure/format.h"
#include "secure/region.h"
#include "virtual_bridge.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillon::FileSystemKind;

// Counts the requests that pass through to another writer.
class CountingPassThrough : public quillon::SectorWriter {
public:
    explicit CountingPassThrough(quillon::SectorWriter& next) : next_(next) {}
    bool WriteSectors(uint32_t lba, uint32_t count, const uint8_t* data) override {
        ++requests;
        return next_.WriteSectors(lba, count, data);
    }
    long requests = 0;

private:
    quillon::SectorWriter& next_;
};

class FileWriter : public quillon::SectorWriter {
public:
    explicit FileWriter(int fd) : fd_(fd) {}
    bool WriteSectors(uint32_t lba, uint32_t count, const uint8_t* data) override {
        ++requests;
        const size_t bytes = size_t{count} * quillon::kSectorBytes;
        return pwrite(fd_, data, bytes, off_t{lba} * quillon::kSectorBytes) == static_cast<ssize_t>(bytes);
    }
    long requests = 0;

private:
    int fd_;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeIt(const std::function<void()>& run) {
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        run();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    return Median(times);
}

bool FreshImage(const std::string& file, uint64_t sectors) {
    std::remove(file.c_str());
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const bool ok = ftruncate(fd, static_cast<off_t>(sectors * 512)) == 0;
    close(fd);
    return ok;
}

std::string Run(const std::string& command, int* status) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int raw = pclose(p);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

// Sum of the "calls" column of strace -c for the write family.
long CountWrites(const std::string& command) {
    const std::string trace = "/tmp/bridge_format_bench.strace";
    int status = 0;
    Run("PATH=$PATH:/usr/sbin:/sbin strace -f -c -o " + trace + " -e trace=write,pwrite64,pwritev,pwritev2,writev " +
            command,
        &status);
    if (status != 0) return -1;
    std::string out;
    if (FILE* f = std::fopen(trace.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    std::remove(trace.c_str());
    long total = 0;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::vector<std::string> cols;
        std::string c;
        while (f >> c) cols.push_back(c);
        if (cols.size() < 5) continue;
        const std::string& name = cols.back();
        if (name != "write" && name != "pwrite64" && name != "pwritev" && name != "pwritev2" && name != "writev") {
            continue;
        }
        // % time, seconds, usecs/call, calls, [errors,] syscall
        total += std::atol(cols[3].c_str());
    }
    return total;
}

struct Row {
    const char* fs;
    const char* size;
    long ourRequests;
    double ourVirtualSeconds;
    double ourFileSeconds;
    long mkfsRequests;
    double mkfsSeconds;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string image = dir + "/bridge_format_bench.img";
    const char* sbin = "PATH=$PATH:/usr/sbin:/sbin ";
    const struct {
        const char* name;
        uint64_t sectors;
    } sizes[] = {{"64 GiB", 64ull << 21}, {"1 TiB", 1ull << 31}};
    const struct {
        FileSystemKind kind;
        const char* name;
        const char* mkfs;
    } systems[] = {{FileSystemKind::Fat32, "FAT32", "mkfs.fat -F 32 -n BENCH"},
                   {FileSystemKind::Exfat, "exFAT", "mkfs.exfat -L BENCH"}};

    quillon::FormatOptions options{};
    options.fat32Label = "BENCH";
    options.exfatLabel = u"BENCH";
    options.time = quillon::LocalTimeNow();
    options.exfatSerial = 0x12345678;

    std::vector<Row> rows;
    for (const auto& sys : systems) {
        for (const auto& size : sizes) {
            const uint32_t sectors = static_cast<uint32_t>(size.sectors);
            Row row{sys.name, size.name, 0, 0, 0, 0, 0};
            row.ourVirtualSeconds = TimeIt([&] {
                quillon::testing::VirtualBridge bridge;
                auto controller = bridge.AttachDisk(1);
                bridge.SetLogEnabled(false);
                controller->regions[0].lastBlock = static_cast<uint32_t>(size.sectors + 4 - 1);
                quillon::testing::FollowRegionTable(*controller);
                quillon::BridgeDevice device;
                quillon::OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive1");
                quillon::DeviceSectorWriter disk(device);
                CountingPassThrough w(disk);
                if (!quillon::FormatRegion(sys.kind, w, sectors, options)) std::fprintf(stderr, "format failed\n");
                row.ourRequests = w.requests;
            });
            row.ourFileSeconds = TimeIt([&] {
                FreshImage(image, size.sectors);
                const int fd = open(image.c_str(), O_RDWR);
                FileWriter w(fd);
                quillon::FormatRegion(sys.kind, w, sectors, options);
                fsync(fd);
                close(fd);
            });
            const std::string mkfsCommand = std::string(sys.mkfs) + " '" + image + "'";
            const std::string mkfs = std::string(sbin) + mkfsCommand;
            row.mkfsSeconds = TimeIt([&] {
                FreshImage(image, size.sectors);
                int status = 0;
                Run(mkfs + " && sync '" + image + "'", &status);
                if (status != 0) std::fprintf(stderr, "%s failed\n", sys.mkfs);
            });
            FreshImage(image, size.sectors);
            row.mkfsRequests = CountWrites(mkfsCommand);
            rows.push_back(row);
        }
    }
    std::remove(image.c_str());

    std::printf("%-6s %-7s %12s %12s %9s | %11s %11s %11s | %9s %9s\n", "fs", "size", "our writes",
                "mkfs writes", "ratio", "ours virt s", "ours file s", "mkfs s", "virt/mkfs", "file/mkfs");
    for (const Row& r : rows) {
        std::printf("%-6s %-7s %12ld %12ld %9.3f | %11.4f %11.4f %11.4f | %9.3f %9.3f\n", r.fs, r.size, r.ourRequests,
                    r.mkfsRequests, r.mkfsRequests > 0 ? double(r.ourRequests) / r.mkfsRequests : 0.0,
                    r.ourVirtualSeconds, r.ourFileSeconds, r.mkfsSeconds, r.ourVirtualSeconds / r.mkfsSeconds,
                    r.ourFileSeconds / r.mkfsSeconds);
    }
    return 0;
}
