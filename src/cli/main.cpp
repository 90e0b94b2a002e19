#include <unistd.h>

#include <iostream>

#include "cli/Cli.h"

int main(int argc, char** argv) {
  return qvfw::cli::Run(argc, argv, std::cout, std::cerr, isatty(STDOUT_FILENO) == 1);
}
