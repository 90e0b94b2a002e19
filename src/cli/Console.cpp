#include "cli/Console.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qvfw::cli {

#if defined(_WIN32)

namespace {
HANDLE HandleOf(int fd) {
  const intptr_t h = ::_get_osfhandle(fd);
  return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}
}  // namespace

bool IsTerminal(int fd) {
  DWORD mode = 0;
  const HANDLE h = HandleOf(fd);
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;  // only a console has a mode
}

TerminalOutput::TerminalOutput(int fd) {
  const HANDLE h = HandleOf(fd);
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return;
  terminal_ = true;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) {
    escapes_ = true;
    return;
  }
  // A console without the processing refuses the mode: it gets plain text.
  if (::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    escapes_ = true;
    console_ = h;
    foundMode_ = mode;
  }
}

TerminalOutput::~TerminalOutput() {
  if (console_) ::SetConsoleMode(static_cast<HANDLE>(console_), foundMode_);
}

#else

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

TerminalOutput::TerminalOutput(int fd) : terminal_(IsTerminal(fd)), escapes_(terminal_) {}

TerminalOutput::~TerminalOutput() = default;

#endif

}  // namespace qvfw::cli
