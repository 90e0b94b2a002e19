#pragma once
// What an operation on a device ends with, as a value: a code, the phase it reached, the status
// text the window shows for it and a short reason a person can act on (the failing command and
// what the device said, where there is one). Front ends map it: the window to its status line,
// the command line to an exit code and a line on standard error.

#include <string>
#include <string_view>

#include "app/MainForm.h"
#include "app/Progress.h"

namespace qvfw::app {

enum class OutcomeCode {
  Success,         // the device runs what was programmed (or the operation did what it said)
  AlreadyCurrent,  // nothing to do: the device already runs the carried version
  Failed,          // the operation failed on the device
  BadInput,        // a file or an option the operation cannot take
  NoDevice,        // no supported device to work on
  NotOffered,      // a device is there, but this operation is not offered for it
  NotAvailable,    // the operation is not part of this program for that device (yet)
};

struct Outcome {
  OutcomeCode code = OutcomeCode::Failed;
  Phase phase = Phase::Identity;  // the phase the operation reached
  std::string statusText;         // the window's text for the result
  Rgb colour = kRed;
  std::string reason;             // empty on success

  bool Succeeded() const { return code == OutcomeCode::Success || code == OutcomeCode::AlreadyCurrent; }
};

std::string_view OutcomeCodeName(OutcomeCode code);

}  // namespace qvfw::app
