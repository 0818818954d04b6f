// The quorvex command-line tool; see tool.h.
#include <iostream>

#include "tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quorvex::tool::run(args, std::cout, std::cerr);
}
