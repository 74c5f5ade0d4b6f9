#include "access/catalogue.h"

#include <cctype>

namespace quillon {

namespace {

// Reads digits of the given base from the start of `text`; false when there is none or the value
// does not fit in 32 bits.
bool ReadLeadingNumber(std::string_view text, unsigned base, std::uint32_t* value) {
  std::uint64_t v = 0;
  std::size_t digits = 0;
  for (char c : text) {
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else break;
    if (d >= base) break;
    v = v * base + d;
    if (v > 0xFFFFFFFFu) return false;
    ++digits;
  }
  if (digits == 0) return false;
  *value = static_cast<std::uint32_t>(v);
  return true;
}

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

// Calls `visit` for every line of `text` (split at LF, a CR stays in the line) until it returns true.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (visit(line)) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

std::string_view CsvField(std::string_view line, int n) {
  if (n < 1) return {};
  for (int i = 1; i < n; ++i) {
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) return {};
    line.remove_prefix(comma + 1);
  }
  return line.substr(0, line.find(','));
}

std::uint32_t ParseCatalogueNumber(std::string_view cell) {
  if (cell.empty() || cell == "/") return 0;
  cell = cell.substr(0, cell.find('/'));
  std::string text(cell);
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::string_view digits = SkipBlanks(text);
  std::uint32_t value = 0;
  if (text.find('h') != std::string::npos) {
    return ReadLeadingNumber(digits, 16, &value) ? value : 0;
  }
  std::string binary(digits);
  for (char& c : binary) {
    if (c == 'x') c = '0';
  }
  return ReadLeadingNumber(binary, 2, &value) ? value : 0;
}

std::uint32_t ParseCatalogueCount(std::string_view cell) {
  std::uint32_t value = 0;
  return ReadLeadingNumber(SkipBlanks(cell), 10, &value) ? value : 0;
}

bool FindCataloguePart(std::string_view identificationTable, std::uint32_t jedecId, std::uint32_t remsId,
                       std::string* name) {
  bool found = false;
  ForEachLine(identificationTable, [&](std::string_view line) {
    const std::string_view part = CsvField(line, 2);
    if (part.empty()) return false;
    bool hasId = false;
    for (int cell = 3; cell <= 9; ++cell) hasId = hasId || !CsvField(line, cell).empty();
    if (!hasId) return false;
    const std::uint32_t jedec = ParseCatalogueNumber(CsvField(line, 3)) |
                                ParseCatalogueNumber(CsvField(line, 4)) << 8 |
                                ParseCatalogueNumber(CsvField(line, 5)) << 16;
    std::uint32_t rems = ParseCatalogueNumber(CsvField(line, 7)) | ParseCatalogueNumber(CsvField(line, 8)) << 8;
    if (rems == 0) rems = 0xFFFF;
    if (jedec != jedecId || rems != remsId) return false;
    if (name != nullptr) *name = std::string(part);
    found = true;
    return true;
  });
  return found;
}

bool FindCatalogueOperations(std::string_view operationTable, std::string_view name, CatalogueOperations* ops) {
  if (name.empty() || ops == nullptr) return false;
  bool found = false;
  ForEachLine(operationTable, [&](std::string_view line) {
    if (CsvField(line, 2) != name) return false;
    CatalogueOperations row;
    for (std::size_t i = 0; i < kCatalogueOpcodeCount; ++i) {
      const std::uint32_t opcode = ParseCatalogueNumber(CsvField(line, 6 + static_cast<int>(i)));
      row.opcodes[i] = opcode <= 0xFF ? static_cast<std::uint8_t>(opcode) : 0;
    }
    const std::uint32_t page = ParseCatalogueCount(CsvField(line, 4));
    row.pageSize = page <= kCatalogueMaxPageSize ? page : 0;
    const std::uint32_t sectorKiB = ParseCatalogueCount(CsvField(line, 5));
    row.sectorSize = sectorKiB <= kCatalogueMaxSectorSize / 1024 ? sectorKiB * 1024 : 0;
    const std::uint32_t capacityKiB = ParseCatalogueCount(CsvField(line, 16));
    row.sizeBytes = capacityKiB <= kCatalogueMaxSectorSize / 1024 ? capacityKiB * 1024 : 0;
    *ops = row;
    found = true;
    return true;
  });
  return found;
}

}  // namespace quillon
