#include "access/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

int CellCount(std::string_view line) {
  int n = 1;
  for (char c : line) n += c == ',';
  return n;
}

std::string_view Table(int id) {
  std::string_view text;
  EXPECT_TRUE(LoadLibraryResource(id, &text)) << "resource " << id;
  return text;
}

TEST(CsvField, Cells) {
  const struct {
    std::string_view line;
    int n;
    std::string_view cell;
  } cases[] = {
    {"a,b,c", 1, "a"},  {"a,b,c", 3, "c"},     {"a,b,c", 4, ""},     {",x,", 1, ""},
    {",x,", 2, "x"},    {",x,", 3, ""},        {",x,", 4, ""},       {"a,b\r", 2, "b\r"},
    {"", 1, ""},        {"a,b", 0, ""},        {"a,b", -3, ""},      {"only", 1, "only"},
    {",W25X40,EFh", 2, "W25X40"},
  };
  for (const auto& c : cases) EXPECT_EQ(CsvField(c.line, c.n), c.cell) << c.line << " #" << c.n;
}

TEST(ParseCatalogueNumber, EveryNotation) {
  const struct {
    std::string_view cell;
    std::uint32_t value;
  } cases[] = {
    {"9Fh", 0x9F},        {"c2h", 0xC2},         {"C7h/60h", 0xC7},   {"90h/ABh", 0x90},
    {"/", 0},             {"", 0},               {"/60h", 0},         {"0101 X010", 5},
    {"X1", 1},            {"1111", 15},          {"0xff", 0},         {"zz", 0},
    {"h", 0},             {"-1h", 0},            {" 9Fh", 0x9F},      {"FFFFFFFFh", 0xFFFFFFFFu},
    {"1FFFFFFFFh", 0},    {"D8H", 0xD8},         {"20h ", 0x20},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseCatalogueNumber(c.cell), c.value) << '"' << c.cell << '"';
}

TEST(ParseCatalogueCount, LeadingDecimal) {
  const struct {
    std::string_view cell;
    std::uint32_t value;
  } cases[] = {{"256 bytes", 256}, {"1 byte", 1}, {"64-Kbyte", 64}, {"", 0}, {"bytes", 0}, {"99999999999", 0}};
  for (const auto& c : cases) EXPECT_EQ(ParseCatalogueCount(c.cell), c.value) << c.cell;
}

TEST(LoadLibraryResource, OnlyTheTwoCatalogues) {
  std::string_view text;
  EXPECT_FALSE(LoadLibraryResource(107, &text));
  EXPECT_FALSE(LoadLibraryResource(kFlashIdentificationTableId, nullptr));
}

// Part rows of a table: lines after the three header lines whose name cell is set, up to the first
// line with fewer cells than a part row (the legend of the identification table).
std::vector<std::string_view> PartRows(const std::vector<std::string_view>& lines, int cells) {
  std::vector<std::string_view> rows;
  for (std::size_t i = 3; i < lines.size() && CellCount(lines[i]) == cells; ++i)
    if (!CsvField(lines[i], 2).empty()) rows.push_back(lines[i]);
  return rows;
}

TEST(FlashCatalogues, LayoutOfBothTables) {
  const std::string_view ident = Table(kFlashIdentificationTableId);
  const std::string_view ops = Table(kFlashOperationTableId);
  for (std::string_view text : {ident, ops}) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (std::string_view line : Lines(text)) {
      ASSERT_FALSE(line.empty());
      EXPECT_EQ(line.back(), '\r') << line;
      EXPECT_EQ(line.find('"'), std::string_view::npos) << line;
    }
  }
  const auto il = Lines(ident);
  ASSERT_GT(il.size(), 23u);
  EXPECT_EQ(il[0], "SPI Serial Flash\r");
  EXPECT_EQ(il[1], ",,Read Identification,,,,Read Manufacturer ID and Device ID,,,Status Register Format,,,,,,,\r");
  EXPECT_EQ(il[2], "Vendor,Name,1st byte,2nd byte,3th byte,4th byte,1st byte,2nd byte,3th byte,"
                   "Bit7,Bit6,Bit5,Bit4,Bit3,Bit2,Bit1,Bit0\r");
  const auto ol = Lines(ops);
  EXPECT_EQ(ol[0], "SPI Serial Flash\r");
  EXPECT_EQ(ol[2], "Vendor,Name,Clock Frequency,Page Size,Sector Size,RDID,REMS,READ,RDSR,WREN,PAGE_ PROG,"
                   "SECTOR_ERASE,CHIP_ERASE,EWSR,WRSR,Comment\r");

  // The identification rows end with a 20-line legend of status-register bit names.
  const auto identRows = PartRows(il, 17);
  std::size_t legendStart = 0;
  for (std::size_t i = 3; i < il.size(); ++i) {
    if (CellCount(il[i]) != 17) {
      legendStart = i;
      break;
    }
  }
  ASSERT_NE(legendStart, 0u);
  ASSERT_EQ(il.size() - legendStart, 20u);
  for (std::size_t i = legendStart; i < il.size(); ++i) EXPECT_EQ(CellCount(il[i]), 2) << il[i];
  EXPECT_EQ(il[legendStart], "SRWD,Status Register Write Protect\r");

  // Vendor groups: the name on a group's first row, one row of commas between groups.
  std::vector<std::string> vendors;
  const std::string separator = std::string(16, ',') + "\r";
  for (std::size_t i = 3; i < legendStart; ++i) {
    if (il[i] == separator) continue;
    ASSERT_FALSE(CsvField(il[i], 2).empty()) << il[i];
    if (i == 3 || il[i - 1] == separator) {
      vendors.push_back(std::string(CsvField(il[i], 1)));
    } else {
      EXPECT_TRUE(CsvField(il[i], 1).empty()) << il[i];
    }
  }
  EXPECT_EQ(vendors, (std::vector<std::string>{"EON", "ST", "MXIC", "ATMEL", "PMC", "WINBOND", "SST", "Gigadevice",
                                               "AMIC", ""}));

  // Same parts in the same order in both tables.
  const auto opRows = PartRows(ol, 16);
  ASSERT_GE(identRows.size(), 120u);
  ASSERT_EQ(identRows.size(), opRows.size());
  for (std::size_t i = 0; i < identRows.size(); ++i)
    EXPECT_EQ(CsvField(identRows[i], 2), CsvField(opRows[i], 2)) << "row " << i;
}

TEST(FlashCatalogues, EveryCellParses) {
  const auto identRows = PartRows(Lines(Table(kFlashIdentificationTableId)), 17);
  for (std::string_view row : identRows) {
    bool anyId = false;
    for (int cell = 3; cell <= 9; ++cell) {
      const std::string_view text = CsvField(row, cell);
      if (text.empty()) continue;
      anyId = true;
      ASSERT_EQ(text.size(), 3u) << row << " cell " << cell;
      EXPECT_EQ(ParseCatalogueNumber(text), std::stoul(std::string(text.substr(0, 2)), nullptr, 16))
          << row << " cell " << cell;
    }
    EXPECT_TRUE(anyId) << row;
    for (int cell = 10; cell <= 17; ++cell) EXPECT_FALSE(CsvField(row, cell).empty()) << row;
  }
  const auto opRows = PartRows(Lines(Table(kFlashOperationTableId)), 16);
  for (std::string_view row : opRows) {
    const std::uint32_t page = ParseCatalogueCount(CsvField(row, 4));
    EXPECT_TRUE(page == 256 || page == 1) << row;
    const std::uint32_t sector = ParseCatalogueCount(CsvField(row, 5));
    EXPECT_TRUE(sector == 4 || sector == 32 || sector == 64 || sector == 256) << row;
    for (int cell = 6; cell <= 15; ++cell) {
      const std::string_view text = CsvField(row, cell);
      const std::uint32_t v = ParseCatalogueNumber(text);
      EXPECT_TRUE(text == "/" ? v == 0 : v > 0 && v <= 0xFF) << row << " cell " << cell;
    }
  }
}

TEST(FlashCatalogues, RowsNamedInTheDocumentation) {
  const std::string_view ident = Table(kFlashIdentificationTableId);
  const std::string_view ops = Table(kFlashOperationTableId);
  EXPECT_NE(ident.find("\n,W25X40,EFh,30h,13h,,EFh,12h,,SRP,0,TB,BP2,BP1,BP0,WEL,BUSY\r\n"), std::string_view::npos);
  EXPECT_NE(ident.find("\n,GD25Q16,C8h,40h,15h,,C8h,14h,,SRP0,BP4,BP3,BP2,BP1,BP0,WEL,WIP\r\n"), std::string_view::npos);
  EXPECT_NE(ops.find("\n,EN25P20,,256 bytes,64-Kbyte,9Fh,90h,03h,05h,06h,02h,D8h,C7h,06h,01h,"), std::string_view::npos);
}

TEST(FindCataloguePart, ShippedIdentificationTable) {
  const std::string_view ident = Table(kFlashIdentificationTableId);
  const struct {
    std::uint32_t jedec;
    std::uint32_t rems;
    const char* name; // nullptr: no part
  } cases[] = {
    {0x1330EF, 0x12EF, "W25X40"},
    {0x12201C, 0x111C, "EN25P20"},
    {0x1540C8, 0x14C8, "GD25Q16"},
    {0x1430EF, 0xFFFF, "W25X80"},    // empty REMS cells match only 0xFFFF
    {0x1430EF, 0x13EF, nullptr},
    {0x1330EF, 0x0000, nullptr},     // a REMS read of 0 is never looked up as such
    {0x1520C2, 0x14C2, "MX25L1605"}, // identical answers: the first row wins
    {0x000000, 0x48BF, "SST25VF512A"},
    {0x000000, 0xFFFF, nullptr},     // the status-bit legend is not a part
    {0xFFFFFF, 0xFFFF, nullptr},
  };
  for (const auto& c : cases) {
    std::string name = "previous";
    const bool found = FindCataloguePart(ident, c.jedec, c.rems, &name);
    EXPECT_EQ(found, c.name != nullptr) << std::hex << c.jedec << " " << c.rems;
    EXPECT_EQ(name, c.name ? c.name : "previous");
  }
}

TEST(FindCatalogueOperations, ShippedOperationTable) {
  const std::string_view ops = Table(kFlashOperationTableId);
  CatalogueOperations w;
  ASSERT_TRUE(FindCatalogueOperations(ops, "W25X40", &w));
  EXPECT_EQ(w.pageSize, 256u);
  EXPECT_EQ(w.sectorSize, 4096u);
  const std::uint8_t expected[] = {0x9F, 0x90, 0x03, 0x05, 0x06, 0x02, 0x20, 0xC7, 0x06, 0x01};
  EXPECT_EQ(std::vector<std::uint8_t>(w.opcodes, w.opcodes + 10), std::vector<std::uint8_t>(expected, expected + 10));

  CatalogueOperations e;
  ASSERT_TRUE(FindCatalogueOperations(ops, "EN25P20", &e));
  EXPECT_EQ(e.sectorSize, 65536u);
  EXPECT_EQ(e.opcodes[6], 0xD8);

  CatalogueOperations sst;
  ASSERT_TRUE(FindCatalogueOperations(ops, "SST25VF512A", &sst));
  EXPECT_EQ(sst.pageSize, 1u);
  EXPECT_EQ(sst.opcodes[0], 0) << "no RDID: the default stays";
  EXPECT_EQ(sst.opcodes[8], 0x50);

  CatalogueOperations none;
  EXPECT_FALSE(FindCatalogueOperations(ops, "W25X4", &none));
  EXPECT_FALSE(FindCatalogueOperations(ops, "", &none));
}

TEST(FindCatalogueOperations, MalformedCellsKeepDefaults) {
  const std::string_view table =
    "SPI Serial Flash\r\n"
    ",,,\r\n"
    ",HUGE,,70000 bytes,99999-Kbyte,zz,1FFh,/,,03h/0Bh,0101 X010,-5h,C7h,,01h\r\n"
    ",EDGE,,65536 bytes,16384-Kbyte,9Fh\r\n"
    ",SHORT";
  CatalogueOperations huge;
  ASSERT_TRUE(FindCatalogueOperations(table, "HUGE", &huge));
  EXPECT_EQ(huge.pageSize, 0u);
  EXPECT_EQ(huge.sectorSize, 0u);
  const std::uint8_t expected[] = {0, 0, 0, 0, 0x03, 5, 0, 0xC7, 0, 0x01};
  EXPECT_EQ(std::vector<std::uint8_t>(huge.opcodes, huge.opcodes + 10),
            std::vector<std::uint8_t>(expected, expected + 10));

  CatalogueOperations edge;
  ASSERT_TRUE(FindCatalogueOperations(table, "EDGE", &edge));
  EXPECT_EQ(edge.pageSize, 65536u);
  EXPECT_EQ(edge.sectorSize, 1u << 24);
  EXPECT_EQ(edge.opcodes[0], 0x9F);
  EXPECT_EQ(edge.opcodes[9], 0);

  CatalogueOperations shortRow;
  ASSERT_TRUE(FindCatalogueOperations(table, "SHORT", &shortRow));
  EXPECT_EQ(shortRow.pageSize, 0u);
}

}  // namespace
}  // namespace quillon
