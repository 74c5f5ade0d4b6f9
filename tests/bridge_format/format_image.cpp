// Formats an image file as if it were a bridge region of the given number of sectors:
//
//   format_image fat32|exfat IMAGE SECTORS [LABEL] [--noise SEED]
//
// The image is created sparse at SECTORS * 512 bytes. With --noise, the areas the formatter has to
// overwrite (boot area, FAT boundaries, start of the cluster heap) are first filled with random bytes,
// so that a checker run afterwards proves the formatter wrote what it must rather than relying on zeros.
// The label is UTF-8; the FAT32 label goes in byte for byte. Exit status 0 on success.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "secure/exfat_format.h"
#include "secure/fat32_format.h"
#include "secure/format.h"

namespace {

using quillon::kSectorBytes;

// Writes sectors into the image; all-zero transfers punch a hole instead, which reads back as zeros
// and keeps even terabyte images small on disk.
class ImageWriter : public quillon::SectorWriter {
public:
    explicit ImageWriter(int fd) : fd_(fd) {}
    bool WriteSectors(uint32_t lba, uint32_t count, const uint8_t* data) override {
        const off_t offset = static_cast<off_t>(lba) * kSectorBytes;
        const size_t bytes = static_cast<size_t>(count) * kSectorBytes;
        bool zero = true;
        for (size_t i = 0; i < bytes && zero; ++i) zero = data[i] == 0;
        if (zero && fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, bytes) == 0) return true;
        return pwrite(fd_, data, bytes, offset) == static_cast<ssize_t>(bytes);
    }

private:
    int fd_;
};

bool Noise(int fd, std::mt19937& rng, uint64_t firstSector, uint64_t sectors, uint64_t total) {
    if (firstSector >= total) return true;
    if (sectors > total - firstSector) sectors = total - firstSector;
    std::vector<uint8_t> buf(static_cast<size_t>(sectors) * kSectorBytes);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    return pwrite(fd, buf.data(), buf.size(), static_cast<off_t>(firstSector * kSectorBytes)) ==
           static_cast<ssize_t>(buf.size());
}

uint64_t Before(uint64_t sector, uint64_t span) { return sector > span ? sector - span : 0; }

bool AddNoise(int fd, quillon::FileSystemKind kind, uint32_t total, unsigned seed) {
    std::mt19937 rng(seed);
    const uint64_t mib = 2048;
    bool ok = Noise(fd, rng, 0, 8 * mib, total);
    if (kind == quillon::FileSystemKind::Fat32) {
        quillon::Fat32Params p;
        if (quillon::ComputeFat32Params(total, &p)) {
            const uint64_t fat2 = p.firstFatSector + p.fatSectors;
            ok = ok && Noise(fd, rng, Before(fat2, mib), 2 * mib, total) &&
                 Noise(fd, rng, Before(p.firstDataSector, mib), 2 * mib + 64, total);
        }
    } else {
        quillon::ExfatLayout l;
        if (quillon::ComputeExfatLayout(total, &l)) {
            ok = ok && Noise(fd, rng, Before(l.clusterHeapOffset, mib), 4 * mib, total);
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    unsigned seed = 0;
    bool noise = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--noise") == 0 && i + 1 < argc) {
            noise = true;
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            args.emplace_back(argv[i]);
        }
    }
    quillon::FileSystemKind kind;
    if (args.size() < 3 || args.size() > 4 || !quillon::ParseFileSystemName(args[0].c_str(), &kind)) {
        std::fprintf(stderr, "usage: format_image fat32|exfat IMAGE SECTORS [LABEL] [--noise SEED]\n");
        return 2;
    }
    char* end = nullptr;
    const unsigned long long sectors = std::strtoull(args[2].c_str(), &end, 10);
    if (*end != '\0' || sectors > 0xFFFFFFFFull) {
        std::fprintf(stderr, "format_image: bad sector count %s\n", args[2].c_str());
        return 2;
    }
    const uint32_t total = static_cast<uint32_t>(sectors);

    quillon::FormatOptions options{};
    options.fat32Label = args.size() > 3 ? args[3] : std::string();
    if (!quillon::Utf8ToUtf16(options.fat32Label, &options.exfatLabel)) {
        std::fprintf(stderr, "format_image: label is not UTF-8\n");
        return 2;
    }
    options.time = quillon::LocalTimeNow();
    options.exfatSerial = static_cast<uint32_t>(std::random_device{}());
    if (!quillon::CanFormat(kind, total, options)) {
        std::fprintf(stderr, "format_image: refused: region of %u sectors or label too long\n", total);
        return 1;
    }

    const int fd = open(args[1].c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(sectors * kSectorBytes)) != 0) {
        std::perror("format_image");
        return 1;
    }
    if (noise && !AddNoise(fd, kind, total, seed)) {
        std::perror("format_image: noise");
        return 1;
    }
    ImageWriter writer(fd);
    const bool ok = quillon::FormatRegion(kind, writer, total, options);
    close(fd);
    if (!ok) {
        std::fprintf(stderr, "format_image: a write failed\n");
        return 1;
    }
    return 0;
}
