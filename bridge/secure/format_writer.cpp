#include "secure/format_writer.h"

#include <algorithm>
#include <vector>

namespace quillon {

namespace {

// One transfer's worth of zeros, shared by every zero run; never written to.
const uint8_t* ZeroTransfer() {
    static const std::vector<uint8_t> zeros(kMaxTransferBytes, 0);
    return zeros.data();
}

}  // namespace

bool RegionWriter::Fits(uint32_t lba, uint32_t count) const {
    return lba <= size_ && count <= size_ - lba;
}

bool RegionWriter::Write(uint32_t lba, uint32_t count, const uint8_t* data) {
    if (!Fits(lba, count)) return false;
    while (count > 0) {
        const uint32_t n = std::min(count, kMaxTransferSectors);
        if (!target_.WriteSectors(lba, n, data)) return false;
        lba += n;
        count -= n;
        data += static_cast<size_t>(n) * kSectorBytes;
    }
    return true;
}

bool RegionWriter::WriteZeros(uint32_t lba, uint32_t count) {
    if (!Fits(lba, count)) return false;
    while (count > 0) {
        const uint32_t n = std::min(count, kMaxTransferSectors);
        if (!target_.WriteSectors(lba, n, ZeroTransfer())) return false;
        lba += n;
        count -= n;
    }
    return true;
}

bool RegionWriter::WriteZerosClipped(uint32_t lba, uint32_t count) {
    if (lba >= size_) return true;
    return WriteZeros(lba, std::min(count, size_ - lba));
}

}  // namespace quillon
