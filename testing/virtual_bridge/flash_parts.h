#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_FLASH_PARTS_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_FLASH_PARTS_H

// Flash parts for the virtual bridge made from the library's compiled-in catalogues, so that a test can
// attach any catalogued part by name:
//   ctl->flash.Load(quillon::testing::FlashPartFromCatalogue("EN25P20"));
// The catalogue text is read with a parser of its own here, not the library's, so that a fault in the
// library's parser cannot hide itself.

#include <string>
#include <vector>

#include "testing/virtual_bridge/virtual_bridge.h"

namespace quillon::testing {

// What one catalogue row says about a part.
struct CataloguedPart {
  std::string name;
  std::vector<int> rdid;        // bytes of the RDID cells that are set
  int rems[2] = {-1, -1};       // REMS cells, -1 when empty
  std::uint32_t pageSize = 0;
  std::uint32_t sectorSize = 0;
  std::uint8_t opcodes[10] = {};  // first alternative of each opcode cell, 0 for "/" or empty
  std::uint32_t sizeBytes = 0;  // capacity from the comment cell ("512 KiB")
};

// Every part of the identification table with its operation row, in catalogue order.
std::vector<CataloguedPart> CataloguedParts();

// A flash part that answers RDID and REMS as its identification row says (00 bytes for missing RDID
// cells; FF FF to 0x90 and 0xAB when the row has no REMS bytes), with the page size, capacity and erase/program/read opcodes of its operation row. Only the
// row's sector-erase and chip-erase opcodes erase anything. An unknown name gives a part named ""
// that answers FF everywhere.
FlashPart FlashPartFromCatalogue(const std::string& name);
FlashPart FlashPartFromCatalogue(const CataloguedPart& part);

}  // namespace quillon::testing

#endif
