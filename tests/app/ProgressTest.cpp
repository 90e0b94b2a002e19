// The progress of an operation as weighted phases: the whole only ever moves forward.
#include <gtest/gtest.h>

#include <vector>

#include "app/Progress.h"

namespace qvfw::app {
namespace {

TEST(Progress, WeightedPhasesNeverGoBackwards) {
  Progress p;
  std::vector<double> seen;
  p.SetListener([&](const ProgressView& v) { seen.push_back(v.fraction); });
  p.Plan({{Phase::Identity, 1}, {Phase::Program, 6}, {Phase::ReadBack, 1}, {Phase::Wait, 2}});
  p.Enter(Phase::Identity);
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.0);
  p.Enter(Phase::Program, 4);
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.1);  // identity's share is behind
  p.Step(2);
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.1 + 0.3);
  p.Step(5);  // past the phase's end: held at its end
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.7);
  p.Enter(Phase::Identity);  // a phase entered again never pulls the bar back
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.7);
  p.Enter(Phase::Wait, 0);  // unknown length: the start of the phase
  EXPECT_DOUBLE_EQ(p.View().fraction, 0.8);
  p.Finish();
  p.Step();  // after the end nothing moves or tells
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i], seen[i - 1]) << i;
  EXPECT_EQ(seen.size(), 7u);
}

}  // namespace
}  // namespace qvfw::app
