#ifndef QUILLON_TOOL_ARGS_H
#define QUILLON_TOOL_ARGS_H

// Parsing and checking of command-line values. Every function returns false with a message that names
// the value and says what was expected, and leaves *out alone then.

#include <cstdint>
#include <string>

namespace quillon::tool {

// Longest device path the library accepts.
constexpr std::size_t kMaxDevicePath = 24;

// A decimal number or a hexadecimal one with 0x, at most max.
bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out, std::string* error);

// A size in bytes: a number with an optional unit K, M, G or T (powers of 1024; KiB, MiB, ... also
// accepted) or s (512-byte sectors).
bool ParseSize(const std::string& text, std::uint64_t* bytes, std::string* error);

// A size as a whole number of 512-byte sectors that fits in max sectors.
bool ParseSectors(const std::string& text, std::uint64_t max, std::uint64_t* sectors, std::string* error);

// A device path the library can take: not empty, at most 24 characters.
bool CheckDevicePath(const std::string& path, std::string* error);

// Reads a whole file of at most maxBytes.
bool ReadWholeFile(const std::string& path, std::uint64_t maxBytes, std::string* content, std::string* error);

// "64.0 MiB", "512 bytes".
std::string HumanSize(std::uint64_t bytes);

}  // namespace quillon::tool

#endif
