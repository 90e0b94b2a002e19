#include "app/Progress.h"

#include <algorithm>

#include "app/Outcome.h"

namespace qvfw::app {

std::string_view PhaseName(Phase p) {
  switch (p) {
    case Phase::Identity: return "identity";
    case Phase::Erase: return "erase";
    case Phase::Program: return "program";
    case Phase::ReadBack: return "read back";
    case Phase::Restart: return "restart";
    case Phase::Wait: return "wait";
    case Phase::Check: return "check";
    case Phase::Save: return "save";
  }
  return "?";
}

std::string_view OutcomeCodeName(OutcomeCode code) {
  switch (code) {
    case OutcomeCode::Success: return "success";
    case OutcomeCode::AlreadyCurrent: return "alreadyCurrent";
    case OutcomeCode::Failed: return "failed";
    case OutcomeCode::BadInput: return "badInput";
    case OutcomeCode::NoDevice: return "noDevice";
    case OutcomeCode::NotOffered: return "notOffered";
    case OutcomeCode::NotAvailable: return "notAvailable";
  }
  return "?";
}

void Progress::Plan(std::initializer_list<std::pair<Phase, uint32_t>> weights) {
  weights_.fill(0);
  totalWeight_ = 0;
  for (const auto& [phase, weight] : weights) {
    weights_[static_cast<size_t>(phase)] = weight;
    totalWeight_ += weight;
  }
  view_ = ProgressView{};
  shown_ = 0;
  active_ = true;
}

double Progress::Fraction() const {
  if (totalWeight_ == 0) return 0;
  uint32_t before = 0;
  for (size_t p = 0; p < static_cast<size_t>(view_.phase); ++p) before += weights_[p];
  const double inside =
      view_.total ? static_cast<double>(std::min(view_.done, view_.total)) / view_.total : 0.0;
  return (before + inside * weights_[static_cast<size_t>(view_.phase)]) / totalWeight_;
}

void Progress::Notify() {
  shown_ = std::max(shown_, Fraction());
  view_.fraction = shown_;
  if (listener_) listener_(view_);
}

void Progress::Enter(Phase phase, uint32_t total) {
  if (!active_) return;
  view_.phase = phase;
  view_.done = 0;
  view_.total = total;
  Notify();
}

void Progress::Step(uint32_t n) {
  if (!active_) return;
  view_.done += n;
  Notify();
}

void Progress::Finish() {
  if (!active_) return;
  active_ = false;
  if (listener_) listener_(view_);
}

}  // namespace qvfw::app
