// quillon: the Quillon library's exports from the command line.

#include "cli.h"

int main(int argc, char** argv) { return quillon::tool::RunTool(argc, argv); }
