#ifndef QUILLON_TESTING_RAW_COMMAND_H
#define QUILLON_TESTING_RAW_COMMAND_H

// One SCSI command as a transport hands it over (an SG_IO request, a USB mass-storage command block),
// run through a backend's pass-through request buffer, so every transport reaches the virtual bridge
// the way the library does.

#include <cstdint>
#include <vector>

#include "platform/backend.h"

namespace quillon::testing {

struct RawOutcome {
  bool delivered = false;              // false: the request did not reach the device (`error`)
  std::uint32_t error = 0;             // portable error code when not delivered
  std::uint8_t status = 0;             // SCSI status
  std::uint32_t moved = 0;             // data-in bytes delivered
  std::vector<std::uint8_t> sense;     // sense bytes the device returned with CHECK CONDITION
};

// Sends cdb (1-16 bytes) on an open handle. For data-out, data holds length bytes to send; for data-in,
// the reply (at most length bytes) is copied into data. length is at most 65,536.
RawOutcome RunRawCommand(platform::Backend& backend, platform::DeviceHandle handle, const std::uint8_t* cdb,
                         std::uint8_t cdbLength, bool dataIn, std::uint8_t* data, std::uint32_t length,
                         std::uint32_t timeoutSeconds, std::uint8_t senseLength);

}  // namespace quillon::testing

#endif
