#ifndef QUILLON_ACCESS_LAST_ERROR_H
#define QUILLON_ACCESS_LAST_ERROR_H

// Why the library last failed on this thread. The exports keep their plain results (1/0, or -1 for
// sizes); a caller that needs to tell a refused argument from a device that did not answer reads the
// reason right after a failing call, as it would read errno.
//
// Inside the library:
//   - an export that refuses an argument or a file before sending anything to the device says so with
//     `return RefuseInput("FAT32 needs at least %s clusters ...", GroupDigits(n).c_str());`
//   - the pass-through layer records every device that could not be opened and every command that
//     failed (ReportDeviceFailure), so a failing export carries the device's reason without doing
//     anything itself; an export may record a more precise reason of its own afterwards.
// The newest reason wins. Nothing clears the reason but ClearLastError: a caller clears it before a
// call whose reason it wants, and reads it only when the call failed.
//
// The reason lives in a fixed thread-local record (no allocation, nothing to destroy at thread exit),
// so concurrent calls on different threads never see each other's reasons.

#include <cstdint>
#include <string>

namespace quillon {

enum class ErrorKind : int {
  None = 0,
  BadInput = 1,  // an argument or input file was refused before anything was sent to the device
  Device = 2,    // the device could not be opened, did not answer, refused a command or read back wrong
};

constexpr std::size_t kLastErrorTextSize = 256;

void ClearLastError();
ErrorKind LastErrorKind();
// The reason as one sentence without a final full stop; "" when none was recorded.
const char* LastErrorText();

// Record a reason (printf-style, cut at kLastErrorTextSize - 1 bytes) and return 0, so that an export
// can `return RefuseInput(...)`.
#if defined(__GNUC__)
#define QUILLON_PRINTF_FORMAT(a, b) __attribute__((format(printf, a, b)))
#else
#define QUILLON_PRINTF_FORMAT(a, b)
#endif
int RefuseInput(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);
int ReportDeviceFailure(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);

// 65525 -> "65,525": numbers in reasons are grouped by thousands for people to read.
std::string GroupDigits(std::uint64_t value);

}  // namespace quillon

#endif
