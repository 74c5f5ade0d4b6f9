#ifndef QUILLON_FIRMWARE_FIRMWARE_RECORDS_H
#define QUILLON_FIRMWARE_FIRMWARE_RECORDS_H

// The record walk shared by image validation and the layout walk. Every read is checked against the
// limit, so a damaged or truncated image ends the walk instead of reading past its bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "firmware/firmware_image.h"

namespace quillon {

struct FirmwareRecord {
  std::size_t offset = 0;   // of the type byte
  std::uint8_t type = 0;
  std::size_t size = 0;
  std::uint32_t key = 0;    // 7-byte records only: type x 65,536 + address
  std::uint32_t value = 0;  // 7-byte records only, least significant byte first
};

enum class RecordStep { Record, End, Bad };

// Reads the record at `offset`; Bad for an unknown type or a record that does not end by `limit`.
RecordStep ReadFirmwareRecord(const std::uint8_t* image, std::size_t limit, std::size_t offset,
                              FirmwareRecord* record);

// "FCC1", "FCC2", "FCC4" or "FCC5" as a chip-code value (first character in the low byte).
bool FirmwareChipCodeAccepted(std::uint32_t code);

// The padded length L for an image whose end record ends at `afterEnd`.
std::size_t FirmwarePaddedLength(std::size_t afterEnd);

// Walks the records of an image from offset 0 within min(length, 64 KiB), calling visit(record) for
// each record before the end record. True with the end record's offset when it was reached.
template <typename Visit>
bool WalkFirmwareRecords(const std::uint8_t* image, std::size_t length, std::size_t* endOffset, Visit&& visit) {
  const std::size_t limit = std::min(length, kFirmwareWalkLimit);
  std::size_t offset = 0;
  FirmwareRecord record;
  for (;;) {
    switch (ReadFirmwareRecord(image, limit, offset, &record)) {
      case RecordStep::Bad:
        return false;
      case RecordStep::End:
        *endOffset = offset;
        return true;
      case RecordStep::Record:
        visit(record);
        offset += record.size;
        break;
    }
  }
}

// Everything one walk over an image learns; the validity rules of the image check and the layout
// walk are both made from it.
struct ImageSummary {
  bool walked = false;          // the end record was reached inside the limit
  std::size_t endOffset = 0;
  int count12 = 0;
  int count13 = 0;
  bool hasVersion = false;
  std::uint32_t version = 0;
  bool hasChipCode = false;
  std::uint32_t chipCode = 0;
  bool chipAccepted = false;
  std::int32_t keyOffset = -1;
  std::size_t paddedLength = 0; // L, once walked
  bool trailerReached = false;  // L fits in the bytes given
  bool zeroPadding = false;
  bool signature = false;
  bool trailerIntact = false;
};

ImageSummary SummariseFirmwareImage(const std::uint8_t* image, std::size_t length, std::uint32_t wantedKey);

}  // namespace quillon

#endif
