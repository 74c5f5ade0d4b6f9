#ifndef QUILLON_SECURE_FORMAT_WRITER_H
#define QUILLON_SECURE_FORMAT_WRITER_H

// The narrow interface the volume formatters write through, and the region guard every formatter
// write passes: transfers of at most 64 KiB, never past the end of the region.

#include <cstdint>

namespace quillon {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kMaxTransferSectors = 128;  // 64 KiB, the largest WRITE(10) the bridge takes
constexpr uint32_t kMaxTransferBytes = kMaxTransferSectors * kSectorBytes;

// Something that takes whole 512-byte sectors: a bridge disk, an image file, a test double.
class SectorWriter {
public:
    virtual ~SectorWriter() = default;
    // Writes count sectors (count * 512 bytes of data) starting at sector lba.
    // Callers never pass more than kMaxTransferSectors at once.
    virtual bool WriteSectors(uint32_t lba, uint32_t count, const uint8_t* data) = 0;
};

// Wraps a SectorWriter for one region of a known size. Splits runs into 64 KiB transfers and refuses
// anything that would reach past the region, so a layout mistake can never touch the next region.
class RegionWriter {
public:
    RegionWriter(SectorWriter& target, uint32_t regionSectors) : target_(target), size_(regionSectors) {}

    // Writes count sectors from data; fails without writing when [lba, lba + count) leaves the region.
    bool Write(uint32_t lba, uint32_t count, const uint8_t* data);
    // Writes count zero sectors; fails without writing when the run leaves the region.
    bool WriteZeros(uint32_t lba, uint32_t count);
    // Writes count zero sectors, cut short at the end of the region (a run starting past it writes nothing).
    bool WriteZerosClipped(uint32_t lba, uint32_t count);

    uint32_t size() const { return size_; }

private:
    bool Fits(uint32_t lba, uint32_t count) const;

    SectorWriter& target_;
    uint32_t size_;
};

}  // namespace quillon

#endif
