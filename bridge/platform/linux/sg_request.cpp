// SG_IO translation of the pass-through request buffer.

#include "platform/linux/sg_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "access/scsi.h"

namespace quillon::platform::linux_sg {
namespace {
// Host and driver status values of the SCSI mid-layer.
constexpr unsigned kHostNoConnect = 0x01;
constexpr unsigned kHostTimeOut = 0x03;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;
}  // namespace

std::uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EINVAL: return kErrorInvalidParameter;
    case ETIMEDOUT: return kErrorSemTimeout;
    case ENODEV:
    case ENXIO: return kErrorDeviceNotConnected;
    case ENOTTY:
    case EOPNOTSUPP: return kErrorNotSupported;
    case EBUSY: return kErrorNotReady;
    default: return kErrorGenFailure;
  }
}

bool PrepareSgIo(std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength, sg_io_hdr_t* hdr,
                 std::uint8_t* scratchSense) {
  ScsiCommand command;
  if (hdr == nullptr || scratchSense == nullptr || !DecodeRequestHeader(request, inLength, outLength, &command))
    return false;
  // Data coming in must fit what is handed back; data going out must have been handed over.
  if (command.transferLength > 0) {
    const std::uint32_t room = command.dataIn ? outLength : inLength;
    if (kDataOffset + std::uint64_t{command.transferLength} > room) return false;
  }
  std::memset(hdr, 0, sizeof(*hdr));
  hdr->interface_id = 'S';
  hdr->cmd_len = command.cdbLength;
  hdr->cmdp = request + spt::kCdb;
  if (command.transferLength == 0) {
    hdr->dxfer_direction = SG_DXFER_NONE;
  } else {
    hdr->dxfer_direction = command.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    hdr->dxferp = request + kDataOffset;
    hdr->dxfer_len = command.transferLength;
  }
  if (command.senseLength > 0) {
    hdr->sbp = request + kSenseOffset;
    hdr->mx_sb_len = command.senseLength;
  } else {
    hdr->sbp = scratchSense;
    hdr->mx_sb_len = kScratchSenseSize;
  }
  const std::uint32_t seconds = std::min<std::uint32_t>(command.timeoutSeconds, UINT32_MAX / 1000);
  hdr->timeout = seconds * 1000;
  return true;
}

PassThroughResult CompleteSgIo(const sg_io_hdr_t& hdr, int ioctlResult, int ioctlErrno, std::uint8_t* request,
                               std::uint32_t outLength) {
  PassThroughResult result;
  if (ioctlResult < 0) {
    result.error = ErrorFromErrno(ioctlErrno);
    return result;
  }
  const unsigned driver = hdr.driver_status & 0x0F;
  if (hdr.host_status == kHostTimeOut || driver == kDriverTimeout) {
    result.error = kErrorSemTimeout;
    return result;
  }
  if (hdr.host_status == kHostNoConnect) {
    result.error = kErrorDeviceNotConnected;
    return result;
  }
  if (hdr.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    result.error = kErrorGenFailure;
    return result;
  }

  result.ok = true;
  result.scsiStatus = hdr.status;
  request[spt::kScsiStatus] = hdr.status;
  const bool senseInBuffer = hdr.sbp == request + kSenseOffset;
  const std::uint32_t sense = senseInBuffer ? std::min<std::uint32_t>(hdr.sb_len_wr, kSenseSize) : 0;
  request[spt::kSenseInfoLength] = static_cast<std::uint8_t>(sense);
  std::uint32_t returned = kPassThroughHeaderSize;
  if (hdr.dxfer_direction == SG_DXFER_FROM_DEV) {
    const std::uint32_t moved = hdr.dxfer_len - std::min<std::uint32_t>(std::max(hdr.resid, 0), hdr.dxfer_len);
    PutLe32(request + spt::kDataTransferLength, moved);
    returned = kDataOffset + moved;
  } else if (sense > 0) {
    returned = kSenseOffset + sense;
  }
  result.bytesReturned = std::min(returned, outLength);
  return result;
}

}  // namespace quillon::platform::linux_sg
