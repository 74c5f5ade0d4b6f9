#ifndef QUILLON_PLATFORM_WINDOWS_NATIVE_REQUEST_H
#define QUILLON_PLATFORM_WINDOWS_NATIVE_REQUEST_H

// The library's request buffer uses the 44-byte SCSI_PASS_THROUGH of 32-bit Windows, which is what a
// 32-bit process hands to the pass-through as it is. A 64-bit process has a larger native structure
// (8-byte DataBufferOffset); there the request is rebuilt in the native layout and the reply copied
// back.

#include <windows.h>
#include <ntddscsi.h>

#include <cstdint>
#include <vector>

namespace quillon::platform::windows {

// True when requests go to DeviceIoControl unchanged.
constexpr bool kNativeLayoutIsPortable = sizeof(SCSI_PASS_THROUGH) == 44;

struct NativeRequest {
  std::vector<std::uint8_t> buffer;  // native header, sense area, data
  DWORD inLength = 0;
  DWORD outLength = 0;
  std::uint32_t dataOffset = 0;      // of the data area in buffer
};

// Rebuilds a portable request in the native layout. False when the request is malformed.
bool ToNativeRequest(const std::uint8_t* request, std::uint32_t inLength, std::uint32_t outLength,
                     NativeRequest* native);

// Copies the native reply (status, sense and data) back into the portable request and returns the
// byte count as the portable layout counts it.
std::uint32_t FromNativeReply(const NativeRequest& native, DWORD returned, std::uint8_t* request,
                              std::uint32_t outLength);

}  // namespace quillon::platform::windows

#endif
