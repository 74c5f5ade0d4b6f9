// Fuzz target for the texts the library makes from device data: the input is a serial-number field
// (its first 100 bytes) and trace bytes (all of it), rendered into buffers of exactly the stated sizes
// (heap blocks, so that AddressSanitizer sees a single byte past them) and, for the traces, also into
// buffers too short for the text.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "secure/device.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t field[kSerialFieldSize] = {};
  std::memcpy(field, data, std::min<std::size_t>(size, kSerialFieldSize));
  auto serial = std::make_unique<char[]>(kSerialTextSize);
  if (DecodeSerialText(field, serial.get())) {
    // Terminated inside the stated size.
    if (std::memchr(serial.get(), 0, kSerialTextSize) == nullptr) __builtin_trap();
  }

  const std::size_t count = std::min<std::size_t>(size, kTraceBytes);
  auto text = std::make_unique<char[]>(kTraceTextSize);
  const std::size_t n = FormatTraceText(data, count, text.get(), kTraceTextSize);
  if (n >= kTraceTextSize || text[n] != '\0') __builtin_trap();
  for (std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4}, count}) {
    if (capacity == 0) continue;
    auto small = std::make_unique<char[]>(capacity);
    const std::size_t m = FormatTraceText(data, count, small.get(), capacity);
    if (m >= capacity || small[m] != '\0' || std::memcmp(small.get(), text.get(), m) != 0) __builtin_trap();
  }
  return 0;
}
