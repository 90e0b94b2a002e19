#pragma once
// The command line's shell. Standard output belongs to the command's own output, so everything
// else goes to standard error: message boxes as one line each, the status line's texts as they
// change, and on a terminal a progress bar drawn from the operation's phases. The panel's status
// texts and their "." marks are for the window; the command line shows them with -v only.

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "app/Progress.h"
#include "app/Shell.h"
#include "platform/Diagnostics.h"

namespace qvfw::cli {

class CliShell final : public app::Shell, public platform::Diagnostics {
 public:
  // `out` is kept for the command; `err` receives everything this shell prints. `errIsTerminal`
  // allows the bar and colours (unless NO_COLOR is set); the colours and the bar's erase-line
  // code also need a terminal that takes escape codes (TerminalEscapes).
  CliShell(std::ostream& out, std::ostream& err, bool errIsTerminal, bool verbose);

  // Whether the program's terminal takes escape codes (Console.h); true unless main says
  // otherwise. Without them the bar is redrawn over itself in plain text and there is no colour.
  static void SetTerminalEscapes(bool escapes);
  ~CliShell() override { Finish(); }

  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) override;
  // The command line never stops to ask: the question prints like a message, with the safe answer.
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override;
  // There is no dialog on the command line: files come as arguments, so this always cancels.
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                            std::string_view initialDir) override;
  // The command line has no window events; a command may hook its own work in.
  void PumpEvents() override {
    if (pump_) pump_();
  }
  void SetPump(std::function<void()> pump) { pump_ = std::move(pump); }
  void DiagnosticsLine(std::string_view text) override;
  void Line(std::string_view text) override { DiagnosticsLine(text); }

  void TextChanged(const app::TextChange& change) override;
  // The bar of the running operation (a terminal only).
  void ShowProgress(const app::ProgressView& view);
  // The same with a label of the caller's (a run over several bridges tells how many are done).
  void ShowProgress(double fraction, std::string_view label);

  // A line on standard error whatever the verbosity (the request trace uses it).
  void ErrorLine(std::string_view text);
  // Ends a bar that is still drawn.
  void Finish();

 private:
  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  bool escapes_;
  bool colour_;
  bool verbose_;
  bool barOpen_ = false;
  size_t barWidth_ = 0;  // the characters of the bar last drawn, for a redraw without escape codes
  std::function<void()> pump_;
  // The workers of a parallel update print through the same shell (their trace lines, say).
  std::recursive_mutex mutex_;
};

// The bar for a fraction of the whole: "[##########          ]  50%".
std::string ProgressBarText(double fraction);

}  // namespace qvfw::cli
