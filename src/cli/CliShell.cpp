#include "cli/CliShell.h"

#include <algorithm>

namespace qvfw::cli {
namespace {

constexpr size_t kBarWidth = 30;

bool OnlyMarks(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c == '.'; });
}

std::string OneLine(std::string_view text) {
  std::string line(text);
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

const char* Ansi(const app::Rgb& colour) {
  if (colour == app::kRed) return "\x1b[31m";
  if (colour == app::kGreen) return "\x1b[32m";
  if (colour == app::kBlue) return "\x1b[34m";
  return "";
}

}  // namespace

std::string ProgressBarText(size_t marks, size_t expected) {
  std::string bar = "[";
  if (expected > 0) {
    const size_t shown = std::min(marks, expected);
    const size_t filled = shown * kBarWidth / expected;
    bar += std::string(filled, '#') + std::string(kBarWidth - filled, ' ');
    bar += "] " + std::to_string(marks) + "/" + std::to_string(expected) + " " +
           std::to_string(shown * 100 / expected) + "%";
  } else {
    // Unknown length: a block that sweeps across, so the line still shows life.
    const size_t period = 2 * (kBarWidth - 3);
    const size_t phase = marks % period;
    const size_t at = phase <= kBarWidth - 3 ? phase : period - phase;
    bar += std::string(at, ' ') + "<=>" + std::string(kBarWidth - 3 - at, ' ');
    bar += "] " + std::to_string(marks);
  }
  return bar;
}

void CliShell::MessageBox(std::string_view caption, std::string_view text, app::MessageIcon) {
  Finish();
  out_.flush();
  err_ << OneLine(caption) << ": " << OneLine(text) << '\n';
  err_.flush();
}

bool CliShell::Ask(std::string_view caption, std::string_view text, bool safeAnswer) {
  Finish();
  out_.flush();
  err_ << OneLine(caption) << ": " << OneLine(text) << (safeAnswer ? " (answered yes)" : " (answered no)") << '\n';
  err_.flush();
  return safeAnswer;
}

std::optional<std::string> CliShell::OpenFileDialog(std::string_view, std::string_view, std::string_view) {
  return std::nullopt;
}

void CliShell::DiagnosticsLine(std::string_view text) {
  if (verbose_) ErrorLine(text);
}

void CliShell::ErrorLine(std::string_view text) {
  if (terminal_) Finish();  // keep a redrawn bar from being torn by the line
  err_ << text << '\n';
  err_.flush();
}

void CliShell::TextChanged(const app::TextChange& change) {
  const bool sameLine = lineOpen_ && control_ == &change.control;
  if (!change.appended.empty() && sameLine) {
    if (OnlyMarks(change.appended)) {
      marks_ += change.appended.size();
      if (terminal_) {
        Render();
      } else {
        out_ << change.appended;
      }
    } else {
      heading_ += change.appended;
      if (terminal_) {
        Render();
      } else {
        out_ << change.appended;
      }
    }
    out_.flush();
    return;
  }

  Finish();
  if (change.text.empty()) return;  // a cleared field has nothing to say
  heading_ = OneLine(change.text);
  colour_ = change.colour;
  control_ = &change.control;
  marks_ = 0;
  lineOpen_ = true;
  if (terminal_) {
    Render();
  } else {
    out_ << heading_;
  }
  out_.flush();
}

void CliShell::Render() {
  out_ << '\r';
  if (colour_) out_ << Ansi(*colour_);
  out_ << heading_;
  if (colour_) out_ << "\x1b[0m";
  if (marks_ > 0) out_ << ' ' << ProgressBarText(marks_, expected_);
  out_ << "\x1b[K";
}

void CliShell::Finish() {
  if (!lineOpen_) return;
  out_ << '\n';
  out_.flush();
  lineOpen_ = false;
  control_ = nullptr;
  if (marks_ > 0) expected_ = 0;  // an announced count belongs to one run of marks
  marks_ = 0;
}

}  // namespace qvfw::cli
