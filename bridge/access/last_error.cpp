// The per-thread reason for the library's last failure.

#include "access/last_error.h"

#include <cstdarg>
#include <cstdio>

namespace quillon {

namespace {

struct LastError {
  ErrorKind kind;
  char text[kLastErrorTextSize];
};

// Zero-initialised per thread: kind None, empty text.
thread_local LastError t_lastError;

int Record(ErrorKind kind, const char* format, va_list args) {
  t_lastError.kind = kind;
  std::vsnprintf(t_lastError.text, sizeof(t_lastError.text), format, args);
  return 0;
}

}  // namespace

void ClearLastError() {
  t_lastError.kind = ErrorKind::None;
  t_lastError.text[0] = '\0';
}

ErrorKind LastErrorKind() { return t_lastError.kind; }

const char* LastErrorText() { return t_lastError.text; }

int RefuseInput(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Record(ErrorKind::BadInput, format, args);
  va_end(args);
  return 0;
}

int ReportDeviceFailure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Record(ErrorKind::Device, format, args);
  va_end(args);
  return 0;
}

std::string GroupDigits(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

}  // namespace quillon
