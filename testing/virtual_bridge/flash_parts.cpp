#include "testing/virtual_bridge/flash_parts.h"

#include <cstdlib>
#include <sstream>
#include <string_view>

#include "access/catalogue.h"

namespace quillon::testing {

namespace {

std::vector<std::string> SplitCells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.push_back("");
  return cells;
}

std::vector<std::vector<std::string>> Rows(int resourceId) {
  std::string_view text;
  std::vector<std::vector<std::string>> rows;
  if (!LoadLibraryResource(resourceId, &text)) return rows;
  std::stringstream in{std::string(text)};
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    rows.push_back(SplitCells(line));
  }
  return rows;
}

// "9Fh" or "D8h/20h" -> the first byte; -1 for "/", empty or anything else.
int HexByte(const std::string& cell) {
  const std::string first = cell.substr(0, cell.find('/'));
  if (first.size() != 3 || (first[2] != 'h' && first[2] != 'H')) return -1;
  const std::string digits = first.substr(0, 2);
  char* end = nullptr;
  const long v = std::strtol(digits.c_str(), &end, 16);
  return *end == '\0' ? static_cast<int>(v) : -1;
}

}  // namespace

std::vector<CataloguedPart> CataloguedParts() {
  const auto ident = Rows(kFlashIdentificationTableId);
  const auto ops = Rows(kFlashOperationTableId);
  std::vector<CataloguedPart> parts;
  for (std::size_t i = 3; i < ident.size(); ++i) {
    const auto& row = ident[i];
    if (row.size() != 17 || row[1].empty()) continue;  // separators and the legend
    CataloguedPart part;
    part.name = row[1];
    for (int c = 2; c <= 4; ++c) {
      if (!row[c].empty()) part.rdid.push_back(HexByte(row[c]));
    }
    part.rems[0] = row[6].empty() ? -1 : HexByte(row[6]);
    part.rems[1] = row[7].empty() ? -1 : HexByte(row[7]);
    for (const auto& op : ops) {
      if (op.size() < 16 || op[1] != part.name) continue;
      part.pageSize = static_cast<std::uint32_t>(std::atoi(op[3].c_str()));
      part.sectorSize = static_cast<std::uint32_t>(std::atoi(op[4].c_str())) * 1024;
      for (int k = 0; k < 10; ++k) {
        const int v = HexByte(op[5 + k]);
        part.opcodes[k] = v > 0 ? static_cast<std::uint8_t>(v) : 0;
      }
      part.sizeBytes = static_cast<std::uint32_t>(std::atoi(op[15].c_str())) * 1024;
      break;
    }
    parts.push_back(part);
  }
  return parts;
}

FlashPart FlashPartFromCatalogue(const CataloguedPart& part) {
  FlashPart flash;
  flash.name = part.name;
  // A row without RDID bytes stands for the answer 00 00 00, which is what it is looked up by.
  flash.answersRdid = true;
  for (std::size_t i = 0; i < 3; ++i) {
    flash.rdid[i] = i < part.rdid.size() ? static_cast<std::uint8_t>(part.rdid[i]) : 0x00;
  }
  // A part without REMS bytes in its row answers FF FF to 0x90 and 0xAB alike.
  if (part.rems[0] >= 0 || part.rems[1] >= 0) {
    flash.rems = {static_cast<std::uint8_t>(part.rems[0] < 0 ? 0 : part.rems[0]),
                  static_cast<std::uint8_t>(part.rems[1] < 0 ? 0 : part.rems[1])};
    flash.res = flash.rems;
  }
  if (part.sizeBytes > 0) flash.size = part.sizeBytes;
  if (part.pageSize > 0) flash.pageSize = part.pageSize;
  if (part.opcodes[2]) flash.readOpcode = part.opcodes[2];
  if (part.opcodes[4]) flash.writeEnableOpcode = part.opcodes[4];
  if (part.opcodes[5]) flash.pageProgramOpcode = part.opcodes[5];
  flash.eraseOpcodes.clear();
  if (part.opcodes[6] && part.sectorSize > 0) flash.eraseOpcodes[part.opcodes[6]] = part.sectorSize;
  flash.chipEraseOpcodes.clear();
  if (part.opcodes[7]) flash.chipEraseOpcodes.push_back(part.opcodes[7]);
  return flash;
}

FlashPart FlashPartFromCatalogue(const std::string& name) {
  for (const auto& part : CataloguedParts()) {
    if (part.name == name) return FlashPartFromCatalogue(part);
  }
  FlashPart unknown;
  unknown.name = "";
  return unknown;
}

}  // namespace quillon::testing
