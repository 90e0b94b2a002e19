#pragma once
// What the application needs from its front end beyond control state: modal messages, the
// file-open dialog, letting pending window events run, and notice of the texts and progress a
// user follows while an operation runs. The window, the command line and the tests implement it.

#include <optional>
#include <string>
#include <string_view>

#include "app/MainForm.h"

namespace qvfw::app {

enum class MessageIcon { None, Information, Warning, Error };

// A change of a status text: `text` is the whole new text; `appended` is non-empty when the
// change only added it at the end (the "." marks of a running transfer are such appends).
struct TextChange {
  const Control& control;
  std::string_view text;
  std::string_view appended;
  std::optional<Rgb> colour;  // set for the status line, which has one
};

class Shell {
 public:
  virtual ~Shell() = default;

  // Modal, with an OK button; returns when the user has seen it.
  virtual void MessageBox(std::string_view caption, std::string_view text, MessageIcon icon) = 0;
  // A question with two answers; `safeAnswer` is the one that changes nothing, which a front end
  // that cannot ask (a non-interactive run) gives.
  virtual bool Ask(std::string_view caption, std::string_view text, bool safeAnswer) = 0;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> OpenFileDialog(std::string_view filter, std::string_view defaultExtension,
                                                    std::string_view initialDir) = 0;
  // Lets pending window events run between device commands of a long operation.
  virtual void PumpEvents() = 0;
  // A line for engineers, never shown to the user.
  virtual void DiagnosticsLine(std::string_view text) = 0;

  // Notices that follow the model; the defaults ignore them.
  virtual void TextChanged(const TextChange&) {}
  virtual void ProgressChanged(const ProgressBar&) {}
  // An operation announces how many "." marks the coming run will have, when it knows.
  virtual void ExpectMarks(size_t /*count*/) {}
};

}  // namespace qvfw::app
