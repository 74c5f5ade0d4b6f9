#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "terminal.h"

namespace quillon::tool {

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

namespace {

// Echo off for the life of the object; the terminal's settings come back even when reading fails.
class NoEcho {
 public:
  NoEcho() : active_(::tcgetattr(STDIN_FILENO, &saved_) == 0) {
    if (!active_) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~NoEcho() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;
  bool Active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool ReadSecretLine(const std::string& prompt, std::string* line) {
  std::string text;
  if (::isatty(STDIN_FILENO)) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    NoEcho quiet;
    if (!quiet.Active() || !std::getline(std::cin, text)) return false;
  } else if (!std::getline(std::cin, text)) {
    return false;
  }
  if (!text.empty() && text.back() == '\r') text.pop_back();
  line->swap(text);
  return true;
}

}  // namespace quillon::tool
