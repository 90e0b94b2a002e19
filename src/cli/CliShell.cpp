#include "cli/CliShell.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qvfw::cli {
namespace {

constexpr size_t kBarWidth = 30;

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

std::atomic<bool> g_escapes{true};

// NO_COLOR turns colour off when it holds any text; set but empty, it does not.
bool NoColor() {
  const char* value = std::getenv("NO_COLOR");
  return value != nullptr && *value != '\0';
}

}  // namespace

std::string ProgressBarText(double fraction) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  const auto filled = static_cast<size_t>(fraction * kBarWidth);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  std::string bar = "[";
  bar.append(filled, '#').append(kBarWidth - filled, ' ').append("] ").append(percent);
  return bar;
}

void CliShell::SetTerminalEscapes(bool escapes) { g_escapes = escapes; }

CliShell::CliShell(std::ostream& out, std::ostream& err, bool errIsTerminal, bool verbose)
    : out_(out),
      err_(err),
      terminal_(errIsTerminal),
      escapes_(g_escapes),
      colour_(errIsTerminal && escapes_ && !NoColor()),
      verbose_(verbose) {}

void CliShell::MessageBox(std::string_view caption, std::string_view text, app::MessageIcon) {
  std::lock_guard guard(mutex_);
  Finish();
  err_ << OneLine(caption) << ": " << OneLine(text) << '\n';
  err_.flush();
}

bool CliShell::Ask(std::string_view caption, std::string_view text, bool safeAnswer) {
  std::lock_guard guard(mutex_);
  Finish();
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
  std::lock_guard guard(mutex_);
  Finish();  // keep a redrawn bar from being torn by the line
  err_ << text << '\n';
  err_.flush();
}

void CliShell::TextChanged(const app::TextChange& change) {
  std::lock_guard guard(mutex_);
  if (change.text.empty()) return;  // a cleared field has nothing to say
  if (change.colour) {
    // The status line: what the operation is doing, or how it ended.
    Finish();
    if (colour_) err_ << Ansi(*change.colour) << OneLine(change.text) << "\x1b[0m\n";
    else err_ << OneLine(change.text) << '\n';
    err_.flush();
    return;
  }
  // The panel's status field: its headings for -v; its "." marks are the bar's business.
  if (verbose_ && change.appended.find_first_not_of('.') != std::string_view::npos) ErrorLine(OneLine(change.text));
}

void CliShell::ShowProgress(const app::ProgressView& view) { ShowProgress(view.fraction, app::PhaseName(view.phase)); }

void CliShell::ShowProgress(double fraction, std::string_view label) {
  std::lock_guard guard(mutex_);
  if (!terminal_) return;
  const std::string bar = ProgressBarText(fraction) + ' ' + std::string(label);
  err_ << '\r' << bar;
  if (escapes_) {
    err_ << "\x1b[K";
  } else if (bar.size() < barWidth_) {
    err_ << std::string(barWidth_ - bar.size(), ' ');  // over what a longer label left
  }
  err_.flush();
  barWidth_ = bar.size();
  barOpen_ = true;
}

void CliShell::Finish() {
  std::lock_guard guard(mutex_);
  if (!barOpen_) return;
  err_ << '\n';
  err_.flush();
  barOpen_ = false;
  barWidth_ = 0;
}

}  // namespace qvfw::cli
