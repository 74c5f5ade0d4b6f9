// Data extents of a sparse file through lseek's SEEK_DATA / SEEK_HOLE, so that loading a large image
// reads only what was ever written.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "sparse_file.h"

namespace quillon::testing::store {

bool ForEachDataExtent(const std::string& file,
                       const std::function<bool(std::uint64_t offset, std::uint64_t length)>& visit) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  bool ok = true;
  off_t position = 0;
  while (ok && static_cast<std::uint64_t>(position) < size) {
    const off_t data = ::lseek(fd, position, SEEK_DATA);
    if (data < 0) {
      // ENXIO: no data after position. Anything else: the file system cannot tell, read it all.
      if (errno != ENXIO) ok = visit(static_cast<std::uint64_t>(position), size - static_cast<std::uint64_t>(position));
      break;
    }
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || static_cast<std::uint64_t>(hole) > size) hole = static_cast<off_t>(size);
    ok = visit(static_cast<std::uint64_t>(data), static_cast<std::uint64_t>(hole - data));
    position = hole;
  }
  ::close(fd);
  return ok;
}

}  // namespace quillon::testing::store
