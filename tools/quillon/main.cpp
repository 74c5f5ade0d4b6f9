// quillon: the Quillon library's exports from the command line.

#include <clocale>

#include "cli.h"

int main(int argc, char** argv) {
  // Labels and other texts are in the user's character set, which the library converts from.
  std::setlocale(LC_CTYPE, "");
  return quillon::tool::RunTool(argc, argv);
}
