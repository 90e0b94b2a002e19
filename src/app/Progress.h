#pragma once
// Progress of a long operation as named, weighted phases with a position inside each. The whole
// never goes backwards: a phase entered again, or a step past its end, holds the bar where it is.
// Front ends draw it as they like (the command line as a bar); the window keeps its own marks.

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace qvfw::app {

// Save: a copy of what is about to change is being kept (the recovery copy of the flash).
enum class Phase : uint8_t { Identity, Save, Erase, Program, ReadBack, Restart, Wait, Check };
inline constexpr size_t kPhaseCount = 8;

std::string_view PhaseName(Phase p);

struct ProgressView {
  Phase phase = Phase::Identity;
  uint32_t done = 0;    // steps of the phase done
  uint32_t total = 0;   // steps of the phase; 0 when unknown
  double fraction = 0;  // of the whole operation, 0..1
};

class Progress {
 public:
  // Called with every change; the command line draws its bar from it.
  void SetListener(std::function<void(const ProgressView&)> listener) { listener_ = std::move(listener); }

  // Starts an operation: the phases it will go through and their shares of the whole.
  void Plan(std::initializer_list<std::pair<Phase, uint32_t>> weights);
  // Enters a phase of `total` steps (0: unknown).
  void Enter(Phase phase, uint32_t total = 0);
  void Step(uint32_t n = 1);
  // The operation has ended (whatever the outcome).
  void Finish();

  const ProgressView& View() const { return view_; }

 private:
  double Fraction() const;
  void Notify();

  std::array<uint32_t, kPhaseCount> weights_{};
  uint32_t totalWeight_ = 0;
  ProgressView view_;
  double shown_ = 0;
  bool active_ = false;
  std::function<void(const ProgressView&)> listener_;
};

}  // namespace qvfw::app
