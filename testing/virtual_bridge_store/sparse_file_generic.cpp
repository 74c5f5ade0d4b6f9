// Data extents where the file system is not asked about holes: the whole file is one extent.

#include <filesystem>
#include <system_error>

#include "sparse_file.h"

namespace quillon::testing::store {

bool ForEachDataExtent(const std::string& file,
                       const std::function<bool(std::uint64_t offset, std::uint64_t length)>& visit) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) return false;
  return size == 0 || visit(0, size);
}

}  // namespace quillon::testing::store
