#pragma once
// The command line's shell: message boxes become one line on standard error, the event pump has
// nothing to do, status texts print as they change, and runs of "." progress marks become a
// progress bar on a terminal (plain marks otherwise).

#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "app/Shell.h"
#include "platform/Diagnostics.h"

namespace qvfw::cli {

class CliShell final : public app::Shell, public platform::Diagnostics {
 public:
  // `out` receives status texts and progress; `err` messages and, when `verbose`, diagnostics.
  CliShell(std::ostream& out, std::ostream& err, bool outIsTerminal, bool verbose)
      : out_(out), err_(err), terminal_(outIsTerminal), verbose_(verbose) {}
  ~CliShell() override { Finish(); }

  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) override;
  // The command line never stops to ask: the question prints like a message, with the safe answer.
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override;
  // There is no dialog on the command line: files come as arguments, so this always cancels.
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view initialDir) override;
  // The command line has no window events; a command may hook its own work in (an interrupt
  // check, the device-change timer).
  void PumpEvents() override {
    if (pump_) pump_();
  }
  void SetPump(std::function<void()> pump) { pump_ = std::move(pump); }
  void DiagnosticsLine(std::string_view text) override;
  void Line(std::string_view text) override { DiagnosticsLine(text); }

  void TextChanged(const app::TextChange& change) override;
  void ExpectMarks(size_t count) override { expected_ = count; }

  // A line on standard error whatever the verbosity (the request trace uses it).
  void ErrorLine(std::string_view text);

  // Ends a status line that is still open (a run of marks waits for its end).
  void Finish();

 private:
  void Render();

  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool verbose_;

  bool lineOpen_ = false;
  std::string heading_;          // the text the marks follow
  std::optional<app::Rgb> colour_;
  const void* control_ = nullptr;
  size_t marks_ = 0;
  size_t expected_ = 0;          // 0 = unknown
  std::function<void()> pump_;
};

// The progress line a terminal shows for `marks` of `expected` (0 = unknown).
std::string ProgressBarText(size_t marks, size_t expected);

}  // namespace qvfw::cli
