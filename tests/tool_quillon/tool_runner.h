#ifndef QUILLON_TESTS_TOOL_RUNNER_H
#define QUILLON_TESTS_TOOL_RUNNER_H

// Runs the quillon program the way a shell would and captures what it printed.

#include <string>
#include <vector>

namespace quillon::tool_test {

struct Result {
  int status = -1;   // exit status; -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// quillon ARGS... with the environment as given; extraEnvironment entries are "NAME=value". Standard
// input is `input` (empty: nothing to read).
Result Quillon(const std::vector<std::string>& args, const std::vector<std::string>& extraEnvironment = {},
               const std::string& input = "");

// A fresh folder under the system's temporary folder, removed with its content by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Lines of a text without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace quillon::tool_test

#endif
