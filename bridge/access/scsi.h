#ifndef QUILLON_ACCESS_SCSI_H
#define QUILLON_ACCESS_SCSI_H

// The request buffer and the common send pattern shared by every controller command.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "access/bridge_device.h"
#include "platform/backend.h"

namespace quillon {

// Request buffer: the 44-byte SCSI_PASS_THROUGH header (32-bit Windows layout), a 24-byte sense area,
// then up to 64 KiB of data.
constexpr std::uint32_t kPassThroughHeaderSize = 44;
constexpr std::uint32_t kSenseOffset = 44;
constexpr std::uint32_t kSenseSize = 24;
constexpr std::uint32_t kDataOffset = 68;
constexpr std::uint32_t kMaxDataLength = 65536;
constexpr std::uint32_t kRequestBufferSize = kDataOffset + kMaxDataLength;  // 65,604

// Byte offsets of the header fields inside the request buffer (all little-endian).
namespace spt {
constexpr std::size_t kLength = 0;              // u16
constexpr std::size_t kScsiStatus = 2;          // u8
constexpr std::size_t kPathId = 3;
constexpr std::size_t kTargetId = 4;
constexpr std::size_t kLun = 5;
constexpr std::size_t kCdbLength = 6;
constexpr std::size_t kSenseInfoLength = 7;
constexpr std::size_t kDataIn = 8;
constexpr std::size_t kDataTransferLength = 12; // u32
constexpr std::size_t kTimeOutValue = 16;       // u32, seconds
constexpr std::size_t kDataBufferOffset = 20;   // u32
constexpr std::size_t kSenseInfoOffset = 24;    // u32
constexpr std::size_t kCdb = 28;                // 16 bytes
}  // namespace spt

constexpr std::uint32_t kDefaultTimeoutSeconds = 5;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2A;

// One SCSI command as the request header describes it.
struct ScsiCommand {
  std::uint8_t cdb[16] = {};
  std::uint8_t cdbLength = 16;
  bool dataIn = false;
  std::uint32_t transferLength = 0;   // DataTransferLength
  std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
  std::uint8_t senseLength = 0;       // 0 or 24
  std::uint32_t inLength = 0;         // DeviceIoControl input length
  std::uint32_t outLength = 0;        // DeviceIoControl output length
};

// A 16-byte vendor CDB: the device's vendor opcode, the sub-command and "ncmd" in bytes 12-15.
ScsiCommand VendorCommand(const BridgeDevice& device, std::uint8_t subCommand);

// Writes the header and CDB of a command into a request buffer (which the caller has zeroed).
void EncodeRequestHeader(const ScsiCommand& command, std::uint8_t* request);
// Reads a header back (used by backends and test doubles). Returns false when the header is not a
// well-formed request of this layout: wrong Length or offsets, CDB longer than 16, or data that does
// not fit the buffer lengths.
bool DecodeRequestHeader(const std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength,
                         ScsiCommand* command);

// Outcome of one send.
struct SendResult {
  bool ok = false;                  // the request came back (DeviceIoControl result)
  std::uint32_t bytesReturned = 0;
  std::uint8_t scsiStatus = 0;
  std::uint32_t error = 0;          // portable error code when !ok

  // The request came back and the device did not reject it (SCSI status GOOD).
  bool Transferred() const { return ok && scsiStatus == platform::kScsiStatusGood; }
  // The usual rule: transferred and at least the 44-byte header returned.
  bool Accepted() const { return Transferred() && bytesReturned >= kPassThroughHeaderSize; }
};

// An open device path with its request buffer; the handle is closed when the session ends. Chunked
// commands send all chunks through one session. A path that does not open and a command that fails
// are recorded as the thread's last error (access/last_error.h).
class PassThroughSession {
 public:
  explicit PassThroughSession(const BridgeDevice& device);
  ~PassThroughSession();
  PassThroughSession(const PassThroughSession&) = delete;
  PassThroughSession& operator=(const PassThroughSession&) = delete;

  // The path was opened and the buffer allocated.
  bool IsOpen() const;
  std::uint32_t OpenError() const { return openError_; }

  // Zeroes the buffer, encodes the command, copies outData (outLength bytes, at most the data area)
  // to the data area and sends it. Incoming data is then at Data().
  SendResult Send(const ScsiCommand& command, const void* outData = nullptr, std::uint32_t outDataLength = 0);

  const std::uint8_t* Data() const;

 private:
  platform::Backend& backend_;
  platform::DeviceHandle handle_ = platform::kInvalidDeviceHandle;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint32_t openError_ = 0;
  char path_[kPathFieldSize] = {};  // for the failure reasons
};

// One-shot send: open, send, close. dataIn receives up to dataInLength bytes from the data area when
// the command moves data in. Returns the send outcome; an unopenable path gives ok == false.
SendResult ScsiPassThrough(const BridgeDevice& device, const ScsiCommand& command, const void* outData = nullptr,
                           std::uint32_t outDataLength = 0, void* dataIn = nullptr, std::uint32_t dataInLength = 0);

// Big-endian helpers for CDB fields.
inline void PutBe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void PutBe24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 16);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v);
}
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint32_t GetBe16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
inline std::uint32_t GetBe24(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
inline void PutLe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void PutLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint32_t GetLe16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

}  // namespace quillon

#endif
