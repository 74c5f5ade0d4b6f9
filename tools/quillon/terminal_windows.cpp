#include <io.h>
#include <windows.h>

#include <iostream>

#include "terminal.h"

namespace quillon::tool {

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

namespace {

// Echo off on the console for the life of the object.
class NoEcho {
 public:
  NoEcho() : input_(::GetStdHandle(STD_INPUT_HANDLE)) {
    active_ = input_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(input_, &saved_) &&
              ::SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  ~NoEcho() {
    if (active_) ::SetConsoleMode(input_, saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;
  bool Active() const { return active_; }

 private:
  HANDLE input_;
  DWORD saved_ = 0;
  bool active_ = false;
};

}  // namespace

bool ReadSecretLine(const std::string& prompt, std::string* line) {
  std::string text;
  if (::_isatty(::_fileno(stdin))) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    NoEcho quiet;
    const bool read = quiet.Active() && static_cast<bool>(std::getline(std::cin, text));
    std::fputs("\n", stderr);  // the line end the user typed was not echoed
    if (!read) return false;
  } else if (!std::getline(std::cin, text)) {
    return false;
  }
  if (!text.empty() && text.back() == '\r') text.pop_back();
  line->swap(text);
  return true;
}

}  // namespace quillon::tool
