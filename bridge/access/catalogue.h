#ifndef QUILLON_ACCESS_CATALOGUE_H
#define QUILLON_ACCESS_CATALOGUE_H

// The two SPI flash catalogues compiled into the library as CSV text (CR LF line ends, no quoting):
// the identification table names a part by its RDID and REMS answers, the operation table gives the
// part's geometry and opcodes. Both list the same parts in the same order; the part name joins them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Resource identifiers (RCDATA, language 2052) of the two catalogues.
constexpr int kFlashOperationTableId = 105;
constexpr int kFlashIdentificationTableId = 106;

// Number of opcodes an operation row gives, in the order of the SPI opcode table: RDID, REMS, READ,
// RDSR, WREN, PAGE_PROG, SECTOR_ERASE, CHIP_ERASE, EWSR, WRSR.
constexpr std::size_t kCatalogueOpcodeCount = 10;

// Largest page and sector the operation table may set: one command moves at most 64 KiB, and flash
// addresses are 24 bits wide.
constexpr std::uint32_t kCatalogueMaxPageSize = 65536;
constexpr std::uint32_t kCatalogueMaxSectorSize = 1u << 24;

// Platform: the bytes of one of the library's own compiled-in resources. The bytes stay valid for
// the life of the process. False when the resource is not there.
bool LoadLibraryResource(int id, std::string_view* data);

// The n-th (1-based) comma-separated cell of a line. The last cell runs to the end of the line (a
// trailing CR stays part of it); empty when the line has fewer than n cells or n is below 1.
std::string_view CsvField(std::string_view line, int n);

// Number written in a catalogue cell: "9Fh"/"c2h" (hexadecimal, reading up to the first non-digit),
// "C7h/60h" (only the first alternative counts), "0101 X010" (binary, X is a 0 bit, reading up to
// the first non-digit). Empty, "/", and anything that cannot be read (no digits, a sign, a value
// beyond 32 bits) give 0.
std::uint32_t ParseCatalogueNumber(std::string_view cell);

// Leading decimal integer of a cell ("256 bytes" -> 256, "4-Kbyte" -> 4); 0 when there is none or
// it does not fit in 32 bits.
std::uint32_t ParseCatalogueCount(std::string_view cell);

// Searches identification-table text for the first part whose RDID bytes (cells 3-5, first byte
// lowest) equal `jedecId` and whose REMS bytes (cells 7-8, first byte lowest; 0 counts as 0xFFFF)
// equal `remsId`. Rows without any identification byte (title, separators, the status-bit legend)
// never match. True and the part name when found.
bool FindCataloguePart(std::string_view identificationTable, std::uint32_t jedecId, std::uint32_t remsId,
                       std::string* name);

// What the operation row of a part sets. Opcodes of 0 ("/", empty or unreadable cells) keep the
// caller's value, as do a page size or sector size of 0.
struct CatalogueOperations {
  std::uint8_t opcodes[kCatalogueOpcodeCount] = {};
  std::uint32_t pageSize = 0;
  std::uint32_t sectorSize = 0;
  std::uint32_t sizeBytes = 0;  // the part's capacity from the comment cell ("512 KiB"); 0 when unknown
};

// Finds the first operation row whose part name (cell 2) equals `name` exactly. Page sizes above
// kCatalogueMaxPageSize and sector sizes above kCatalogueMaxSectorSize are refused (left 0), as are
// capacities (cell 16, in KiB) beyond the 24-bit flash address space.
bool FindCatalogueOperations(std::string_view operationTable, std::string_view name, CatalogueOperations* ops);

}  // namespace quillon

#endif
