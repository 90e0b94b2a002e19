#include <unistd.h>

#include <exception>
#include <iostream>

#include "cli/Cli.h"
#include "platform/Writing.h"

int main(int argc, char** argv) {
  if (isatty(STDIN_FILENO) == 1) qvfw::cli::SetInteractiveInput(&std::cin);
  try {
    const int code = qvfw::cli::Run(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
    // A signal that came while the device was written ends the program now that it is done.
    std::cout.flush();
    qvfw::platform::RaisePendingSignal();
    return code;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "qvfw: " << e.what() << '\n';
  } catch (...) {
    std::cout.flush();
    std::cerr << "qvfw: unexpected error\n";
  }
  return qvfw::cli::kExitDeviceFailed;
}
