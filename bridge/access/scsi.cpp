// The request buffer layout and the common send pattern.

#include "access/scsi.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "access/last_error.h"

namespace quillon {

namespace {

const char* ErrorName(std::uint32_t error) {
  switch (error) {
    case platform::kErrorFileNotFound: return "no such device";
    case platform::kErrorAccessDenied: return "access denied";
    case platform::kErrorInvalidHandle: return "invalid handle";
    case platform::kErrorNotEnoughMemory: return "out of memory";
    case platform::kErrorNotReady: return "device not ready";
    case platform::kErrorGenFailure: return "the device failed the request";
    case platform::kErrorNotSupported: return "not supported";
    case platform::kErrorInvalidParameter: return "request refused as invalid";
    case platform::kErrorSemTimeout: return "timed out";
    case platform::kErrorIoDevice: return "I/O error";
    case platform::kErrorDeviceNotConnected: return "device not connected";
    default: return "system error";
  }
}

}  // namespace

ScsiCommand VendorCommand(const BridgeDevice& device, std::uint8_t subCommand) {
  ScsiCommand command;
  command.cdb[0] = device.vendorOpcode;
  command.cdb[1] = subCommand;
  command.cdb[12] = 'n';
  command.cdb[13] = 'c';
  command.cdb[14] = 'm';
  command.cdb[15] = 'd';
  command.cdbLength = 16;
  return command;
}

void EncodeRequestHeader(const ScsiCommand& command, std::uint8_t* request) {
  PutLe16(request + spt::kLength, kPassThroughHeaderSize);
  request[spt::kCdbLength] = command.cdbLength;
  request[spt::kSenseInfoLength] = command.senseLength;
  request[spt::kDataIn] = command.dataIn ? 1 : 0;
  PutLe32(request + spt::kDataTransferLength, command.transferLength);
  PutLe32(request + spt::kTimeOutValue, command.timeoutSeconds);
  PutLe32(request + spt::kDataBufferOffset, kDataOffset);
  PutLe32(request + spt::kSenseInfoOffset, kSenseOffset);
  std::memcpy(request + spt::kCdb, command.cdb, sizeof(command.cdb));
}

bool DecodeRequestHeader(const std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength,
                         ScsiCommand* command) {
  if (request == nullptr || command == nullptr) return false;
  if (inLength < kPassThroughHeaderSize || inLength > kRequestBufferSize || outLength > kRequestBufferSize)
    return false;
  if (GetLe16(request + spt::kLength) != kPassThroughHeaderSize) return false;
  ScsiCommand out;
  out.cdbLength = request[spt::kCdbLength];
  out.senseLength = request[spt::kSenseInfoLength];
  out.dataIn = request[spt::kDataIn] != 0;
  out.transferLength = GetLe32(request + spt::kDataTransferLength);
  out.timeoutSeconds = GetLe32(request + spt::kTimeOutValue);
  out.inLength = inLength;
  out.outLength = outLength;
  if (out.cdbLength == 0 || out.cdbLength > 16) return false;
  const std::uint32_t dataOffset = GetLe32(request + spt::kDataBufferOffset);
  const std::uint32_t senseOffset = GetLe32(request + spt::kSenseInfoOffset);
  const std::uint64_t room = std::max(inLength, outLength);
  if (out.transferLength > 0) {
    if (dataOffset < kPassThroughHeaderSize || dataOffset + std::uint64_t{out.transferLength} > room) return false;
    if (dataOffset != kDataOffset) return false;
  }
  if (out.senseLength > 0 && (senseOffset != kSenseOffset || out.senseLength > kSenseSize)) return false;
  std::memcpy(out.cdb, request + spt::kCdb, sizeof(out.cdb));
  *command = out;
  return true;
}

PassThroughSession::PassThroughSession(const BridgeDevice& device) : backend_(platform::CurrentBackend()) {
  std::memcpy(path_, device.path, sizeof(path_));
  path_[sizeof(path_) - 1] = '\0';
  handle_ = backend_.OpenDevice(device.path, &openError_);
  if (handle_ == platform::kInvalidDeviceHandle) {
    ReportDeviceFailure("cannot open %s: %s (error %u)", path_, ErrorName(openError_), static_cast<unsigned>(openError_));
    return;
  }
  buffer_.reset(new (std::nothrow) std::uint8_t[kRequestBufferSize]);
  if (!buffer_) {
    backend_.CloseDevice(handle_);
    handle_ = platform::kInvalidDeviceHandle;
    openError_ = platform::kErrorNotEnoughMemory;
    ReportDeviceFailure("%s: no memory for the request buffer", path_);
  }
}

PassThroughSession::~PassThroughSession() {
  if (handle_ != platform::kInvalidDeviceHandle) backend_.CloseDevice(handle_);
}

bool PassThroughSession::IsOpen() const { return handle_ != platform::kInvalidDeviceHandle; }

const std::uint8_t* PassThroughSession::Data() const { return buffer_.get() + kDataOffset; }

SendResult PassThroughSession::Send(const ScsiCommand& command, const void* outData, std::uint32_t outDataLength) {
  SendResult result;
  if (!IsOpen()) {
    result.error = openError_;
    return result;
  }
  // A command whose lengths do not fit the request buffer is refused before anything is sent.
  if (command.transferLength > kMaxDataLength || outDataLength > kMaxDataLength ||
      command.inLength > kRequestBufferSize || command.outLength > kRequestBufferSize ||
      command.inLength < kPassThroughHeaderSize) {
    result.error = platform::kErrorInvalidParameter;
    return result;
  }
  std::memset(buffer_.get(), 0, kRequestBufferSize);
  EncodeRequestHeader(command, buffer_.get());
  if (outData != nullptr && outDataLength > 0) std::memcpy(buffer_.get() + kDataOffset, outData, outDataLength);

  const platform::PassThroughResult sent =
      backend_.SendPassThrough(handle_, buffer_.get(), command.inLength, command.outLength);
  result.ok = sent.ok;
  result.bytesReturned = sent.bytesReturned;
  result.scsiStatus = sent.scsiStatus;
  result.error = sent.ok ? platform::kErrorSuccess : sent.error;
  if (!sent.ok)
    ReportDeviceFailure("%s did not complete command %02x %02x: %s (error %u)", path_, command.cdb[0], command.cdb[1],
                        ErrorName(sent.error), static_cast<unsigned>(sent.error));
  else if (sent.scsiStatus != platform::kScsiStatusGood)
    ReportDeviceFailure("%s refused command %02x %02x (SCSI status %02x)", path_, command.cdb[0], command.cdb[1],
                        sent.scsiStatus);
  return result;
}

SendResult ScsiPassThrough(const BridgeDevice& device, const ScsiCommand& command, const void* outData,
                           std::uint32_t outDataLength, void* dataIn, std::uint32_t dataInLength) {
  PassThroughSession session(device);
  if (!session.IsOpen()) {
    SendResult failed;
    failed.error = session.OpenError();
    return failed;
  }
  SendResult result = session.Send(command, outData, outDataLength);
  if (dataIn != nullptr && dataInLength > 0)
    std::memcpy(dataIn, session.Data(), std::min(dataInLength, kMaxDataLength));
  return result;
}

}  // namespace quillon
