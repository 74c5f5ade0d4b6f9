#include "raw_command.h"

#include <algorithm>
#include <cstring>

#include "access/scsi.h"

namespace quillon::testing {

RawOutcome RunRawCommand(platform::Backend& backend, platform::DeviceHandle handle, const std::uint8_t* cdb,
                         std::uint8_t cdbLength, bool dataIn, std::uint8_t* data, std::uint32_t length,
                         std::uint32_t timeoutSeconds, std::uint8_t senseLength) {
  RawOutcome outcome;
  if (cdb == nullptr || cdbLength == 0 || cdbLength > 16 || length > kMaxDataLength || (length > 0 && data == nullptr)) {
    outcome.error = platform::kErrorInvalidParameter;
    return outcome;
  }
  std::vector<std::uint8_t> request(kRequestBufferSize, 0);
  ScsiCommand command;
  std::memcpy(command.cdb, cdb, cdbLength);
  command.cdbLength = cdbLength;
  command.dataIn = dataIn && length > 0;
  command.transferLength = length;
  command.timeoutSeconds = timeoutSeconds;
  command.senseLength = std::min<std::uint8_t>(senseLength, kSenseSize);
  EncodeRequestHeader(command, request.data());
  if (!dataIn && length > 0) std::memcpy(&request[kDataOffset], data, length);
  const std::uint32_t size = kDataOffset + length;
  const platform::PassThroughResult r = backend.SendPassThrough(handle, request.data(), size, size);
  if (!r.ok) {
    outcome.error = r.error;
    return outcome;
  }
  outcome.delivered = true;
  outcome.status = r.scsiStatus;
  if (dataIn && length > 0 && r.scsiStatus == platform::kScsiStatusGood) {
    const std::uint32_t moved = r.bytesReturned > kDataOffset ? std::min(r.bytesReturned - kDataOffset, length) : 0;
    std::memcpy(data, &request[kDataOffset], moved);
    outcome.moved = moved;
  }
  if (r.scsiStatus != platform::kScsiStatusGood) {
    const std::uint32_t returned = r.bytesReturned > kSenseOffset ? r.bytesReturned - kSenseOffset : 0;
    const std::uint32_t sense =
        std::min<std::uint32_t>({request[spt::kSenseInfoLength], command.senseLength, returned});
    outcome.sense.assign(request.begin() + kSenseOffset, request.begin() + kSenseOffset + sense);
  }
  return outcome;
}

}  // namespace quillon::testing
