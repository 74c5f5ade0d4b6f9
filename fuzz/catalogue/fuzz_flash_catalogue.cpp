// Fuzz target for the flash catalogue parser: the input is taken as both catalogues at once (the
// identification table and the operation table), searched for parts whose identifiers and names come
// from the input itself, and cut into cells that are read as numbers and counts. Every read must stay
// inside the text, whatever its lines, commas and digits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "access/catalogue.h"

using namespace quillon;

namespace {

std::uint32_t Le(const std::uint8_t* data, std::size_t size, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i)
    if (at + i < size) value |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Identifiers taken from the first bytes, and the common "all FF" answers of a missing part.
  const std::uint32_t jedecs[] = {Le(data, size, 0, 3), 0xFFFFFF, 0};
  const std::uint32_t remses[] = {Le(data, size, 3, 2), 0xFFFF};
  std::string name;
  for (std::uint32_t jedec : jedecs)
    for (std::uint32_t rems : remses) FindCataloguePart(text, jedec, rems, &name);
  FindCataloguePart(text, jedecs[0], remses[0], nullptr);

  // Every name the text holds in a second cell is looked up in the text as an operation table.
  CatalogueOperations ops;
  std::string_view rest = text;
  for (int lines = 0; lines < 64 && !rest.empty(); ++lines) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    for (int cell = 0; cell <= 18; ++cell) {
      const std::string_view field = CsvField(line, cell);
      ParseCatalogueNumber(field);
      ParseCatalogueCount(field);
    }
    // A few lookups by name: each one reads the whole text again.
    if (lines % 8 == 0) FindCatalogueOperations(text, CsvField(line, 2), &ops);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (!name.empty()) FindCatalogueOperations(text, name, &ops);
  FindCatalogueOperations(text, "", &ops);
  FindCatalogueOperations(text, "W25X40", nullptr);
  return 0;
}
