#include <exception>
#include <iostream>

#include "cli/Cli.h"
#include "cli/Console.h"
#include "platform/Writing.h"

int main(int argc, char** argv) {
  if (qvfw::cli::IsTerminal(0)) qvfw::cli::SetInteractiveInput(&std::cin);
  int code = qvfw::cli::kExitDeviceFailed;
  {
    // Standard error carries the colours and the bar; its console's mode is put back at the end.
    const qvfw::cli::TerminalOutput terminal(2);
    qvfw::cli::CliShell::SetTerminalEscapes(terminal.escapes());
    try {
      code = qvfw::cli::Run(argc, argv, std::cout, std::cerr, terminal.terminal());
    } catch (const std::exception& e) {
      std::cout.flush();
      std::cerr << "qvfw: " << e.what() << '\n';
    } catch (...) {
      std::cout.flush();
      std::cerr << "qvfw: unexpected error\n";
    }
    std::cout.flush();
  }
  // A signal that came while the device was written ends the program now that it is done.
  qvfw::platform::RaisePendingSignal();
  return code;
}
