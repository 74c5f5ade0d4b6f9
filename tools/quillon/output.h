#ifndef QUILLON_TOOL_OUTPUT_H
#define QUILLON_TOOL_OUTPUT_H

// What a command reports: lines of plain text for a person, and one JSON object for scripts. Commands
// fill both; the program prints the one that was asked for.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace quillon::tool {

std::string JsonString(const std::string& text);

// An object built key by key, keys in insertion order.
class JsonObject {
 public:
  JsonObject& Raw(const std::string& key, const std::string& json);
  JsonObject& Add(const std::string& key, const std::string& value) { return Raw(key, JsonString(value)); }
  JsonObject& Add(const std::string& key, const char* value) { return Raw(key, JsonString(value)); }
  JsonObject& Add(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }
  template <class T, class = std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
  JsonObject& Add(const std::string& key, T value) {
    return Raw(key, std::to_string(value));
  }
  std::string Text() const;
  bool Empty() const { return body_.empty(); }

 private:
  std::string body_;
};

std::string JsonArray(const std::vector<std::string>& items);  // items are JSON texts

class Output {
 public:
  // A line of the text form.
  void Line(const std::string& text) { lines_.push_back(text); }
  // The JSON form's fields (the program adds "command" and "ok").
  JsonObject& Json() { return json_; }
  // A message for standard error in both forms (also kept as "error" in the JSON form).
  void Error(const std::string& text) { errors_.push_back(text); }

  // Forgets the result reported so far (lines and JSON fields), keeping the errors: for a command
  // whose success turned out not to hold.
  void DiscardResult() {
    lines_.clear();
    json_ = JsonObject();
  }

  const std::vector<std::string>& Lines() const { return lines_; }
  const std::vector<std::string>& Errors() const { return errors_; }
  const JsonObject& JsonFields() const { return json_; }

 private:
  std::vector<std::string> lines_;
  std::vector<std::string> errors_;
  JsonObject json_;
};

// hexdump-style lines of 16 bytes from address ("001000  00 01 ..."), repeated lines folded into "*".
void HexDumpLines(Output& out, const std::vector<std::uint8_t>& bytes, std::uint64_t address);

// Bytes as two lower-case hexadecimal digits each, separated by blanks.
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);

}  // namespace quillon::tool

#endif
