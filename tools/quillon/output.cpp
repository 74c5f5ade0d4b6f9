#include "output.h"

#include <algorithm>
#include <cstdio>

namespace quillon::tool {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // Device texts are bytes in no known code page; keep them visible without breaking UTF-8.
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
  if (!body_.empty()) body_ += ", ";
  body_ += JsonString(key) + ": " + json;
  return *this;
}

std::string JsonObject::Text() const { return "{" + body_ + "}"; }

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += items[i];
  }
  return out + "]";
}

void HexDumpLines(Output& out, const std::vector<std::uint8_t>& bytes, std::uint64_t address) {
  std::string previous;
  bool folded = false;
  for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
    const std::string body = HexBytes(bytes.data() + offset, std::min<std::size_t>(16, bytes.size() - offset));
    const bool last = offset + 16 >= bytes.size();
    if (body == previous && !last) {
      if (!folded) out.Line("*");
      folded = true;
      continue;
    }
    folded = false;
    previous = body;
    char prefix[24];
    std::snprintf(prefix, sizeof(prefix), "%06llx  ", static_cast<unsigned long long>(address + offset));
    out.Line(prefix + body);
  }
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text.push_back(' ');
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

}  // namespace quillon::tool
