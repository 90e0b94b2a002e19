#pragma once
// What the command line draws on: whether a stream is a terminal, and whether that terminal takes
// escape codes (the colours of the status line, the bar's erase-to-end-of-line).
//
// On the window platform a terminal is a console: a file, a pipe or NUL is none (the C runtime's
// isatty takes every character device for one, NUL included). The console's escape-code
// processing (ENABLE_VIRTUAL_TERMINAL_PROCESSING) is switched on for as long as the program runs
// and the mode it had is put back at the end; a console that does not have it gets plain text.
// Elsewhere a terminal is what isatty says, and it takes escape codes.

namespace qvfw::cli {

// Whether descriptor `fd` (0, 1, 2) is a terminal.
bool IsTerminal(int fd);

class TerminalOutput {
 public:
  // Looks at descriptor `fd` and, on a console, switches its escape codes on.
  explicit TerminalOutput(int fd);
  // Puts the console's mode back as it was found.
  ~TerminalOutput();
  TerminalOutput(const TerminalOutput&) = delete;
  TerminalOutput& operator=(const TerminalOutput&) = delete;

  bool terminal() const { return terminal_; }
  bool escapes() const { return escapes_; }

 private:
  bool terminal_ = false;
  bool escapes_ = false;
  void* console_ = nullptr;        // the console's handle, when the mode was changed
  unsigned long foundMode_ = 0;    // the mode to put back
};

}  // namespace qvfw::cli
