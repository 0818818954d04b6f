// The quorvex command-line tool; see tool.h.
#include <csignal>
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "tool.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // A frame written to standard output (-o -) goes as it is, with no line ends
  // turned into carriage returns.
  _setmode(_fileno(stdout), _O_BINARY);
#else
  // A file-size limit then fails the write, which the frame command reports,
  // rather than ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  return quorvex::tool::run(args, std::cout, std::cerr, isatty(fileno(stdout)) != 0);
}
