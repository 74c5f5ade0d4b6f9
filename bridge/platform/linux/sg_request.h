#ifndef QUILLON_PLATFORM_LINUX_SG_REQUEST_H
#define QUILLON_PLATFORM_LINUX_SG_REQUEST_H

// Translation between the library's pass-through request buffer and the Linux SG_IO interface.

#include <scsi/sg.h>

#include <cstdint>

#include "platform/backend.h"

namespace quillon::platform::linux_sg {

// Room for sense data when the request asks for none.
constexpr unsigned kScratchSenseSize = 32;

// Fills an sg_io_hdr for the request buffer: CDB and direction from the header, data at offset 68,
// sense at offset 44 (or in scratchSense when the request asks for none). False when the header is
// malformed or its data does not fit the buffer lengths.
bool PrepareSgIo(std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength, sg_io_hdr_t* hdr,
                 std::uint8_t* scratchSense);

// Judges a finished SG_IO call the way the Windows pass-through reports it: success with the SCSI
// status, bytes returned (68 + data for data-in, else the header and any sense), and the header's
// ScsiStatus, SenseInfoLength and DataTransferLength updated; or failure with a portable error code
// (121 for time-outs, 31 for other transport failures).
PassThroughResult CompleteSgIo(const sg_io_hdr_t& hdr, int ioctlResult, int ioctlErrno, std::uint8_t* request,
                               std::uint32_t outLength);

// Maps an errno value from open() or ioctl() to a portable error code.
std::uint32_t ErrorFromErrno(int error);

}  // namespace quillon::platform::linux_sg

#endif
