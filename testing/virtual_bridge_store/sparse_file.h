#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_STORE_SPARSE_FILE_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_STORE_SPARSE_FILE_H

// Disk images kept as sparse files: only the blocks that hold something take room on the file system,
// and external tools (fsck, mtools, a loop mount) read the file as an ordinary disk image.

#include <cstdint>
#include <functional>
#include <string>

namespace quillon::testing::store {

// Calls visit(offset, length) for the parts of a file that may hold data, in ascending order. Where the
// file system reports holes they are skipped; elsewhere the whole file is one part. False when the
// file cannot be opened.
bool ForEachDataExtent(const std::string& file,
                       const std::function<bool(std::uint64_t offset, std::uint64_t length)>& visit);

}  // namespace quillon::testing::store

#endif
