#include "args.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace quillon::tool {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* out, std::string* error) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::size_t start = hex ? 2 : 0;
  const std::uint64_t base = hex ? 16 : 10;
  std::uint64_t value = 0;
  bool overflow = false;
  bool ok = text.size() > start;
  for (std::size_t i = start; ok && i < text.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    std::uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint64_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint64_t>(c - 'a' + 10);
    } else {
      ok = false;
      break;
    }
    if (value > (UINT64_MAX - digit) / base) overflow = true;
    value = value * base + digit;
  }
  if (!ok) {
    *error = "'" + text + "' is not a number";
    return false;
  }
  if (overflow || value > max) {
    char limit[64];
    std::snprintf(limit, sizeof(limit), "%llu (0x%llx)", static_cast<unsigned long long>(max),
                  static_cast<unsigned long long>(max));
    *error = "'" + text + "' is larger than " + limit;
    return false;
  }
  *out = value;
  return true;
}

bool ParseSize(const std::string& text, std::uint64_t* bytes, std::string* error) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (unit.size() == 3 && unit.compare(1, 2, "ib") == 0) unit.resize(1);
  int shift = -1;
  if (unit.empty() || unit == "b") shift = 0;
  if (unit == "s") shift = 9;
  if (unit == "k") shift = 10;
  if (unit == "m") shift = 20;
  if (unit == "g") shift = 30;
  if (unit == "t") shift = 40;
  std::uint64_t number = 0;
  std::string ignored;
  if (digits == 0 || shift < 0 || !ParseUnsigned(text.substr(0, digits), UINT64_MAX >> shift, &number, &ignored)) {
    *error = "'" + text + "' is not a size (a number with an optional unit: s for 512-byte sectors, K, M, G, T)";
    return false;
  }
  *bytes = number << shift;
  return true;
}

bool ParseSectors(const std::string& text, std::uint64_t max, std::uint64_t* sectors, std::string* error) {
  std::uint64_t bytes = 0;
  if (!ParseSize(text, &bytes, error)) return false;
  if (bytes % 512 != 0) {
    *error = "'" + text + "' is not a whole number of 512-byte sectors";
    return false;
  }
  if (bytes / 512 > max) {
    *error = "'" + text + "' does not fit: at most " + std::to_string(max) + " sectors (" + HumanSize(max * 512) + ")";
    return false;
  }
  *sectors = bytes / 512;
  return true;
}

bool CheckDevicePath(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "the device path is empty";
    return false;
  }
  if (path.size() > kMaxDevicePath) {
    *error = "device path '" + path + "' is " + std::to_string(path.size()) + " characters long; the library takes at most " +
             std::to_string(kMaxDevicePath);
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::uint64_t maxBytes, std::string* content, std::string* error) {
  std::error_code ec;
  const std::filesystem::path file(path);
  if (!std::filesystem::exists(file, ec)) {
    *error = path + ": no such file";
    return false;
  }
  if (std::filesystem::is_directory(file, ec)) {
    *error = path + ": is a folder, not a file";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string data;
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof(buffer));
    data.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (data.size() > maxBytes) {
      *error = path + ": larger than " + HumanSize(maxBytes);
      return false;
    }
  }
  if (in.bad()) {
    *error = path + ": read error";
    return false;
  }
  *content = std::move(data);
  return true;
}

std::string HumanSize(std::uint64_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace quillon::tool
