#pragma once
// A shell for tests: records every message box, question, dialog request, event pump and notice,
// and answers questions and file dialogs from queues (empty: the safe answer, a cancelled dialog).

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Shell.h"

namespace qvfw::testing {

class RecordingShell final : public app::Shell {
 public:
  struct Message {
    std::string caption, text;
    app::MessageIcon icon;
  };
  struct Notice {
    std::string control, text, appended;
    std::optional<app::Rgb> colour;
  };

  void MessageBox(std::string_view caption, std::string_view text, app::MessageIcon icon) override {
    messages.push_back({std::string(caption), std::string(text), icon});
  }
  bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) override {
    messages.push_back({std::string(caption), std::string(text), app::MessageIcon::None});
    if (answers.empty()) return safeAnswer;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
  }
  std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view, std::string_view) override {
    dialogFilters.emplace_back(filter);
    if (dialogAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = dialogAnswers.front();
    dialogAnswers.pop_front();
    return answer;
  }
  void PumpEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
  void DiagnosticsLine(std::string_view text) override { diagnostics.emplace_back(text); }
  void TextChanged(const app::TextChange& c) override {
    notices.push_back({std::string(c.control.name), std::string(c.text), std::string(c.appended), c.colour});
  }
  void ProgressChanged(const app::ProgressBar& bar) override {
    progress.emplace_back(std::string(bar.name), bar.position);
  }

  std::vector<Message> messages;
  std::deque<bool> answers;  // for Ask; empty = the safe answer
  std::vector<std::string> dialogFilters;
  std::deque<std::optional<std::string>> dialogAnswers;
  int pumps = 0;
  std::function<void()> onPump;  // runs at every event pump, as a pending window event would
  std::vector<std::string> diagnostics;
  std::vector<Notice> notices;
  std::vector<std::pair<std::string, int>> progress;
};

}  // namespace qvfw::testing
