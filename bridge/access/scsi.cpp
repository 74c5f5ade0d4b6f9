// The request buffer layout and the common send pattern.

#include "access/scsi.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace quillon {

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
  handle_ = backend_.OpenDevice(device.path, &openError_);
  if (handle_ == platform::kInvalidDeviceHandle) return;
  buffer_.reset(new (std::nothrow) std::uint8_t[kRequestBufferSize]);
  if (!buffer_) {
    backend_.CloseDevice(handle_);
    handle_ = platform::kInvalidDeviceHandle;
    openError_ = platform::kErrorNotEnoughMemory;
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
