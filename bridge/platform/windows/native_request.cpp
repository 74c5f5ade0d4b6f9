// Translation of the portable request into the native SCSI_PASS_THROUGH of a 64-bit process.

#include "platform/windows/native_request.h"

#include <algorithm>
#include <cstring>

#include "access/scsi.h"

namespace quillon::platform::windows {
namespace {
constexpr std::uint32_t kNativeHeader = sizeof(SCSI_PASS_THROUGH);
constexpr std::uint32_t kNativeSense = kNativeHeader;
constexpr std::uint32_t kNativeData = (kNativeSense + kSenseSize + 7) & ~7u;

// A portable length (counted from the start of the portable buffer) in the native layout.
DWORD NativeLength(std::uint32_t portable) {
  if (portable <= kPassThroughHeaderSize) return kNativeHeader;
  if (portable <= kDataOffset) return kNativeSense + (portable - kSenseOffset);
  return kNativeData + (portable - kDataOffset);
}
}  // namespace

bool ToNativeRequest(const std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength,
                     NativeRequest* native) {
  ScsiCommand command;
  if (native == nullptr || !DecodeRequestHeader(request, inLength, outLength, &command)) return false;
  native->inLength = NativeLength(inLength);
  native->outLength = NativeLength(outLength);
  native->dataOffset = kNativeData;
  native->buffer.assign(std::max(native->inLength, native->outLength), 0);
  auto* spt = reinterpret_cast<SCSI_PASS_THROUGH*>(native->buffer.data());
  spt->Length = static_cast<USHORT>(kNativeHeader);
  spt->CdbLength = command.cdbLength;
  spt->SenseInfoLength = command.senseLength;
  spt->DataIn = command.dataIn ? 1 : 0;
  spt->DataTransferLength = command.transferLength;
  spt->TimeOutValue = command.timeoutSeconds;
  spt->DataBufferOffset = kNativeData;
  spt->SenseInfoOffset = kNativeSense;
  std::memcpy(spt->Cdb, command.cdb, sizeof(command.cdb));
  if (!command.dataIn && inLength > kDataOffset)
    std::memcpy(native->buffer.data() + kNativeData, request + kDataOffset, inLength - kDataOffset);
  return true;
}

std::uint32_t FromNativeReply(const NativeRequest& native, DWORD returned, std::uint8_t* request,
                              std::uint32_t outLength) {
  const auto* spt = reinterpret_cast<const SCSI_PASS_THROUGH*>(native.buffer.data());
  request[spt::kScsiStatus] = spt->ScsiStatus;
  request[spt::kSenseInfoLength] = spt->SenseInfoLength;
  PutLe32(request + spt::kDataTransferLength, spt->DataTransferLength);
  if (outLength > kSenseOffset) {
    const std::uint32_t sense = std::min(outLength, kDataOffset) - kSenseOffset;
    std::memcpy(request + kSenseOffset, native.buffer.data() + kNativeSense, std::min(sense, kSenseSize));
  }
  if (outLength > kDataOffset) {
    const std::size_t room = native.buffer.size() - kNativeData;
    std::memcpy(request + kDataOffset, native.buffer.data() + kNativeData,
                std::min<std::size_t>(outLength - kDataOffset, room));
  }
  // Map the count back: header, sense area and data end where they end in the portable layout.
  if (returned <= kNativeHeader) return std::min<std::uint32_t>(returned, kPassThroughHeaderSize);
  if (returned <= kNativeData) return std::min<std::uint32_t>(kSenseOffset + (returned - kNativeSense), kDataOffset);
  return kDataOffset + (returned - kNativeData);
}

}  // namespace quillon::platform::windows
