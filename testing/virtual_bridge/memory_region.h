#ifndef QUILLON_TESTING_MEMORY_REGION_H
#define QUILLON_TESTING_MEMORY_REGION_H

// A region of any size (up to 2^32 sectors) that the formatters can write to, held in memory. It keeps
// every write request, stores only sectors that hold something other than zeros, reads sectors that
// were never written as a stale-content pattern, and can be told to fail a given write.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "secure/format_writer.h"

namespace quillon::testing {

class MemoryRegion : public SectorWriter {
public:
    struct Request {
        uint32_t lba;
        uint32_t count;
    };
    static constexpr uint8_t kStaleByte = 0xCC;

    explicit MemoryRegion(uint64_t sectors) : sectors_(sectors) {}

    bool WriteSectors(uint32_t lba, uint32_t count, const uint8_t* data) override {
        requests_.push_back({lba, count});
        if (count == 0 || count > kMaxTransferSectors || uint64_t{lba} + count > sectors_) violations_++;
        if (failAt_ >= 0 && static_cast<int64_t>(requests_.size()) - 1 == failAt_) return false;
        for (uint32_t i = 0; i < count; ++i) Store(lba + i, data + static_cast<size_t>(i) * kSectorBytes);
        return true;
    }

    // The content of one sector: what was written last, or kStaleByte throughout when never written.
    std::array<uint8_t, kSectorBytes> Sector(uint32_t lba) const {
        std::array<uint8_t, kSectorBytes> out;
        if (!Written(lba)) {
            out.fill(kStaleByte);
            return out;
        }
        auto it = chunks_.find(lba / kChunk);
        if (it == chunks_.end()) {
            out.fill(0);
        } else {
            std::memcpy(out.data(), it->second.data() + (lba % kChunk) * kSectorBytes, kSectorBytes);
        }
        return out;
    }

    bool Written(uint32_t lba) const {
        for (const Request& r : requests_) {
            if (lba >= r.lba && lba - r.lba < r.count) return true;
        }
        return false;
    }

    const std::vector<Request>& Requests() const { return requests_; }
    // Requests that were empty, longer than 64 KiB or reached past the region.
    int Violations() const { return violations_; }
    uint64_t Size() const { return sectors_; }
    // The write request with this index (counted from 0) fails.
    void FailRequest(int64_t index) { failAt_ = index; }

private:
    static constexpr uint32_t kChunk = 128;

    void Store(uint32_t lba, const uint8_t* sector) {
        const bool zero = std::all_of(sector, sector + kSectorBytes, [](uint8_t b) { return b == 0; });
        auto it = chunks_.find(lba / kChunk);
        if (it == chunks_.end()) {
            if (zero) return;
            it = chunks_.emplace(lba / kChunk, std::vector<uint8_t>(kChunk * kSectorBytes, 0)).first;
        }
        std::memcpy(it->second.data() + (lba % kChunk) * kSectorBytes, sector, kSectorBytes);
    }

    uint64_t sectors_;
    std::vector<Request> requests_;
    std::map<uint32_t, std::vector<uint8_t>> chunks_;
    int violations_ = 0;
    int64_t failAt_ = -1;
};

}  // namespace quillon::testing

#endif
