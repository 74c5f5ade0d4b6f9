#ifndef QUILLON_TOOL_PROGRESS_H
#define QUILLON_TOOL_PROGRESS_H

// A progress line on standard error for the long exports (firmware update, format, ISO write). The
// exports report nothing while they run, so the line counts what passes the library's platform seam:
// while a ProgressLine lives it sits in front of the current backend and forwards every call.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon::tool {

class ProgressLine {
 public:
  // expectedBytesOut: bytes the operation will send to the device, for a percentage (0 when unknown).
  // A disabled line does nothing at all.
  ProgressLine(std::string label, bool enabled, std::uint64_t expectedBytesOut = 0);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  class Counter;

 private:
  std::unique_ptr<Counter> counter_;
};

}  // namespace quillon::tool

#endif
